# zivuv-monitorctl run as a person would: what it prints and how it exits.
# The round trip with the real service is in the other files; here the bus
# has no service, or there is no bus.

import base64
import json
import os
import plistlib
import re
import shutil
import subprocess
from pathlib import Path

import dbus
import pytest
from conftest import BIN, PATH, SUITE, Proc, bookmark, repo, stop_bus, suite_file, wait_until

SOURCE = Path(os.environ.get('ZIVUV_SOURCE_DIR', '.'))
VERSION = re.match(r'\S+ \(([^)]+)\)', (SOURCE / 'debian' / 'changelog').read_text())[1]


@pytest.mark.parametrize('args', [[], ['frobnicate'], ['--frob'], ['watch'], ['block'], ['bookmark'],
                                  ['status', 'x'], ['watch', '/', '/'], ['--help', 'x'], ['--json', 'scan'],
                                  ['why'], ['status', '--check'], ['repos', '--yes'], ['prune', '--json'],
                                  ['config', 'depth'], ['config', 'depth', '0'], ['config', 'depth', '9'],
                                  ['config', 'depth', '+2'], ['config', 'depth', '2', '3'], ['config', 'ignore', 'add'],
                                  ['config', 'ignore', 'drop', 'x'], ['config', 'ignore', 'add', ''], ['config', 'frob'],
                                  ['config', 'ignore', 'add', 'a//b'], ['frob', '--help'], ['watch', '--yes', '/']])
def test_usage_errors_exit_two_with_a_hint_and_no_data(ctl, args):
    result = ctl(*args)
    assert (result.returncode, result.stdout, '--help' in result.stderr) == (2, '', True)


COMMANDS = ['watch', 'status', 'scan', 'reset', 'repos', 'prune', 'block', 'unblock', 'config', 'listen', 'why',
            'bookmark']


def test_help_and_version_of_both_programs_need_no_bus(ctl, env):
    text = ctl.out('--help')
    assert text.startswith('Usage: zivuv-monitorctl [--json] COMMAND [ARGUMENT...]\n')
    assert all(words in text for words in ('repos [--check]', 'prune [--yes]', 'config depth N', 'ignore add|remove',
                                           'watch [--replace] DIR'))
    assert ctl.out('--version') == f'zivuv-monitorctl {VERSION}\n'
    for command in COMMANDS:
        for flag in ('--help', '-h'):
            usage = ctl.out(command, flag).splitlines()[0]
            assert re.fullmatch(rf'Usage: zivuv-monitorctl (\[--json\] )?{command}\b.*', usage), (command, usage)
    for flag, start in (('--help', 'Usage: zivuv-folder-monitor\n'), ('-h', 'Usage: zivuv-folder-monitor\n'),
                        ('--version', f'zivuv-folder-monitor {VERSION}\n'), ('x', ''), ('--help x', '')):
        result = subprocess.run([BIN / 'zivuv-folder-monitor', *flag.split()], env=env, capture_output=True, text=True)
        assert (result.returncode, result.stdout.startswith(start), result.stderr == '') == (
            (0, True, True) if start else (2, True, False)), flag


@pytest.mark.parametrize('name', ['a', 'ab', 'abc'])  # every padding of base64
def test_bookmark_is_padded_base64_of_the_real_path(ctl, root, name):
    (root / name / 'in').mkdir(parents=True)
    (root / f'{name}-link').symlink_to(root / name / 'in')  # recorded as its target
    assert ctl.out('bookmark', root / f'{name}-link') == base64.b64encode(bookmark(root / name / 'in')).decode() + '\n'
    # The kernel's "..", as readlink -f has it: the target's parent, not root.
    assert ctl.out('bookmark', f'{root}/{name}-link/..') == base64.b64encode(bookmark(root / name)).decode() + '\n'


@pytest.mark.parametrize('command', ['bookmark', 'watch', 'block', 'unblock'])
def test_a_bad_folder_fails_before_the_bus_is_looked_for(ctl, root, env, command):
    (root / 'file').write_text('x')
    for path in (root / 'file', root / 'missing'):
        result = ctl(command, path)
        assert (result.returncode, result.stdout, result.stderr) == (1, '', f'zivuv-monitorctl: not a folder: {path}\n')
    assert not suite_file(env).exists()


def write_suite(env, data, fmt=plistlib.FMT_BINARY):
    suite_file(env).parent.mkdir(parents=True, exist_ok=True)
    suite_file(env).write_bytes(data if isinstance(data, bytes) else plistlib.dumps(data, fmt=fmt))


def test_block_and_unblock_edit_only_the_blocked_list(ctl, root, env):
    for name in ('a', 'b', 'odd\nname', 'gone'):
        (root / name).mkdir()
    gone = bookmark(root / 'gone')
    (root / 'gone').rmdir()
    write_suite(env, {'kSandboxKey': [bookmark(root / 'b'), gone], 'kBlockedKey': [gone]})
    (root / 'a-link').symlink_to(root / 'a')
    # An entry that does not resolve shows the path it records.
    listed = f'listed {root}/b\nlisted {root}/gone (unresolvable)\nblocked {root}/gone (unresolvable)\n'

    ctl.out('block', root / 'a')
    again = ctl('block', root / 'a-link')  # the same folder
    assert (again.returncode, again.stdout, again.stderr) == (0, '', '')
    ctl.out('block', root / 'odd\nname')
    # One line per entry, none of the store's own, control bytes escaped.
    repos = ctl('repos')
    assert (repos.stdout, repos.stderr) == (listed + f'blocked {root}/a\nblocked {root}/odd\\x0Aname\n', '')

    ctl.out('unblock', root / 'a-link')
    ctl.out('unblock', root / 'b')  # never blocked: nothing changes
    assert ctl.out('repos') == listed + f'blocked {root}/odd\\x0Aname\n'


def test_keys_of_another_shape_and_unreadable_settings(ctl, root, env):
    (root / 'a').mkdir()
    write_suite(env, {'kSandboxKey': 'x', 'kBlockedKey': 3}, plistlib.FMT_XML)
    before = suite_file(env).read_bytes()
    assert (ctl.out('repos'), ctl.out('unblock', root / 'a'), suite_file(env).read_bytes()) == ('', '', before)
    ctl.out('block', root / 'a')
    assert ctl.out('repos') == f'blocked {root}/a\n'
    write_suite(env, b'not a property list')
    for args in (['repos'], ['block', root / 'a'], ['unblock', root / 'a']):
        result = ctl(*args)
        assert (result.returncode, result.stdout, result.stderr) == (
            1, '', f'zivuv-monitorctl: cannot read the shared settings {suite_file(env)}\n')
    assert suite_file(env).read_bytes() == b'not a property list'  # the app's file is never replaced


@pytest.mark.parametrize('bus_there', [True, False])
def test_every_bus_command_fails_when_the_service_is_not_there(request, ctl, root, bus_there):
    if bus_there:
        request.getfixturevalue('bus')
    (root / 'a').mkdir()
    for args in (['status'], ['scan'], ['reset'], ['watch', root / 'a']):
        result = ctl(*args)
        assert (result.returncode, result.stdout) == (1, ''), args
        assert 'the folder monitor is not running on the session bus' in result.stderr


def test_listen_prints_each_defaults_changed_until_stopped_or_the_bus_goes(bus, env):
    def listen():
        proc = Proc([BIN / 'zivuv-monitorctl', 'listen'], env)
        wait_until(lambda: any('listening' in line for line in proc.err), what='listening')
        return proc

    first = listen()
    # In order from one sender: had the other member got through, it would
    # show before ours.
    for member, text in (('Other', 'no'), ('DefaultsChanged', 'com.dozezeza.Zivuv'), ('DefaultsChanged', 'a\nb')):
        signal = dbus.lowlevel.SignalMessage(PATH, 'com.rudirideva.Zivuv', member)
        signal.append(text, signature='s')
        bus.send_message(signal)
    bus.flush()
    wait_until(lambda: len(first.out) >= 2, what='two lines')
    assert first.out == ['com.dozezeza.Zivuv', 'a\\x0Ab']
    first.p.terminate()
    assert first.status() == 0

    second = listen()
    stop_bus(bus.pid)
    assert second.status() == 1
    assert any('connection to the session bus was lost' in line for line in second.err)


def own_settings(env):
    return Path(env['XDG_CONFIG_HOME']) / 'Zivuv' / 'com.vezudi.Zivuv.FolderMonitor.plist'


@pytest.fixture
def entries(root, watched, env):
    # A listed entry in each state, in a mixed order; the monitored folder is
    # the service's saved folder, as no service answers.
    if not (shutil.which('bindfs') and os.path.exists('/dev/fuse')):
        pytest.skip('needs bindfs and /dev/fuse')
    for folder in (watched / 'gone', watched / 'ok', watched / 'plain', root / 'disk', root / 'mnt'):
        folder.mkdir()
    repo(watched / 'old')
    subprocess.run(['bindfs', root / 'disk', root / 'mnt'], check=True)
    try:  # recorded on the mount, which then goes: its parent is on another device
        (root / 'mnt' / 'repo').mkdir()
        unreachable = bookmark(root / 'mnt' / 'repo')
    finally:
        subprocess.run(['umount', root / 'mnt'], check=True)
    # A removed repository whose inode a plain folder got: no move.
    reused = bookmark(watched / 'plain', recorded=watched / 'reused')
    listed = [bookmark(watched / 'gone'), bookmark(watched / 'old'), unreachable, bookmark(watched / 'ok'), b'ZVBM broken',
              reused]
    shutil.rmtree(watched / 'gone')
    (watched / 'old').rename(watched / 'new')
    write_suite(env, {'kSandboxKey': listed, 'kBlockedKey': listed[:1]})
    own_settings(env).write_bytes(plistlib.dumps({'kSandboxKey': [bookmark(watched, 2)]}, fmt=plistlib.FMT_BINARY))
    return listed


def test_check_tells_each_listed_entry_its_state_and_plain_repos_is_unchanged(ctl, entries, root, watched):
    unreachable = f'unreachable not mounted: {root}/mnt is on another device'
    assert ctl.out('repos', '--check') == (
        f'listed {watched}/gone: missing\nlisted {watched}/old: moved {watched}/new\nlisted {root}/mnt/repo: {unreachable}\n'
        f'listed {watched}/ok: ok\nlisted (unresolvable): unresolvable\nlisted {watched}/reused: missing\n'
        f'blocked {watched}/gone (unresolvable)\n')
    assert ctl.out('repos') == (
        f'listed {watched}/gone (unresolvable)\nlisted {watched}/old (unresolvable)\nlisted {root}/mnt/repo (unresolvable)\n'
        f'listed {watched}/ok\nlisted (unresolvable)\nlisted {watched}/reused (unresolvable)\n'
        f'blocked {watched}/gone (unresolvable)\n')
    assert json.loads(ctl.out('--json', 'repos'))['listed'] == [
        {'path': f'{watched}/gone', 'resolves': False}, {'path': f'{watched}/old', 'resolves': False},
        {'path': f'{root}/mnt/repo', 'resolves': False}, {'path': f'{watched}/ok', 'resolves': True},
        {'path': None, 'resolves': False}, {'path': f'{watched}/reused', 'resolves': False}]
    document = json.loads(ctl.out('--json', 'repos', '--check'))
    assert [(e['path'], e['state'], e.get('to', e.get('reason'))) for e in document['listed']] == [
        (f'{watched}/gone', 'missing', None), (f'{watched}/old', 'moved', f'{watched}/new'),
        (f'{root}/mnt/repo', 'unreachable', unreachable[12:]), (f'{watched}/ok', 'ok', None), (None, 'unresolvable', None),
        (f'{watched}/reused', 'missing', None)]


def test_prune_removes_missing_rerecords_moved_in_place_and_tells_the_app_once(ctl, entries, env, root, watched,
                                                                               defaults_changed):
    before = suite_file(env).read_bytes()
    assert ctl.out('prune') == (
        f'remove {watched}/gone: missing\nre-record {watched}/old: moved {watched}/new\nkeep {root}/mnt/repo: '
        f'unreachable not mounted: {root}/mnt is on another device\nkeep {watched}/ok: ok\nkeep (unresolvable): unresolvable\n'
        f'remove {watched}/reused: missing\nwould remove 2, re-record 1, keep 3; run with --yes to apply\n')
    (root / 'faults').write_text(f'fail-write {SUITE}\n')
    failed = ctl('prune', '--yes')
    assert (failed.returncode, failed.stdout, suite_file(env).read_bytes()) == (1, '', before)
    (root / 'faults').write_text('')
    assert ctl.out('prune', '--yes') == (f'removed {watched}/gone: missing\nre-recorded {watched}/old: moved {watched}/new\n'
                                         f'removed {watched}/reused: missing\nremoved 2, re-recorded 1\n')
    after = suite_file(env).read_bytes()
    assert ctl.out('prune').endswith(f'keep (unresolvable): unresolvable\nnothing to prune: keep 4\n')
    assert ctl.out('prune', '--yes') == 'nothing to prune: keep 4\n'
    assert suite_file(env).read_bytes() == after  # nothing left to do: nothing written, nothing sent
    assert plistlib.loads(suite_file(env).read_bytes()) == {
        'kSandboxKey': [bookmark(watched / 'new'), *entries[2:5]], 'kBlockedKey': entries[:1]}
    assert defaults_changed() == ['com.dozezeza.Zivuv']


# Each step: its arguments, the settings then, and whether it changed them.
CONFIG_STEPS = [(['depth', '3'], 3, ['node_modules'], True),
                (['ignore', 'add', 'build'], 3, ['node_modules', 'build'], True),
                (['ignore', 'add', 'build'], 3, ['node_modules', 'build'], False),
                (['ignore', 'remove', 'node_modules'], 3, ['build'], True),
                (['ignore', 'remove', 'node_modules'], 3, ['build'], False)]


def test_config_edits_stand_without_the_service(ctl, env):
    assert ctl.out('config') == 'scanDepth: 1\nignoredFolders: node_modules (the default, used when scanDepth is above 1)\n'
    for args, depth, ignored, changed in CONFIG_STEPS:
        before = own_settings(env).read_bytes() if own_settings(env).exists() else b''
        result = ctl('--json', 'config', *args)
        assert (result.returncode, json.loads(result.stdout)) == (0, {'scanDepth': depth, 'ignoredFolders': ignored})
        stored = plistlib.loads(own_settings(env).read_bytes())
        assert (stored['scanDepth'], stored.get('ignoredFolders', ['node_modules'])) == (depth, ignored), args
        assert (own_settings(env).read_bytes() != before, 'applies them at its next scan' in result.stderr) == (changed,) * 2
    assert ctl.out('config') == 'scanDepth: 3\nignoredFolders: build\n'


def test_config_tells_of_a_bad_settings_file_and_sets_a_bad_value_anew(ctl, env):
    path = own_settings(env)
    path.parent.mkdir(parents=True)
    path.write_bytes(plistlib.dumps({'scanDepth': 99, 'ignoredFolders': ['a//b']}, fmt=plistlib.FMT_BINARY))
    bad = f'zivuv-monitorctl: the value of scanDepth in {path} is of another type or out of range: it reads as the default\n'
    assert ctl('config').stderr == bad
    set_anew = ctl('config', 'depth', '1').stderr  # written, and the value it replaces goes untold
    assert 'the settings are saved' in set_anew and bad not in set_anew
    refused = ctl('config', 'ignore', 'add', '/')
    assert refused.stderr.startswith("zivuv-monitorctl: the pattern '/' can never match a folder: it names no folder\n")
    ctl.out('config', 'ignore', 'remove', 'a//b')  # a stored one that can never match still goes
    assert plistlib.loads(path.read_bytes()) == {'scanDepth': 1, 'ignoredFolders': []}

    path.write_text('garbage')
    shown = ctl('config')
    assert (shown.returncode, shown.stderr) == (0, f"zivuv-monitorctl: warning: the service's settings file {path} is "
                                                   'damaged (not a property list with a dictionary root): its settings read '
                                                   'as the defaults; a change keeps it aside and starts a new one\n')
    kept = re.match(rf"zivuv-monitorctl: the service's settings file {path} was damaged \(not a property list with a "
                    rf'dictionary root\): kept aside as ({path}\.corrupt-\d+); the new file holds this change\n',
                    ctl('config', 'depth', '2').stderr)
    assert Path(kept[1]).read_text() == 'garbage' and plistlib.loads(path.read_bytes()) == {'scanDepth': 2}

    path.unlink()
    path.mkdir()  # something that is no file cannot be read, and is never replaced
    unreadable = f"zivuv-monitorctl: warning: the service's settings file {path} cannot be read (not a regular file): " \
                 'its settings read as the defaults, and no change can be saved\n'
    assert ctl('config').stderr == unreadable
    failed = ctl('config', 'depth', '3')
    assert (failed.returncode, failed.stdout, failed.stderr) == (
        1, '', f"{unreadable}zivuv-monitorctl: cannot write the service's settings {path}: the file cannot be read "
               '(not a regular file), so it is never replaced; nothing changed\n')
