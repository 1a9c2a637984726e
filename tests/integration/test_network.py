# Folders that inotify cannot follow alone: a network file system, whose
# changes made elsewhere make no event, and a share that stops answering,
# which must hold up no call but the ones that need it, no write of the
# app's, and no switch to another folder.

import fcntl
import os
import plistlib
import signal
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import dbus
import pytest
from conftest import BIN, IFACE, NAME, PATH, SANITIZED, bookmark, repo, suite_file, wait_until

STATUS = f'{IFACE}.Status'
# How long a call may take while the share hangs; longer under a sanitizer.
SLOW = 4 if SANITIZED else 1

HANGFS = Path(__file__).with_name('hangfs.py')


def test_network_file_system_is_scanned_every_period(service, ctl, fuse_mount, root, faults):
    faults('rescan-period 2')
    (root / 'underlying').mkdir()
    (root / 'mount').mkdir()
    fuse_mount(root / 'underlying', root / 'mount')
    proc = service.start()
    ctl.out('watch', root / 'mount')
    repo(root / 'underlying' / 'elsewhere')  # no event reaches the mount
    wait_until(lambda: ctl.listed() == [f'{root}/mount/elsewhere'], 10, 'the rescan')
    assert proc.err.count('info Folder is on a network file system (fuse): changes made on other '
                          'machines are found by a scan every 5 minutes') == 1


@pytest.fixture
def hanging_share(root):
    # A FUSE share of root/backing at root/share; hang() makes it stop
    # answering, and a call of ours takes its one server thread.
    if not os.path.exists('/dev/fuse'):
        pytest.skip('/dev/fuse is missing: no FUSE mount here')
    pytest.importorskip('fusepy', reason='python3-fusepy is missing')
    (root / 'backing' / 'folder').mkdir(parents=True)
    (root / 'share').mkdir()
    server = subprocess.Popen([sys.executable, HANGFS, root / 'backing', root / 'share', root / 'hang'])
    stuck = []

    def hang():
        (root / 'hang').touch()
        stuck.append(subprocess.Popen(['stat', root / 'share' / 'folder'], stdout=subprocess.DEVNULL))
        time.sleep(0.3)

    def release():  # the server goes: the kernel fails every call that waits for it
        server.kill()
        server.wait()
    try:
        wait_until(lambda: os.path.ismount(root / 'share') or server.poll() is not None, what='the share')
        if server.poll() is not None:
            pytest.skip('the FUSE share cannot be mounted here')
        yield SimpleNamespace(folder=root / 'share' / 'folder', hang=hang, release=release)
    finally:
        release()
        subprocess.run(['fusermount', '-u', '-z', root / 'share'], check=False)
        for proc in stuck:
            proc.wait(10)


@pytest.fixture
def waiting(env):
    # Calls sent with busctl that wait for their reply as long as it takes;
    # each gives its output once answered.
    calls = []

    def call(member, *args):
        calls.append(subprocess.Popen(['busctl', f'--address={env["DBUS_SESSION_BUS_ADDRESS"]}', '--timeout=120',
                                       'call', NAME, PATH, IFACE, member, *map(str, args)],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True))
        return calls[-1]
    yield call
    for proc in calls:
        proc.kill()
        proc.wait()


def locked(file):
    try:
        fcntl.flock(file, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False


def answered(call, seconds):
    # What the call answered (None when it could not), at most after seconds.
    start = time.monotonic()
    try:
        value = call()
    except dbus.DBusException:
        value = None
    return value, time.monotonic() - start <= seconds * SLOW


def test_share_that_stops_answering_holds_up_no_other_call_and_is_switched_away_from(service, ctl, bus, root, env,
                                                                                    hanging_share, waiting):
    repo(root / 'local' / 'r')
    proc = service.start()
    ctl.out('watch', hanging_share.folder)
    data, local = bookmark(hanging_share.folder), bookmark(root / 'local')
    hanging_share.hang()
    # Saving another folder resolves the saved one on the share, and a scan
    # walks it: both wait for the share, as long as it takes.
    waiting('startMonitoringWithPath', 'ay', len(local), *local)
    stuck_scan = waiting('checkFolderNowWithCompletion')
    time.sleep(0.5)
    # Every other call is answered, even while the service's own settings are
    # locked: the folder's own data from when its watch began.
    own_lock = (Path(env['XDG_CONFIG_HOME']) / 'Zivuv' / 'com.vezudi.Zivuv.FolderMonitor.plist.lock').open('w')
    wait_until(lambda: locked(own_lock), 5, 'the lock of the own settings, which nothing of the share holds')
    status = bus.get_object(NAME, PATH, introspect=False)
    assert answered(lambda: bus.call_blocking(NAME, PATH, 'org.freedesktop.DBus.Peer', 'Ping', '', [],
                                              timeout=0.05 * SLOW), 0.05)[1]
    reply, in_time = answered(lambda: bus.call_blocking(NAME, PATH, IFACE, 'verifyAgentWithCompletion', '', [],
                                                        timeout=2 * SLOW), 2)
    assert in_time and (bytes(reply[0][0]), str(reply[1])) == (data, 'zivuv-folder-monitor')
    state, in_time = answered(lambda: status.Get(STATUS, 'State', dbus_interface=dbus.PROPERTIES_IFACE,
                                                 timeout=SLOW), 1)
    assert in_time and state in ('idle', 'scanning')
    assert answered(lambda: bus.call_blocking(NAME, PATH, IFACE, 'reset', '', [], timeout=2 * SLOW), 2) == (None, True)
    own_lock.close()
    # The switch to a local folder: the stuck work is left behind, the new folder watched and scanned.
    start = time.monotonic()
    assert ctl.out('watch', '--replace', root / 'local', timeout=30) == f'watching {root}/local; 1 repositories registered\n'
    assert time.monotonic() - start < 3 * SLOW
    assert stuck_scan.communicate(timeout=5 * SLOW)[0] == 'x 0\n', 'the scan left behind answers 0'
    assert ctl.listed() == [f'{root}/local/r']
    assert ctl.out('status').splitlines()[0] == f'folder: {root}/local'
    assert proc.err.count('info Starting Monitoring') == 3  # the start, the share, the local folder


def test_callers_past_the_cap_are_answered_at_once_while_the_folder_work_hangs(service, ctl, bus, hanging_share,
                                                                                 waiting):
    proc = service.start()
    ctl.out('watch', hanging_share.folder)
    data = bookmark(hanging_share.folder)
    hanging_share.hang()
    for _ in range(40):
        waiting('startMonitoringWithPath', 'ay', len(data), *data)
    # Four are left to their threads, one after another, and the rest wait.
    time.sleep(6 * SLOW)
    call = lambda: bus.call_blocking(NAME, PATH, IFACE, 'startMonitoringWithPath', 'ay', [dbus.ByteArray(data)],
                                     timeout=SLOW)
    assert answered(call, 1) == (False, True)
    assert answered(call, 1) == (False, True)
    line = ('info 32 callers wait already for work on a folder that does not answer: the next ones are answered '
            'at once with what the service knows')
    assert proc.wait_line(line) == 1


def test_the_apps_own_write_waits_for_no_scan_or_prune_held_by_a_share(service, ctl, watched, root, env,
                                                                       hanging_share):
    repo(root / 'backing' / 'folder' / 'remote')
    repo(watched / 'new')
    (root / 'blocked').mkdir()
    remote = bookmark(hanging_share.folder / 'remote')
    suite = suite_file(env)
    suite.parent.mkdir(parents=True, exist_ok=True)
    suite.write_bytes(plistlib.dumps({'kSandboxKey': [remote]}, fmt=plistlib.FMT_BINARY))
    service.watching()
    hanging_share.hang()
    # Each looks at the listed entry on the share, and waits for it.
    scan = subprocess.Popen([BIN / 'zivuv-monitorctl', 'scan'], env=env, stdout=subprocess.PIPE, text=True)
    prune = subprocess.Popen([BIN / 'zivuv-monitorctl', 'prune', '--yes'], env=env, stdout=subprocess.PIPE, text=True)
    try:
        time.sleep(1)
        assert scan.poll() is None and prune.poll() is None
        start = time.monotonic()
        ctl.out('block', root / 'blocked', timeout=10 * SLOW)
        assert time.monotonic() - start < 2 * SLOW
        hanging_share.release()
        # Once they go on, each merges with what the app wrote: nothing of it is lost.
        assert scan.communicate(timeout=30)[0] == '1\n'
        assert prune.communicate(timeout=30)[0] == 'nothing to prune: keep 1\n'
        assert plistlib.loads(suite.read_bytes()) == {'kSandboxKey': [remote, bookmark(watched / 'new')],
                                                      'kBlockedKey': [bookmark(root / 'blocked')]}
    finally:
        for proc in (scan, prune):
            proc.kill()
            proc.wait()
