# Repositories that arrive in a candidate after a scan passed it over: the
# folder alone is tested again once it is quiet, however busy the folders
# beside it are, its watch ends when it is taken, removed or quiet, and a
# scan that could not run forgets none of them.

import os
import signal
import subprocess
import threading
import time

import dbus
import pytest
from conftest import NAME, PATH, repo, suite_file, wait_until

SCAN = 'debug Checking For New Repositories'
STATUS = 'VO9ZE47VOD.com.dozezeza.FolderMonitor.Status'


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
        proc.wait_line(f'debug Watching folder for late changes: {late}')
        for i in range(3):
            (late / f'file{i}').write_text('x')
            time.sleep(0.3)
        write_git(late, ['objects', 'refs', 'HEAD'])
    else:
        write_git(late, ['objects', 'refs'])
        proc.wait_line(f'debug Watching folder for late changes: {late}')
        write_git(late, ['HEAD'])
    landed = time.monotonic()
    wait_until(lambda: ctl.listed() == [str(late)], 15, 'the late repository')
    assert time.monotonic() - landed >= 3  # the same quiet period as the folder's own changes
    assert proc.wait_line(f'debug Pending folder became a repository: {late}') == 1
    assert proc.err.count(SCAN) == 1, 'only the folder itself was tested again'


def test_busy_folder_beside_a_new_repository_delays_nothing(service, ctl, watched):
    busy = watched / 'busy'
    busy.mkdir()
    proc = service.watching()
    assert ctl.scan() == 0
    proc.wait_line(f'debug Watching folder for late changes: {busy}')
    stop = threading.Event()

    def fill():  # a download that writes a new file every 0.3 s
        i = 0
        while not stop.wait(0.3):
            (busy / f'part{i}').write_text('x')
            i += 1
    writer = threading.Thread(target=fill)
    writer.start()
    try:
        repo(watched / 'new')
        wait_until(lambda: ctl.listed() == [f'{watched}/new'], 10, 'the repository beside the busy folder')
    finally:
        stop.set()
        writer.join()
    assert proc.err.count(SCAN) == 2


def test_pending_folders_are_tested_alone_and_end_when_taken_or_quiet(service, ctl, watched, faults):
    # A folder joins when it changed within the quiet period before the scan,
    # which comes 3 s after the last change and later on a loaded machine.
    faults('pending-quiet 8')
    proc = service.watching()
    fds = lambda: len(os.listdir(f'/proc/{proc.p.pid}/fd'))
    # After a change: the debounce timer, and while folders wait, one timer
    # for them all (their watches are the folder's own).
    idle, waiting = fds() + 1, fds() + 2
    for i in range(257):
        (watched / f'plain{i}').mkdir()
    proc.wait_line('info Checked and no new repos')
    wait_until(lambda: fds() == waiting, 10, 'the pending folders')
    # Room for 256: one folder is turned away, and told of once.
    limit = lambda: [line for line in proc.err if line.startswith('info Pending folder limit of 256 reached')]
    wait_until(limit, 10, 'the folder turned away')
    failed = len([line for line in proc.err if line.startswith('info Failed to create repo for')])
    assert failed == 257

    # Each one becomes a repository by itself, tested alone; a blocked one is never registered.
    taken = [name for name in sorted(os.listdir(watched)) if f'debug Watching folder for late changes: '
             f'{watched}/{name}' in proc.err][:2]
    ctl.out('block', watched / taken[1])
    for name in taken:
        repo(watched / name)
    wait_until(lambda: ctl.listed() == [f'{watched}/{taken[0]}'], 10, 'the pending repository')
    proc.wait_line(f'info Existing or blocked folder: {watched}/{taken[1]}')
    assert proc.err.count(SCAN) == 1
    assert len([line for line in proc.err if line.startswith('info Failed to create repo for')]) == failed
    assert len(limit()) == 1

    # Quiet for the period, the plain folders are no longer watched.
    wait_until(lambda: fds() == idle, 20, 'the quiet folders to go')


@pytest.fixture(scope='module')
def big_repository(tmp_path_factory):
    # 60 MB that git cannot compress, and a way to clone it over a slow link.
    source = tmp_path_factory.mktemp('big') / 'source'
    repo(source)
    for i in range(3):
        (source / f'blob{i}').write_bytes(os.urandom(20 << 20))
    subprocess.run(['git', '-C', source, 'add', '.'], check=True)
    subprocess.run(['git', '-C', source, '-c', 'user.name=t', '-c', 'user.email=t@t', 'commit', '-qm', 'x'], check=True)
    slow = source.parent / 'slow-upload-pack'
    slow.write_text('#!/bin/sh\ngit-upload-pack "$@" | python3 -c "\nimport sys, time\nstart, sent = time.monotonic(), 0\n'
                    'while chunk := sys.stdin.buffer.read1(1 << 16):\n    sys.stdout.buffer.write(chunk)\n'
                    '    sys.stdout.buffer.flush()\n    sent += len(chunk)\n'
                    '    time.sleep(max(0, sent / 6e6 - (time.monotonic() - start)))\n"\n')
    slow.chmod(0o755)
    return source, slow


@pytest.mark.parametrize('interrupted', [False, True])
def test_clone_is_registered_once_finished_and_an_interrupted_one_never(service, ctl, watched, big_repository,
                                                                        defaults_changed, interrupted):
    source, slow = big_repository
    proc = service.watching()
    clone = subprocess.Popen(['git', 'clone', '-q', '--no-local', '--upload-pack', slow, source, watched / 'clone'])
    try:
        # The scan 3 s after the folder appeared found the pack still coming.
        proc.wait_line(f'debug Watching folder for late changes: {watched}/clone', timeout=10)
        assert clone.poll() is None, 'the clone ended before the scan: a slower link is needed'
        if interrupted:
            scans = proc.err.count('info Checked and no new repos')
            clone.send_signal(signal.SIGINT)
            assert clone.wait(20) != 0 and not (watched / 'clone').exists()
            proc.wait_line('info Checked and no new repos', scans + 1, timeout=10)  # the removal is scanned
        while clone.poll() is None:
            assert ctl.listed() == [], 'registered before the clone finished'
            time.sleep(0.2)
    finally:
        clone.kill()
        clone.wait()
    if not interrupted:
        wait_until(lambda: ctl.listed() == [f'{watched}/clone'], 15, 'the finished clone')
        assert proc.err.count(f'debug Pending folder became a repository: {watched}/clone') == 1
    assert ctl.scan() == 0
    assert ctl.listed() == ([] if interrupted else [f'{watched}/clone'])
    assert defaults_changed() == ([] if interrupted else ['com.dozezeza.Zivuv'])


def test_pack_received_without_an_event_is_taken_at_the_end_of_a_quiet_period(service, ctl, watched, bus, faults):
    # A folder joins when it changed within the quiet period before the scan,
    # which comes 3 s after the last change and later on a loaded machine.
    faults('pending-quiet 8')
    repo(watched / 'fetching')
    pack = watched / 'fetching' / '.git' / 'objects' / 'pack'
    (pack / 'tmp_pack_1').write_bytes(b'x')
    proc = service.watching()
    assert ctl.scan() == 0
    proc.wait_line(f'debug Watching folder for late changes: {watched}/fetching')
    # The pack grows where no watch looks: a quiet period ends, the folder stays.
    time.sleep(5)
    status = bus.get_object(NAME, PATH, introspect=False)
    assert status.Get(STATUS, 'PendingFolders', dbus_interface=dbus.PROPERTIES_IFACE) == 1
    assert ctl.listed() == []
    (pack / 'tmp_pack_1').rename(pack / 'pack-1.pack')
    wait_until(lambda: ctl.listed() == [f'{watched}/fetching'], 10, 'the fetched repository')
    assert proc.err.count(SCAN) == 1


def test_scan_that_cannot_run_forgets_no_pending_folder(service, ctl, watched, env):
    proc = service.watching()
    late = watched / 'late'
    late.mkdir()
    proc.wait_line(f'debug Watching folder for late changes: {late}')
    suite = suite_file(env)
    suite.parent.mkdir(parents=True, exist_ok=True)
    suite.write_bytes(b'not a property list')
    ctl('scan')
    proc.wait_line('error Failed to get current folders!')
    suite.unlink()
    scans = proc.err.count(SCAN)
    repo(late)
    wait_until(lambda: ctl.listed() == [str(late)], 15, 'the repository in the pending folder')
    assert proc.wait_line(f'debug Pending folder became a repository: {late}') == 1
    assert proc.err.count(SCAN) == scans, 'found by its pending folder, with no scan'
