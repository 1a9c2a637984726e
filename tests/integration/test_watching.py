# What the watch must not miss: a watched folder moved away or made anew,
# repositories that arrive slowly in a subfolder, and a network file system
# whose changes make no event.

import os
import shutil
import subprocess
import time

import pytest
from conftest import repo, wait_until


def quiet_for(proc, seconds, line='debug File Has Changed, Setting Timer'):
    # True when the service logged no such line for that long.
    before = proc.err.count(line)
    time.sleep(seconds)
    return proc.err.count(line) == before


@pytest.mark.parametrize('away', ['moved', 'deleted'])
def test_watched_folder_made_anew_is_followed_by_its_path(service, ctl, watched, root, away):
    proc = service.watching()
    if away == 'moved':
        watched.rename(root / 'watched.old')
    else:
        shutil.rmtree(watched)
    line = f'info Monitored folder moved away or deleted, waiting for it to return: {watched}'
    proc.wait_line(line)
    proc.wait_line('error No monitoring URL to check!', timeout=10)
    assert ctl.out('status').splitlines()[0] == 'folder: none'
    # Nothing at the path: no further event, no busy loop.
    assert proc.err.count('debug Checking For New Repositories') == 1
    watched.mkdir()
    repo(watched / 'fresh')
    wait_until(lambda: ctl.listed() == [f'{watched}/fresh'], 10, 'the new repository')
    assert proc.err.count(line) == 1
    assert ctl.out('status').splitlines()[0] == f'folder: {watched}'


def write_git(folder, parts):
    # The pieces of a .git folder that locating a repository needs.
    for part in parts:
        (folder / '.git' / part).parent.mkdir(parents=True, exist_ok=True)
        if part == 'HEAD':
            (folder / '.git' / part).write_text('ref: refs/heads/main\n')
        else:
            (folder / '.git' / part).mkdir(exist_ok=True)


@pytest.mark.parametrize('order', ['git written last', 'HEAD arrives later'])
def test_repository_that_arrives_slowly_is_registered_once_complete(service, ctl, watched, order):
    proc = service.watching()
    late = watched / 'late'
    late.mkdir()
    if order == 'git written last':  # a copy that fills the folder first
        (late / 'README').write_text('x')
        proc.wait_line(f'info Failed to create repo for {late}')
        for i in range(3):
            (late / f'file{i}').write_text('x')
            time.sleep(1)
        write_git(late, ['objects', 'refs', 'HEAD'])
    else:
        write_git(late, ['objects', 'refs'])
        proc.wait_line(f'info Failed to create repo for {late}')
        time.sleep(2)
        write_git(late, ['HEAD'])
    landed = time.monotonic()
    wait_until(lambda: ctl.listed() == [str(late)], 15, 'the late repository')
    assert time.monotonic() - landed >= 3  # the same quiet period as the folder's own changes


def test_pending_folders_end_when_quiet_or_blocked_and_leave_no_descriptor(service, ctl, watched, env):
    with open(env['ZIVUV_FAULTS'], 'w') as faults:
        faults.write('pending-quiet 12\n')
    proc = service.watching()
    fds = lambda: len(os.listdir(f'/proc/{proc.p.pid}/fd'))
    # After a change: the debounce timer, and while folders wait, one inotify
    # instance and one timer for them all.
    idle, waiting = fds() + 1, fds() + 3
    for i in range(100):
        (watched / f'plain{i}').mkdir()
    proc.wait_line(f'info Failed to create repo for {watched}/plain99')
    wait_until(lambda: fds() == waiting, 10, 'the pending folders')
    # A pending folder that the app blocks is never registered.
    ctl.out('block', watched / 'plain0')
    repo(watched / 'plain0')
    proc.wait_line(f'info Existing or blocked folder: {watched}/plain0')
    for i in range(1, 100):
        (watched / f'plain{i}').rmdir()
    proc.wait_line('info Checked and no new repos', 3)
    # Blocked or removed, they go with that scan, well before their quiet period ends.
    wait_until(lambda: fds() == idle, 2, 'the pending watches to go')
    assert ctl.listed() == []

    # Quiet for the period, a plain folder is no longer watched.
    (watched / 'quiet').mkdir()
    wait_until(lambda: fds() == waiting, 10, 'the quiet folder to wait')
    wait_until(lambda: fds() == idle, 20, 'the quiet folder to go')
    (watched / 'quiet' / 'file').write_text('x')
    assert quiet_for(proc, 1)


@pytest.fixture
def fuse_mount(root):
    if not shutil.which('bindfs') or not os.path.exists('/dev/fuse'):
        pytest.skip('bindfs or /dev/fuse is missing: no FUSE mount here')
    (root / 'underlying').mkdir()
    (root / 'mount').mkdir()
    if subprocess.run(['bindfs', root / 'underlying', root / 'mount']).returncode != 0:
        pytest.skip('bindfs cannot mount here')
    yield root / 'mount'
    subprocess.run(['fusermount', '-u', root / 'mount'], check=False)


def test_network_file_system_is_scanned_every_period(service, ctl, fuse_mount, root, env):
    with open(env['ZIVUV_FAULTS'], 'w') as faults:
        faults.write('rescan-period 2\n')
    proc = service.start()
    ctl.out('watch', fuse_mount)
    repo(root / 'underlying' / 'elsewhere')  # no event reaches the mount
    wait_until(lambda: ctl.listed() == [f'{fuse_mount}/elsewhere'], 10, 'the rescan')
    assert proc.err.count('info Folder is on a network file system (fuse): changes made on other '
                          'machines are found by a scan every 5 minutes') == 1
