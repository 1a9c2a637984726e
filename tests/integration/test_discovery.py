# New repositories end to end: the scan, DefaultsChanged, the desktop notice
# and its click, translations, hostile folder names, and what a failing store
# or notification server may cost.

import json
import os
import re
import signal
import subprocess
from pathlib import Path

import dbus
import pytest
from conftest import NAME, NO_NEW_PRIVS, SUITE, repo, suite_file, wait_until
from dbusmock import MOCK_IFACE


@pytest.fixture
def announce(service, ctl, watched, mock):
    # One repository registered by a scan of a freshly started service: the
    # notification server and the notice.
    def run(name, **env):
        server = mock('notification_daemon')
        repo(watched / name)
        run.proc = service.watching(**env)
        assert ctl.scan() == 1
        return server, wait_until(lambda: server.calls('Notify'), what='the notice')[0]
    return run


def test_mixed_folder_registers_only_visible_repositories_once(service, ctl, watched, mock,
                                                               defaults_changed):
    server = mock('notification_daemon')
    # Two: the fewest that take the notice of several.
    for name in ('alpha', 'beta', 'blocked', '.hidden', 'plain/inner'):
        repo(watched / name)
    ctl.out('block', watched / 'blocked')
    (watched / 'file.txt').write_text('x')
    (watched / 'link').symlink_to(watched / 'alpha')
    proc = service.watching()

    assert ctl.scan() == 2
    expected = [f'{watched}/{name}' for name in os.listdir(watched) if name in ('alpha', 'beta')]
    assert ctl.listed() == expected, 'listing order'
    (notice,) = wait_until(lambda: server.calls('Notify'))
    assert notice == ['Zivuv', 0, '', '2 Repositories Added', 'Zivuv is now monitoring 2 more repositories',
                      ['default', 'Open'], {'desktop-entry': 'com.dozezeza.Zivuv'}, -1]
    assert defaults_changed() == ['com.dozezeza.Zivuv']
    assert proc.wait_line(f'info Failed to create repo for {watched}/plain') == 1
    assert proc.wait_line(f'info Existing or blocked folder: {watched}/blocked') == 1

    assert ctl.scan() == 0
    for path in expected:
        assert proc.wait_line(f'info Existing or blocked folder: {path}') == 1
    assert proc.wait_line('info Checked and no new repos') == 1
    assert defaults_changed() == ['com.dozezeza.Zivuv']
    assert len(server.calls('Notify')) == 1
    # Each registered folder named once, by the scan that registered it.
    assert [line for line in proc.err if line.startswith('info Registered ')] == [
        f'info Registered {path}' for path in expected]


def test_new_repository_is_announced_and_only_our_click_opens_the_app(service, ctl, watched, mock, bus,
                                                                      defaults_changed, xdg_open):
    server = mock('notification_daemon')
    # What the service manager hands the service is not handed on.
    service.watching(NOTIFY_SOCKET='/nowhere', LISTEN_FDS='3', LISTEN_PID='1', WATCHDOG_USEC='1')
    repo(watched / 'new')
    wait_until(defaults_changed, 15, 'DefaultsChanged')
    (notice,) = wait_until(lambda: server.calls('Notify'))
    assert notice[3:5] == ['Repository Automatically Added', 'Zivuv is now monitoring the folder new']
    assert ctl.listed() == [f'{watched}/new']

    # Another program's notice, another action of ours, and a click that
    # another client forged for our id open nothing.
    server.emit('ActionInvoked', 1000, 'default')
    server.emit('ActionInvoked', 1, 'other')
    forged = dbus.lowlevel.SignalMessage('/org/freedesktop/Notifications', 'org.freedesktop.Notifications',
                                         'ActionInvoked')
    forged.append(dbus.UInt32(1), 'default', signature='us')
    forged.set_destination(bus.get_name_owner(NAME))
    bus.send_message(forged)
    server.emit('ActivationToken', 1, 'token-1')
    server.emit('ActionInvoked', 1, 'default')
    wait_until(xdg_open, what='xdg-open')
    ctl.out('status')
    ((url, token, signals, own, free),) = xdg_open()
    assert (url, token, own) == ('vizarudavez://', 'token-1', '')
    # It starts as any program does: no signal ignored or blocked, and
    # nothing of the confinement of the service that asked for it.
    assert signals.split() == ['SigBlk:', '0' * 16, 'SigIgn:', '0' * 16]
    assert free == f'NoNewPrivs: {NO_NEW_PRIVS}, writes'


def test_notification_server_restarted_forgets_our_ids(announce, mock, ctl, watched, bus, xdg_open):
    first, _ = announce('one')
    first.daemon.kill()
    first.daemon.wait()
    second = mock('notification_daemon')  # gives out id 1 again, first to another program
    second.emit('ActionInvoked', 1, 'default')
    repo(watched / 'two')
    assert ctl.scan() == 1
    wait_until(lambda: second.calls('Notify'), what='our notice, id 1 of this server')
    # Some servers send the click only to the connection that called Notify.
    second.emit('ActionInvoked', 1, 'default', destination=bus.get_name_owner(NAME))
    assert [call[:2] for call in wait_until(xdg_open, what='xdg-open')] == [['vizarudavez://', '']]


def test_opener_that_cannot_run_is_told(announce, root):
    (root / 'bin' / 'xdg-open').write_text('#!/nonexistent/interpreter\n')
    server, _ = announce('one')
    server.emit('ActionInvoked', 1, 'default')
    service_log = announce.proc.err
    wait_until(lambda: f'error Failed to open vizarudavez:// with xdg-open: cannot run {root}/bin/xdg-open: '
               'No such file or directory' in service_log, what='the line')


def test_portal_opens_the_app_when_it_is_on_the_bus(announce, mock, ctl, xdg_open):
    portal = mock('org.freedesktop.portal.Desktop', '/org/freedesktop/portal/desktop', 'org.freedesktop.portal.OpenURI')
    portal.obj.AddMethod('', 'OpenURI', 'ssa{sv}', 'o', 'ret = "/org/freedesktop/portal/desktop/request/1/t"',
                         dbus_interface=MOCK_IFACE)
    server, _ = announce('one')
    server.emit('ActivationToken', 1, 'portal-token')
    server.emit('ActionInvoked', 1, 'default')
    assert wait_until(lambda: portal.calls('OpenURI')) == [['', 'vizarudavez://', {'activation_token': 'portal-token'}]]
    ctl.out('status')
    assert xdg_open() == [], 'the portal opened it; xdg-open must not as well'


def test_german_catalogue_translates_the_notice(announce):
    _, notice = announce('alpha', LANGUAGE='de')
    assert notice[3:6] == ['Repository automatisch hinzugefügt', 'Zivuv überwacht jetzt den Ordner alpha',
                           ['default', 'Öffnen']]


def test_hostile_names_are_registered_and_shown_safely(service, ctl, watched, mock):
    server = mock('notification_daemon')  # its capabilities include body-markup
    proc = service.watching()
    names = {b'new\nline': 'new\nline', b'bad\xff': 'bad\ufffd', b'%@%i%n%s': '%@%i%n%s', b'<b>': '&lt;b&gt;'}
    for i, (name, shown) in enumerate(names.items()):
        repo(os.path.join(bytes(watched), name))
        assert ctl.scan() == 1, name
        notices = wait_until(lambda: server.calls('Notify')[i:], what=f'the notice of {name}')
        assert notices[0][4] == f'Zivuv is now monitoring the folder {shown}'
    assert ctl.scan() == 0
    assert len(ctl.listed()) == len(names)
    # Registered by the first scan, then seen as existing by each later one;
    # the service fixture checks that every line is one whole log entry.
    assert proc.wait_line(f'info Existing or blocked folder: {watched}/new\\x0Aline', 4) == 4


def test_failed_write_counts_nothing_and_the_next_run_registers_once(service, ctl, watched, env,
                                                                     defaults_changed):
    for name in 'abc':
        repo(watched / name)
    Path(env['ZIVUV_FAULTS']).write_text('fail-write VO9ZE47VOD.com.dozezeza\n')  # read at start
    proc = service.watching()
    failed = ctl('scan')
    assert (failed.returncode, failed.stdout, failed.stderr) == (1, '', 'zivuv-monitorctl: the scan failed: 3 of the 3 '
                                                                 'repositories found could not be registered in the shared settings\n')
    assert proc.wait_line('Unable to write defaults for:VO9ZE47VOD.com.dozezeza', 3, 'out') == 3
    # One error line with the reason, which the status interface carries too.
    reason = f'error Failed to write settings file {suite_file(env)}: a write failure made on purpose (ZIVUV_FAULTS)'
    assert proc.wait_line(reason) == 1
    assert json.loads(ctl.out('status', '--json'))['LastError'][1] == reason[6:]
    assert not suite_file(env).exists()
    assert proc.wait_line('info Checked and no new repos') == 1

    os.remove(env['ZIVUV_FAULTS'])
    service.kill()
    service.start()
    assert [ctl.scan(), ctl.scan()] == [3, 0]
    assert len(ctl.listed()) == 3
    assert defaults_changed() == ['com.dozezeza.Zivuv']


@pytest.mark.parametrize('disk', ['full', 'read-only'])
def test_a_disk_that_refuses_the_write_is_named_with_its_reason(service, ctl, watched, env, disk):
    config = Path(env['XDG_CONFIG_HOME'])
    config.mkdir()
    subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=64k', 'tmpfs', config], check=True)
    try:
        proc = service.watching()
        assert ctl.scan() == 0
        suite = suite_file(env)
        if disk == 'full':
            reason = 'No space left on device'
            fill = os.open(config / 'fill', os.O_WRONLY | os.O_CREAT)
            try:
                while os.write(fill, bytes(4096)):
                    pass
            except OSError:
                os.close(fill)
        else:
            reason = f'cannot lock {suite}.lock: Read-only file system'
            subprocess.run(['mount', '-o', 'remount,ro', config], check=True)
        repo(watched / 'new')
        assert ctl('scan').returncode == 1
        line = f'error Failed to write settings file {suite}: {reason}'
        proc.wait_line(line)
        assert json.loads(ctl.out('status', '--json'))['LastError'][1] == line[6:]
        edit = ctl('config', 'depth', '2')
        assert (edit.returncode, edit.stderr) == (1, f"zivuv-monitorctl: cannot write the service's settings {suite.parent}/"
                                                     f'com.vezudi.Zivuv.FolderMonitor.plist: {reason.replace(SUITE, "com.vezudi.Zivuv.FolderMonitor")}; '
                                                     'nothing changed\n')
        assert [p.name for p in suite.parent.iterdir() if '.tmp-' in p.name] == []
    finally:
        subprocess.run(['umount', '-l', config], check=True)


def test_garbage_settings_are_kept_aside_or_stop_the_scan_and_are_never_replaced(service, ctl, watched, env):
    repo(watched / 'a')
    suite_file(env).parent.mkdir(parents=True)
    own = suite_file(env).parent / 'com.vezudi.Zivuv.FolderMonitor.plist'
    for garbage in (suite_file(env), own):
        garbage.write_text('this is not a property list')
    proc = service.watching()
    # The service's own file is kept aside before it is replaced; the app's never is.
    (kept,) = wait_until(lambda: [line.split(':', 1)[1] for line in proc.out
                                  if line.startswith('Kept unreadable settings file aside as:')])
    assert kept.startswith(f'{own}.corrupt-') and Path(kept).read_text() == 'this is not a property list'
    assert ctl('scan').stderr == f'zivuv-monitorctl: the scan failed: the shared settings {suite_file(env)} cannot be read\n'
    assert proc.wait_line('error Failed to get current folders!') == 1
    assert proc.wait_line(f'unable to load defaults for:{SUITE}', stream='out') == 1
    assert suite_file(env).read_text() == 'this is not a property list'

    suite_file(env).unlink()  # the app repairs its file
    assert [ctl.scan(), ctl.scan()] == [1, 0]


def test_silent_or_vanished_notification_server_costs_nothing(service, ctl, watched, mock,
                                                              defaults_changed):
    # A scan that waited for the server would miss the 4 s deadline.
    server = mock('notification_daemon')
    service.watching()
    for name in ('one', 'two', 'three', 'four'):
        repo(watched / name)
        assert ctl.scan(timeout=4) == 1, name
        if name == 'one':  # the server knows its capabilities now; then it falls silent
            wait_until(lambda: server.calls('Notify'))
            server.daemon.send_signal(signal.SIGSTOP)
        elif name == 'two':  # it held the notice; then it vanishes
            server.daemon.send_signal(signal.SIGCONT)
            assert wait_until(lambda: server.calls('Notify')[1:])[0][4] == 'Zivuv is now monitoring the folder two'
            server.daemon.kill()
            server.daemon.wait()
        elif name == 'three':  # no server: the notice is dropped, never held back
            server = mock('notification_daemon')
    assert [n[4] for n in wait_until(lambda: server.calls('Notify'))] == ['Zivuv is now monitoring the folder four']
    assert len(defaults_changed()) == 4


@pytest.mark.parametrize('moved', ['a repository', 'the watched folder'])
def test_moves_are_followed_in_place_without_a_notice(service, ctl, root, watched, mock, defaults_changed, moved):
    server = mock('notification_daemon')
    for name in ('a', 'b\nold', 'c'):  # the logged paths are escaped, old and new
        repo(watched / name)
    proc = service.watching()
    assert ctl.scan() == 3
    wait_until(lambda: server.calls('Notify'), what='the notice of the three')
    before = ctl.listed()
    if moved == 'a repository':
        (watched / 'b\nold').rename(watched / 'b\nnew')
        renamed = {f'{watched}/b\\x0Aold': f'{watched}/b\\x0Anew'}
    else:
        watched.rename(root / 'renamed')
        ctl.out('reset')
        ctl.out('watch', root / 'renamed')
        renamed = {path: f'{root}/renamed/{path.rsplit("/", 1)[1]}' for path in before}
    for old, new in renamed.items():
        proc.wait_line(f'info Moved {old} to {new}', timeout=10)
    assert ctl.scan() == 0
    # One entry each, in its place; the app hears of the move, the person is not told of new ones.
    assert ctl.listed() == [renamed.get(path, path) for path in before]
    assert defaults_changed() == ['com.dozezeza.Zivuv'] * 2
    assert len(server.calls('Notify')) == 1


def libgit2_lines(proc):
    return [line for line in proc.err if re.match(r'\w+ (Cannot load libgit2|libgit2 )', line)]


def test_libgit2_judges_only_what_the_layout_leaves_in_doubt_and_is_unloaded(service, ctl, watched, root):
    repo(watched / 'plain')  # as git init makes it: judged from the file system alone
    proc = service.watching()
    assert ctl.scan() == 1
    # A bare repository and a .git file: libgit2 reads them, then goes.
    subprocess.run(['git', 'init', '-q', '--bare', watched / 'bare'], check=True)
    subprocess.run(['git', 'init', '-q', '--separate-git-dir', root / 'elsewhere', watched / 'linked'], check=True)
    assert ctl.scan() == 2
    assert sorted(ctl.listed()) == [f'{watched}/{name}' for name in ('bare', 'linked', 'plain')]
    proc.wait_line('debug libgit2 was asked 2 times during the scan')  # lines come after the reply
    assert libgit2_lines(proc) == ['debug libgit2 was asked 2 times during the scan']
    assert 'libgit2' not in Path(f'/proc/{proc.p.pid}/maps').read_text()


def test_missing_libgit2_is_told_and_what_needs_it_waits(service, ctl, watched, root, env):
    # A broken copy first on the library path: the loader refuses it.
    (root / 'lib').mkdir()
    (root / 'lib' / 'libgit2.so.1.5').write_bytes(b'')
    env['LD_LIBRARY_PATH'] = str(root / 'lib')
    repo(watched / 'plain')
    subprocess.run(['git', 'init', '-q', '--bare', watched / 'bare'], check=True)
    proc = service.watching()
    assert ctl.scan() == 1
    assert ctl.scan() == 0
    failure = f'{root}/lib/libgit2.so.1.5: file too short'
    line = f'error Cannot load libgit2, so folders that only libgit2 can judge are not registered: {failure}'
    proc.wait_line(line, 2)
    assert libgit2_lines(proc) == [line] * 2
    assert ctl.listed() == [f'{watched}/plain']
    assert ctl.out('why', watched / 'bare') == (
        f'{watched}/bare: undecided: only libgit2 can judge this folder, and it cannot be loaded: {failure}\n')
