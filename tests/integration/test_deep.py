# A scan depth that a person opts into: repositories at every depth up to
# it, nothing inside a repository, a blocked or an ignored folder, the whole
# tree watched up to a cap and through renames, and `why` telling each case.

import json
import os
import subprocess
import time
from pathlib import Path

import dbus
import pytest
from conftest import NAME, PATH, own_settings, repo, wait_until

STATUS = 'VO9ZE47VOD.com.dozezeza.FolderMonitor.Status'


def test_deep_tree_registers_each_repository_once_and_is_watched_to_its_depth(service, ctl, watched, env):
    own_settings(env, scanDepth=3, ignoredFolders=['node_modules', 'build*/', 'srv/skip/*', '/srv/**/gen'])
    tree = watched / 'srv'
    for path in ('alice/one', 'alice/two', 'bob/three', 'alice/one/vendor/lib', 'node_modules/pkg',
                 'build-out/r', 'skip/x', '.cache/r', 'blocked/r', 'alice/deep/er/r', 'gen/r'):
        repo(tree / path)
    (tree / 'link').symlink_to(tree / 'alice')
    ctl.out('block', tree / 'blocked')
    proc = service.watching()
    assert ctl.scan() == 3
    assert sorted(ctl.listed()) == [f'{tree}/{p}' for p in ('alice/one', 'alice/two', 'bob/three')]
    answers = {
        'alice/one/vendor/lib': ('inside-repository', f'inside the repository {tree}/alice/one: scans '
                                 'never look inside repositories'),
        'node_modules/pkg': ('ignored', f"ignored: the pattern 'node_modules' matches {tree}/node_modules"),
        'skip/x': ('ignored', f"ignored: the pattern 'srv/skip/*' matches {tree}/skip/x"),
        'gen/r': ('ignored', f"ignored: the pattern '/srv/**/gen' matches {tree}/gen"),
        'build-out/r': ('ignored', f"ignored: the pattern 'build*/' matches {tree}/build-out"),
        'blocked/r': ('inside-blocked', f'inside a blocked folder: {tree}/blocked'),
        'alice/deep/er/r': ('too-deep', 'deeper than the scan depth: at depth 5, and scans look 3 deep'),
        'alice/two': ('listed', 'listed: the app lists it, registered already'),
    }
    for path, (key, text) in answers.items():
        assert ctl.out('why', tree / path) == f'{tree / path}: {text}\n'
        assert json.loads(ctl.out('why', '--json', tree / path))['answer'] == key

    # New repositories at any depth, and below a folder made after the scan.
    repo(tree / 'bob' / 'late')
    wait_until(lambda: f'{tree}/bob/late' in ctl.listed(), 10, 'a repository at depth 3')
    (tree / 'carol').mkdir()
    proc.wait_line('info Checked and no new repos')  # carol is watched once that scan ends
    repo(tree / 'carol' / 'new')
    wait_until(lambda: f'{tree}/carol/new' in ctl.listed(), 10, 'a repository below the new folder')
    assert [line for line in proc.err if 'wrong type' in line] == []


def test_tree_past_the_watch_cap_is_found_by_the_rescan(service, ctl, watched, env, faults, bus):
    faults('watch-cap 2', 'rescan-period 2')
    own_settings(env, scanDepth=3, ignoredFolders='not a list')
    for path in ('a/x', 'b/y'):
        (watched / path).mkdir(parents=True)
    proc = service.watching()
    assert ctl.scan() == 0
    # The shallow folders are watched first; a and b take the cap, a/x and b/y go without.
    proc.wait_line('info Watching 2 of the 4 folders below the monitored folder, the most it takes (half of '
                   'fs.inotify.max_user_watches, at most 65536; sysctl can raise it): the rest is found by a '
                   'scan every 5 minutes')
    bad = 'info Setting ignoredFolders has a value of the wrong type or out of range; using its default'
    proc.wait_line(bad)
    status = bus.get_object(NAME, PATH, introspect=False)
    assert status.Get(STATUS, 'Watcher', dbus_interface=dbus.PROPERTIES_IFACE) == 'inotify+rescan 2s'
    assert status.Get(STATUS, 'ScanDepth', dbus_interface=dbus.PROPERTIES_IFACE) == 3
    repo(watched / 'a' / 'x' / 'unwatched')
    wait_until(lambda: ctl.listed() == [f'{watched}/a/x/unwatched'], 10, 'the rescan')
    assert status.Get(STATUS, 'Rescans', dbus_interface=dbus.PROPERTIES_IFACE) >= 1
    # Told once, whatever the scans, and again for another bad value.
    assert proc.err.count(bad) == 1
    own_settings(env, ignoredFolders=3)
    assert proc.wait_line(bad, 2) == 2
    ctl.scan()
    assert proc.err.count(bad) == 2


def test_past_the_cap_the_shallowest_folders_are_watched(service, ctl, watched, env, faults, bus):
    faults('watch-cap 2')  # a and b; a/x and b/y wait for the rescan, 5 minutes away
    own_settings(env, scanDepth=3)
    for path in ('a/x', 'b/y'):
        (watched / path).mkdir(parents=True)
    service.watching()
    assert ctl.scan() == 0
    repo(watched / 'b' / 'new')
    wait_until(lambda: ctl.listed() == [f'{watched}/b/new'], 10, 'the repository in a shallow folder')
    status = bus.get_object(NAME, PATH, introspect=False)
    assert status.Get(STATUS, 'Rescans', dbus_interface=dbus.PROPERTIES_IFACE) == 0


def cpu_ticks(pid):
    # User and system time of the service's threads, in clock ticks: the main thread and those it
    # names. A sanitizer's background thread keeps the name of the process and is left out.
    def stat(task):
        comm, rest = (task / 'stat').read_text().rsplit(')', 1)
        return comm.split('(', 1)[1], rest.split()

    tasks = Path(f'/proc/{pid}/task')
    name = stat(tasks / str(pid))[0]
    ticks = 0
    for task in tasks.iterdir():
        try:
            comm, fields = stat(task)
        except FileNotFoundError:
            continue  # a thread that ended meanwhile
        if task.name == str(pid) or comm != name:
            ticks += int(fields[11]) + int(fields[12])
    return ticks


def test_idle_service_spends_no_cpu_on_its_folder_tree_and_mount_table(service, ctl, watched, env, fuse_mount,
                                                                        root):
    own_settings(env, scanDepth=2)
    for name in ('a', 'b'):
        (watched / name / 'sub').mkdir(parents=True)
    (root / 'share').mkdir()
    fuse_mount(root / 'share', watched / 'b' / 'sub')  # a change of the mount table it reads
    proc = service.watching()
    assert ctl.scan() == 0
    time.sleep(2)  # what follows a scan (its status signal, a page drop) is over
    before = cpu_ticks(proc.p.pid)
    time.sleep(1)
    assert cpu_ticks(proc.p.pid) - before == 0


@pytest.fixture
def bind():
    # mount --bind, undone at the end.
    mounted = []

    def mount(source, target):
        subprocess.run(['mount', '--bind', source, target], check=True)
        mounted.append(target)
    yield mount
    for target in reversed(mounted):
        subprocess.run(['umount', '-l', target], check=True)


def test_bind_mounts_make_no_second_entry_and_no_loop(service, ctl, watched, env, bus, bind):
    own_settings(env, scanDepth=3)
    repo(watched / 'a')
    for folder in ('b', 'p/loop'):
        (watched / folder).mkdir(parents=True)
    bind(watched / 'a', watched / 'b')  # one repository under two names
    bind(watched, watched / 'p' / 'loop')  # the tree inside itself
    service.watching()
    assert ctl.scan() == 1
    (listed,) = ctl.listed()
    other = {f'{watched}/a': watched / 'b', f'{watched}/b': watched / 'a'}[listed]
    assert ctl.out('why', other) == (f'{other}: an alias of the listed repository {listed}: the same folder '
                                     'reached another way, which scans never list twice\n')
    # a, b, p and p/loop, which is the monitored folder again and never entered.
    status = bus.get_object(NAME, PATH, introspect=False)
    assert status.Get(STATUS, 'LastScanCandidates', dbus_interface=dbus.PROPERTIES_IFACE) == 4
    assert ctl.scan() == 0
    assert ctl.listed() == [listed]


def kernel_watches(pid):
    # The inotify watches that the kernel holds for a process, as its fdinfo shows them.
    infos = (Path(f'/proc/{pid}/fdinfo/{fd}').read_text() for fd in os.listdir(f'/proc/{pid}/fdinfo'))
    return sum(line.startswith('inotify wd:') for info in infos for line in info.splitlines())


def test_folders_renamed_in_the_tree_stay_watched_and_counted_as_the_kernel_does(service, ctl, watched, env, bus):
    own_settings(env, scanDepth=2)
    for name in ('a', 'b', 'c'):
        (watched / name).mkdir()
    proc = service.watching()
    status = bus.get_object(NAME, PATH, introspect=False)
    watches = lambda: status.Get(STATUS, 'Watches', dbus_interface=dbus.PROPERTIES_IFACE)
    assert ctl.scan() == 0
    checked = proc.wait_line('info Checked and no new repos')
    (watched / 'a').rename(watched / 'renamed')  # renamed inside the tree
    (watched / 'b').rename(watched.parent / 'out')  # moved out and back
    (watched.parent / 'out').rename(watched / 'b')
    (watched / 'c').rename(watched.parent / 'away')  # moved out for good
    proc.wait_line('info Checked and no new repos', checked + 1)  # the scan that the renames bring
    scans = proc.err.count('debug Checking For New Repositories')
    repo(watched / 'renamed' / 'one')
    repo(watched / 'b' / 'two')
    wait_until(lambda: sorted(ctl.listed()) == [f'{watched}/b/two', f'{watched}/renamed/one'], 10,
               'the repositories in the renamed folders')
    assert proc.err.count('debug Checking For New Repositories') == scans + 1
    # The folder, its parents up to /, and renamed and b, each both in the tree and pending.
    expected = 1 + len(watched.parts) - 2 + 2
    wait_until(lambda: watches() == kernel_watches(proc.p.pid) == expected, 10,
               f'{expected} watches, as the kernel counts them')
