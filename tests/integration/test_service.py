# The real service on a private bus: start-up, the protocol's replies, a
# second instance, a lost bus, many clients at once, the real debounce, and
# its confinement.

import json
import os
import plistlib
import re
import signal
import socket
import subprocess
import time
from pathlib import Path

import dbus
import dbus.mainloop.glib
import pytest
from conftest import (IFACE, LANDLOCK_ABI, NAME, PATH, SANITIZED, bookmark, process_gone, pump, repo, stop_bus,
                      wait_until)


def test_starts_without_a_saved_folder_and_answers(service, ctl, env):
    proc = service.start()
    proc.wait_line('error No URL For Monitoring')
    assert proc.err[:6] == ['info Starting Folder Monitor XPC Service',
                            f'info Confined with Landlock ABI {LANDLOCK_ABI}: reading anywhere, writing only in '
                            f'{env["XDG_CONFIG_HOME"]}/Zivuv',
                            'info Launched Folder Monitor', 'info Stopping Monitoring', 'info Starting Monitoring',
                            'error No URL For Monitoring']
    assert ctl.out('status').splitlines()[:2] == ['folder: none', 'process: zivuv-folder-monitor']
    # A scan that could not run fails with its reason, which the status interface holds.
    scan = ctl('scan')
    assert (scan.returncode, scan.stdout, scan.stderr) == (1, '', 'zivuv-monitorctl: the scan failed: no folder is monitored\n')
    assert json.loads(ctl.out('status', '--json'))['LastScanError'][1] == 'no folder is monitored'


def test_bad_data_and_wrong_types_change_nothing(service, ctl, watched):
    service.watching()
    bad = (b'', bytes((i * 131 + 7) % 256 for i in range(100)), bookmark(watched, kind=2))
    assert [service.call('startMonitoringWithPath', dbus.ByteArray(b), signature='ay') for b in bad] == [False] * 3
    assert ctl.out('status').splitlines()[0] == f'folder: {watched}'

    with pytest.raises(dbus.DBusException) as wrong:
        service.call('startMonitoringWithPath', 'x', signature='s')
    assert wrong.value.get_dbus_name() == 'org.freedesktop.DBus.Error.InvalidArgs'
    # reset is NoReply, but a caller that waits anyway is answered at once.
    assert service.call('reset', timeout=10) is None


def test_first_saved_folder_wins_across_restarts_until_reset_or_replaced(service, ctl, watched, root, env):
    other = root / 'other'
    repo(other / 'r')
    service.start()
    assert ctl.out('watch', watched) == f'watching {watched}; 0 repositories registered\n'
    refused = ctl('watch', other)
    assert (refused.returncode, refused.stdout, refused.stderr) == (
        1, '', f"zivuv-monitorctl: the folder monitor keeps watching {watched}, the first folder it remembers; "
               f"'zivuv-monitorctl watch --replace {other}' forgets it and watches {other} instead\n")
    assert json.loads(ctl.out('status', '--json'))['Scans'] == 1, 'a refused watch scans nothing'
    service.kill()
    service.start()
    assert ctl.out('status').splitlines()[0] == f'folder: {watched}'
    ctl.out('reset')
    assert ctl.out('status').splitlines()[0] == f'folder: {watched}', 'reset keeps the current folder'
    # The reset is written as folder work, right after its call.
    own = Path(env['XDG_CONFIG_HOME']) / 'Zivuv' / 'com.vezudi.Zivuv.FolderMonitor.plist'
    wait_until(lambda: plistlib.loads(own.read_bytes())['kSandboxKey'] == [], 5, 'the reset')
    service.kill()
    proc = service.start()
    assert ctl.out('status').splitlines()[0] == 'folder: none'
    proc.wait_line('error No URL For Monitoring')
    ctl.out('watch', watched)
    assert ctl.out('watch', '--replace', other) == f'watching {other}; 1 repositories registered\n'
    service.kill()
    service.start()
    assert ctl.out('status').splitlines()[0] == f'folder: {other}', 'the replaced folder is forgotten'


@pytest.mark.parametrize('second', [True, False], ids=['second instance', 'no bus'])
def test_refuses_to_serve_with_one_line_and_status_one(second, service, ctl, root):
    if second:
        service.start()
    proc = service.start(wait=False, **({} if second else {'DBUS_SESSION_BUS_ADDRESS': f'unix:path={root}/none'}))
    assert proc.status() == 1
    line = 'already owned' if second else 'zivuv-folder-monitor: cannot connect to the session bus'
    assert len([l for l in proc.err if line in l]) == 1, proc.err
    if second:
        ctl.out('status')  # the first one still serves


def test_lost_bus_ends_the_run_loop_with_status_zero(service, bus):
    proc = service.watching()
    stop_bus(bus.pid)
    assert proc.status() == 0
    assert proc.err[-1] == 'info Finished Folder Monitor XPC Service'


def test_one_change_gives_one_scan_no_earlier_than_three_seconds(service, ctl, watched):
    proc = service.watching()
    changed = time.monotonic()
    repo(watched / 'new')
    proc.wait_line('debug Timer event has fired', timeout=30)
    assert time.monotonic() - changed >= 3
    proc.wait_line('info Checked and have one new repo')
    assert ctl.listed() == [f'{watched}/new']


def test_many_callers_at_once_each_get_one_reply_sharing_waiting_scans(service, ctl, watched, env):
    for i in range(300):
        (watched / f'plain{i}').mkdir()
    for i in range(20):
        repo(watched / f'repo{i}')
    proc = service.watching()
    fd_folder = f'/proc/{proc.p.pid}/fd'

    def watchers():  # the descriptors of watches and timers
        kinds = []
        for fd in os.listdir(fd_folder):
            try:
                kinds.append(os.readlink(f'{fd_folder}/{fd}'))
            except FileNotFoundError:
                pass  # closed meanwhile
        return sum(kind in ('anon_inode:inotify', 'anon_inode:[timerfd]') for kind in kinds)
    callers = [dbus.bus.BusConnection(env['DBUS_SESSION_BUS_ADDRESS'], mainloop=dbus.mainloop.glib.DBusGMainLoop())
               .get_object(NAME, PATH, introspect=False) for _ in range(8)]
    data = dbus.ByteArray(bookmark(watched))
    members = ['checkFolderNowWithCompletion', 'verifyAgentWithCompletion', 'startMonitoringWithPath',
               'verifyAgentWithCompletion']

    def load(calls):
        # Every call of every caller in flight at once, while the folder
        # churns; the scans' counts.
        replies, errors = [], []
        for c, caller in enumerate(callers):
            for i in range(calls):
                member = members[(i + c) % 4]
                args = [data] if member == 'startMonitoringWithPath' else []
                caller.get_dbus_method(member, IFACE)(
                    *args, timeout=120, reply_handler=lambda *r, m=member: replies.append((m, r)),
                    error_handler=lambda e, m=member: errors.append((m, e.get_dbus_name())))
                (watched / f'churn{c}-{i}').mkdir(exist_ok=True)
        wait_until(lambda: pump() or peak.append(watchers()) or len(replies) + len(errors) == len(callers) * calls,
                   120, 'the replies')
        assert errors == []  # every call answered, none left to its time-out
        assert {r for m, r in replies if m == 'startMonitoringWithPath'} <= {(True,)}
        return [r[0] for m, r in replies if m == 'checkFolderNowWithCompletion']

    peak = []
    counts = load(10)  # brings the bus buffers to their working size
    counts += load(25 if SANITIZED else 100)
    # Scans never overlap: one registered every folder, the others none; and
    # a scan was shared by the requests that came while it waited. How many
    # came meanwhile depends on the machine's load: a scan each is the fault.
    assert sorted(set(counts)) == [0, 20]
    assert proc.err.count('debug Checking For New Repositories') < len(counts) * 3 / 4
    assert len(ctl.listed()) == 20
    # A watch handed over again and again never holds more than its own: the
    # folder's and the pending folders' inotify instances, their timers, and
    # the bus loop's clock.
    assert max(peak) <= 5


def test_status_line_tells_the_folder_monitored_now_in_utf_8(service, ctl, root):
    sink = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sink.bind(str(root / 'notify'))
    sink.settimeout(0.2)
    lines = []

    def received():
        try:
            while True:
                lines.extend(m[7:] for m in sink.recv(4096).decode().split('\n') if m.startswith('STATUS='))
        except socket.timeout:
            return lines
    service.start(NOTIFY_SOCKET=str(root / 'notify'))
    first, second = root / 'first', Path(os.fsdecode(bytes(root) + b'/second\xff'))
    for folder in (first, second):
        folder.mkdir()
        repo(folder / 'new')
    ctl.out('watch', first)
    assert received()[-1].startswith(f'Watching {first}; 1 repository added at ')
    ctl.out('watch', '--replace', second)
    assert received()[-1].startswith(f'Watching {root}/second\ufffd; 1 repository added at ')
    sink.close()


def test_service_writes_in_its_settings_folder_alone_and_its_opener_ends_with_it(service, ctl, watched, root, env):
    repo(watched / 'new')
    proc = service.watching()
    assert ctl.scan() == 1 and ctl.listed() == [f'{watched}/new'], 'the scan wrote the settings, confined'
    assert f'landlock:{LANDLOCK_ABI}' in json.loads(ctl.out('status', '--json'))['Confinement']
    # Asked through a debugger, as an outsider would: open for writing
    # outside, errno, open for writing inside.
    settings, create = Path(env['XDG_CONFIG_HOME']) / 'Zivuv', os.O_WRONLY | os.O_CREAT
    gdb = subprocess.run(['gdb', '-nx', '-batch', '-p', str(proc.p.pid), '-iex', 'set debuginfod enabled off',
                          '-ex', f'print (int)open("{root}/outside", {create}, 0600)',
                          '-ex', 'print *((int *(*)(void))__errno_location)()',
                          '-ex', f'print (int)open("{settings}/inside", {create}, 0600)'],
                         capture_output=True, text=True, timeout=120)
    assert re.findall(r'^\$\d+ = (-?\d+)$', gdb.stdout, re.M)[:2] == ['-1', '13'], gdb  # EACCES
    assert not (root / 'outside').exists() and (settings / 'inside').exists()

    (opener,) = [p for p in os.listdir('/proc') if p.isdigit() and parent_of(p) == str(proc.p.pid)]
    # Stopped, it cannot see its socket close: the kernel ends it.
    os.kill(int(opener), signal.SIGSTOP)
    wait_until(lambda: Path(f'/proc/{opener}/stat').read_text().rsplit(') ', 1)[1][0] == 'T', what='a stop')
    proc.p.send_signal(signal.SIGKILL)
    wait_until(lambda: process_gone(opener), what='the opener to end with the service')


def parent_of(pid):
    try:
        return Path(f'/proc/{pid}/stat').read_text().rsplit(')', 1)[1].split()[1]
    except FileNotFoundError:  # gone meanwhile
        return None
