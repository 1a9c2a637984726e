# The client explains the service: why a folder is or is not registered, the
# same facts as JSON for scripts, and its words completed by bash.

import json
import os
import plistlib
import subprocess
import time

import dbus
import dbus.mainloop.glib
from conftest import IFACE, NAME, PATH, bookmark, own_settings, pump, repo, suite_file
from test_monitorctl import SOURCE


def test_why_gives_the_scans_own_verdict(service, ctl, watched, env, root):
    # All in place before the watch begins, so that no scan runs meanwhile;
    # the app lists one, and one more that moved.
    for name in ('listed', 'new', 'blocked', '.hidden', 'moved', 'written', 'foreign'):
        repo(watched / name)
    (watched / 'written' / '.git' / 'index.lock').touch()
    subprocess.run(['chown', '-R', 'nobody', watched / 'foreign'], check=True)
    suite_file(env).parent.mkdir(parents=True)
    suite_file(env).write_bytes(plistlib.dumps({'kSandboxKey': [
        bookmark(watched / 'listed'), bookmark(watched / 'moved', recorded=watched / 'was-here')]}))
    ctl.out('block', watched / 'blocked')
    for name in ('plain', 'repo/sub'):
        (watched / name).mkdir(parents=True)
    (watched / 'file').write_text('x')
    (watched / 'link').symlink_to(watched / 'new')
    (root / 'home').mkdir()  # libgit2's words depend on the user's git configuration: none here
    env['HOME'] = str(root / 'home')
    service.watching()
    safe = f'git config --global --add safe.directory {watched}/foreign'
    answers = {
        'new': ('would-register', 'would be registered by the next scan'),
        'listed': ('listed', 'listed: the app lists it, registered already'),
        'blocked': ('blocked', 'blocked: the app has blocked it, so no scan registers it'),
        '.hidden': ('hidden', 'hidden: scans pass over names that start with a dot'),
        'link': ('symlink', 'a symbolic link: scans never follow links'),
        'file': ('not-folder', 'not a folder'),
        'missing': ('missing', 'does not exist'),
        'repo/sub': ('not-subfolder', f'not an immediate subfolder of the monitored folder {watched}'),
        'plain': ('not-repository', f"not a repository: could not find repository from '{watched}/plain'"),
        'moved': ('moved', f'the listed repository {watched}/was-here, moved here: the next scan records it here'),
        'written': ('being-written', 'being written (a clone or fetch in progress)'),
        'foreign': ('not-repository', "not a repository: config value 'safe.directory' was not found\n"
                    f'{watched}/foreign: owned by another user; git opens it once told: {safe}'),
    }
    for name, (key, text) in answers.items():
        assert ctl.out('why', watched / name) == f'{watched / name}: {text}\n'
        document = json.loads(ctl.out('why', '--json', watched / name))
        assert (document['answer'], document['text'], document['monitored']) == (key, text.split('\n')[0], str(watched))
        assert document.get('command') == (safe if name == 'foreign' else None)
    subprocess.run(safe.split(), env=env, check=True)  # as the line says; the service reads it too
    assert ctl.out('why', watched / 'foreign') == f'{watched}/foreign: would be registered by the next scan\n'
    assert ctl.scan() == 2
    listed = ctl.listed()
    assert (listed[:2], sorted(listed[2:])) == ([f'{watched}/listed', f'{watched}/moved'],
                                                [f'{watched}/foreign', f'{watched}/new']), 'what "would" was'
    service.kill()
    assert ctl('why', watched / 'new').returncode == 1  # no service to ask


def test_json_holds_the_same_facts_as_the_lines(service, ctl, watched, root):
    service.watching()
    repo(os.path.join(bytes(watched), b'bad\xff'))
    (root / 'gone').mkdir()
    ctl.out('block', root / 'gone')
    (root / 'gone').rmdir()
    assert ctl.scan() == 1
    status = json.loads(ctl.out('--json', 'status'))
    # One spelling of each key: the bus's.
    assert {key: status[key] for key in ('Folder', 'FolderUnresolvable', 'ProcessName')} == {
        'Folder': str(watched), 'FolderUnresolvable': False, 'ProcessName': 'zivuv-folder-monitor'}
    assert len({key.lower() for key in status}) == len(status)
    # A path that is not UTF-8 travels as the bus carries text.
    assert json.loads(ctl.out('repos', '--json')) == {'listed': [{'path': f'{watched}/bad\ufffd', 'resolves': True}],
                                                      'blocked': [{'path': f'{root}/gone', 'resolves': False}]}


def local(us):
    return time.strftime('%Y-%m-%d %H:%M:%S', time.localtime(us // 10**6))


def test_status_tells_what_the_status_interface_tells(service, ctl, watched, env):
    for name in ('a', 'b', 'plain/inner'):
        repo(watched / name)
    service.watching()
    assert ctl.scan() == 2
    # The properties as a client that no one here wrote reads them.
    reply = subprocess.run(['busctl', '--user', '--json=short', 'call', NAME, PATH, 'org.freedesktop.DBus.Properties',
                            'GetAll', 's', f'{IFACE}.Status'], env=env, capture_output=True, text=True, check=True)
    props = {key: value['data'] for key, value in json.loads(reply.stdout)['data'][0].items()}
    assert (props['State'], props['Folder'], props['Watcher'], props['Scans'], props['LastScanCandidates'],
            props['LastScanRegistered']) == ('idle', str(watched), 'inotify', 1, 3, 2)
    status = json.loads(ctl.out('status', '--json'))
    assert ({key: status[key] for key in props}, status['Repositories']) == (
        props, {'Listed': 2, 'Missing': 0, 'Blocked': 0})
    when, error = props['LastError']
    duration = props['LastScanDuration']
    assert ctl.out('status').splitlines() == [
        f'folder: {watched}', 'process: zivuv-folder-monitor', 'state: idle, watcher: inotify',
        f'watches: {props["Watches"]}/{props["WatchLimit"]}', f'pending folders: {props["PendingFolders"]}', 'scan depth: 1',
        f'last event: {local(props["LastEvent"]) if props["LastEvent"] else "never"}',
        f'last scan: {local(props["LastScan"])}, {duration // 1000}.{duration % 1000 // 100} ms, 3 candidates, 2 registered',
        'since start: 1 scan, 0 rescans, 0 overflows', f'last error: {local(when)}: {error}' if when else 'last error: none',
        'repositories: 2 listed (0 missing), 0 blocked', f'started: {local(props["StartedAt"])}',
        f'version: {props["Version"]}', f'confinement: {", ".join(props["Confinement"]) or "none"}']

    # A change of the settings asks for a scan, which applies it.
    ctl.out('config', 'depth', '2')
    assert f'{watched}/plain/inner' in ctl.listed()
    # The monitored folder comes from the service, which has no saved folder after a reset.
    ctl.out('reset')
    (watched / 'a').rename(watched / 'c')
    assert f'listed {watched}/a: moved {watched}/c\n' in ctl.out('repos', '--check')


def complete(*words):
    script = (f'source {SOURCE}/tools/completion/zivuv-monitorctl; COMP_WORDS=({" ".join(words)}); '
              'COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _zivuv_monitorctl; printf "%s\\n" "${COMPREPLY[@]}"')
    return subprocess.run(['bash', '-c', script], capture_output=True, text=True, check=True).stdout.split()


def test_bash_completes_commands_options_and_folders(root):
    os.chdir(root)
    (root / 'src').mkdir()
    (root / 'srcfile').write_text('x')
    assert complete('zivuv-monitorctl', 'st') == ['status']
    assert complete('zivuv-monitorctl', '--j') == ['--json']
    assert complete('zivuv-monitorctl', 'why', '--json', 'sr') == ['src']
    assert complete('zivuv-monitorctl', 'watch', 'src', 's') == []
    for words, expected in ((['repos', '--'], ['--check', '--help', '--json']), (['prune', '--'], ['--help', '--yes']),
                            (['watch', '--'], ['--help', '--replace']), (['scan', '-'], ['--dry-run', '--help', '--json']),
                            (['config', 'd'], ['depth']), (['config', 'ignore', 'r'], ['remove']),
                            (['config', '--json', 'ignore', 'a'], ['add'])):
        assert complete('zivuv-monitorctl', *words) == expected


def test_dry_run_shows_why_for_every_folder_the_walk_meets_and_changes_nothing(service, ctl, watched, env, bus,
                                                                                 mock, root):
    for name in ('new', 'listed', 'blocked', 'moved', 'written', 'plain/deep/repo', '.hidden'):
        repo(watched / name)
    (watched / 'written' / '.git' / 'index.lock').touch()
    for name in ('new/sub', 'blocked/sub', 'node_modules'):
        (watched / name).mkdir()
    (watched / 'link').symlink_to(watched / 'new')
    suite_file(env).parent.mkdir(parents=True)
    suite_file(env).write_bytes(plistlib.dumps({'kBlockedKey': [bookmark(watched / 'blocked')], 'kSandboxKey': [
        bookmark(watched / 'listed'), bookmark(watched / 'moved', recorded=watched / 'was-here')]}))
    # The service's remembered folder, as it saves it: what the preview walks without the service.
    own_settings(env, scanDepth=2, kSandboxKey=[bookmark(watched, kind=2)])
    expected = {'new': 'would-register', 'new/sub': 'inside-repository', 'listed': 'listed', 'blocked': 'blocked',
                'blocked/sub': 'inside-blocked', 'moved': 'moved', 'written': 'being-written',
                'node_modules': 'ignored', 'plain': 'not-repository', 'plain/deep': 'not-repository',
                'plain/deep/repo': 'too-deep'}
    server = mock('notification_daemon')
    signals = []
    listener = dbus.bus.BusConnection(env['DBUS_SESSION_BUS_ADDRESS'], mainloop=dbus.mainloop.glib.DBusGMainLoop())
    listener.add_signal_receiver(lambda *args, **kw: signals.append(kw), sender_keyword='sender',
                                 member_keyword='member')
    files = suite_file(env).parent

    def preview():
        before = {path.name: path.read_bytes() for path in files.iterdir()}
        lines, array = ctl.out('scan', '--dry-run'), json.loads(ctl.out('--json', 'scan', '--dry-run'))
        assert {path.name: path.read_bytes() for path in files.iterdir()} == before
        assert {os.path.relpath(element['folder'], watched): element['answer'] for element in array} == expected
        # The same words, one line per folder (the lines hold the reasons, so they are compared whole).
        assert lines.splitlines() == [f'{element["folder"]}: {element["text"]}' for element in array]
        return array

    offline = preview()
    service.start()
    assert preview() == offline
    for element in offline:
        assert json.loads(ctl.out('why', '--json', element['folder'])) == element
    # Nothing sent by anyone but the bus itself and the service's own status; and no scan asked for.
    listener.name_has_owner(NAME)
    pump()
    quiet = ('org.freedesktop.DBus', bus.get_name_owner(NAME))
    assert [kw for kw in signals if kw['sender'] != quiet[0] and (kw['sender'], kw['member']) != (
        quiet[1], 'PropertiesChanged')] == []
    assert server.calls('Notify') == []
    assert bus.call_blocking(NAME, PATH, 'org.freedesktop.DBus.Properties', 'Get', 'ss', (f'{IFACE}.Status', 'Scans')) == 0
    service.kill()
    # At depth 1 the immediate subfolders alone, as ever: node_modules too, nothing below.
    own_settings(env, scanDepth=1)
    assert {os.path.relpath(element['folder'], watched): element['answer'] for element in json.loads(
        ctl.out('--json', 'scan', '--dry-run'))} == {**{name: expected[name] for name in expected if '/' not in name},
                                                     'node_modules': 'not-repository'}
    own_settings(env, kSandboxKey=[])
    result = ctl('scan', '--dry-run')
    assert (result.returncode, result.stdout, 'no folder is monitored' in result.stderr) == (1, '', True)
