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
    assert ctl.out('status') == 'folder: none\nprocess: zivuv-folder-monitor\n'
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


def test_many_clients_at_once_each_get_one_reply_and_no_fd_leaks(service, ctl, watched, env):
    proc = service.watching()
    for i in range(20):
        repo(watched / f'repo{i}')
    clients = [dbus.Interface(dbus.bus.BusConnection(env['DBUS_SESSION_BUS_ADDRESS'],
                                                     mainloop=dbus.mainloop.glib.DBusGMainLoop())
                              .get_object(NAME, PATH, introspect=False), IFACE) for _ in range(8)]

    def load(calls):
        # Every call of every client is in flight at once; the scans' counts.
        replies, errors = [], []
        for c, client in enumerate(clients):
            for i in range(calls):
                member = 'checkFolderNowWithCompletion' if (i + c) % 10 == 0 else 'verifyAgentWithCompletion'
                client.get_dbus_method(member)(reply_handler=lambda *reply: replies.append(reply),
                                               error_handler=errors.append, timeout=120)
        wait_until(lambda: pump() or len(replies) + len(errors) >= len(clients) * calls, 120, 'the replies')
        assert errors == []
        return [reply[0] for reply in replies if len(reply) == 1]

    # A first load brings the bus buffers to their working size.
    fds = lambda: len(os.listdir(f'/proc/{proc.p.pid}/fd'))
    registered = load(10)
    before = fds()
    registered += load(40 if SANITIZED else 100)
    # Scans never overlap: one registered every folder, the others none.
    assert sorted(set(registered)) == [0, 20]
    assert len(ctl.listed()) == 20
    assert fds() <= before + 3


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


def test_requests_made_while_a_scan_waits_share_it(service, watched, env):
    for i in range(300):
        (watched / f'plain{i}').mkdir()
    repo(watched / 'one')
    proc = service.watching()
    replies = []
    scan = dbus.bus.BusConnection(env['DBUS_SESSION_BUS_ADDRESS'], mainloop=dbus.mainloop.glib.DBusGMainLoop()) \
        .get_object(NAME, PATH, introspect=False).get_dbus_method('checkFolderNowWithCompletion', IFACE)
    for _ in range(100):
        scan(reply_handler=replies.append, error_handler=pytest.fail, timeout=120)
    wait_until(lambda: pump() or len(replies) == 100, 120, 'the replies')
    assert sorted(replies)[-1] == 1 and sum(replies) == 1
    # A handful of scans, not one per request: each shared by what came while it waited.
    assert proc.err.count('debug Checking For New Repositories') < 10
