# Folders that inotify cannot follow alone: a network file system, whose
# changes made elsewhere make no event, and a share that stops answering,
# which must hold up no call but the ones that need it.

import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import dbus
import pytest
from conftest import IFACE, NAME, PATH, bookmark, repo, wait_until

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
    try:
        wait_until(lambda: os.path.ismount(root / 'share') or server.poll() is not None, what='the share')
        if server.poll() is not None:
            pytest.skip('the FUSE share cannot be mounted here')
        yield SimpleNamespace(folder=root / 'share' / 'folder', hang=hang)
    finally:
        server.kill()  # the kernel then fails every call that waits for it
        server.wait()
        subprocess.run(['fusermount', '-u', '-z', root / 'share'], check=False)
        for proc in stuck:
            proc.wait(10)


def test_share_that_stops_answering_holds_up_no_call_that_does_not_need_it(service, ctl, bus, hanging_share):
    proc = service.start()
    ctl.out('watch', hanging_share.folder)
    data = bookmark(hanging_share.folder)
    hanging_share.hang()
    # A new watch of the folder waits for the share, as long as it takes.
    call = dbus.lowlevel.MethodCallMessage(NAME, PATH, IFACE, 'startMonitoringWithPath')
    call.append(dbus.ByteArray(data), signature='ay')
    bus.send_message(call)
    # Every other call is answered, the folder's own data from when its watch began.
    bus.call_blocking(NAME, PATH, 'org.freedesktop.DBus.Peer', 'Ping', '', [], timeout=1)
    reply = bus.call_blocking(NAME, PATH, IFACE, 'verifyAgentWithCompletion', '', [], timeout=3)
    assert (bytes(reply[0][0]), str(reply[1])) == (data, 'zivuv-folder-monitor')
    proc.wait_line(f'info Monitored folder does not answer within 1 s, answering with what it was when '
                   f'its watch began: {hanging_share.folder}')
    proc.p.send_signal(signal.SIGTERM)
    assert proc.status(timeout=10) == -signal.SIGTERM
