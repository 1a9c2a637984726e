# The real service on a private bus: start-up, the protocol's replies, a
# second instance, a lost bus, many clients at once and the real debounce.

import os
import time

import dbus
import dbus.mainloop.glib
import pytest
from conftest import IFACE, NAME, PATH, SANITIZED, bookmark, pump, repo, stop_bus, wait_until


def test_starts_without_a_saved_folder_and_answers(service, ctl):
    proc = service.start()
    proc.wait_line('error No URL For Monitoring')
    assert proc.err[:5] == ['info Starting Folder Monitor XPC Service', 'info Launched Folder Monitor',
                            'info Stopping Monitoring', 'info Starting Monitoring', 'error No URL For Monitoring']
    assert ctl.out('status').splitlines()[:2] == ['folder: none', 'process: zivuv-folder-monitor']
    assert ctl.scan() == 0


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


def test_first_saved_folder_wins_across_restarts_until_reset(service, ctl, watched, root):
    (root / 'other').mkdir()
    service.start()
    assert ctl.out('watch', watched) == f'watching {watched}\n'
    other = ctl('watch', root / 'other')
    assert (other.returncode, other.stdout) == (0, f'watching {watched}\n')
    assert 'zivuv-monitorctl reset' in other.stderr
    service.kill()
    service.start()
    assert ctl.out('status').splitlines()[0] == f'folder: {watched}'
    ctl.out('reset')
    assert ctl.out('status').splitlines()[0] == f'folder: {watched}', 'reset keeps the current folder'
    service.kill()
    proc = service.start()
    assert ctl.out('status').splitlines()[0] == 'folder: none'
    proc.wait_line('error No URL For Monitoring')


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
    # The scan's own listing does not wake the watch: one scan, then quiet.
    ctl.out('status')
    assert proc.err.count('debug Checking For New Repositories') == 1


def test_many_callers_at_once_each_get_one_reply_sharing_waiting_scans(service, ctl, watched, env):
    for i in range(300):
        (watched / f'plain{i}').mkdir()
    for i in range(20):
        repo(watched / f'repo{i}')
    proc = service.watching()
    fds = lambda: len(os.listdir(f'/proc/{proc.p.pid}/fd'))
    callers = [dbus.bus.BusConnection(env['DBUS_SESSION_BUS_ADDRESS'], mainloop=dbus.mainloop.glib.DBusGMainLoop())
               .get_object(NAME, PATH, introspect=False) for _ in range(8)]

    def load(calls):
        # Every call of every caller in flight at once; the scans' counts.
        replies = []
        for c, caller in enumerate(callers):
            for i in range(calls):
                member = 'checkFolderNowWithCompletion' if (i + c) % 4 == 0 else 'verifyAgentWithCompletion'
                caller.get_dbus_method(member, IFACE)(reply_handler=lambda *r: replies.append(r),
                                                      error_handler=pytest.fail, timeout=120)
        wait_until(lambda: pump() or len(replies) == len(callers) * calls, 120, 'the replies')
        return [reply[0] for reply in replies if len(reply) == 1]

    counts = load(10)  # brings the bus buffers to their working size
    before = fds()
    counts += load(25 if SANITIZED else 100)
    # Scans never overlap: one registered every folder, the others none; and
    # each scan was shared by the requests that came while it waited.
    assert sorted(set(counts)) == [0, 20]
    assert proc.err.count('debug Checking For New Repositories') < len(counts) / 4
    assert len(ctl.listed()) == 20
    assert fds() <= before + 3
