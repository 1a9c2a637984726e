# The watch follows its path, not the folder: a folder moved away or deleted
# and made anew, a parent renamed, a share mounted over the folder and
# unmounted again.

import shutil

import pytest
from conftest import quiet_for, repo, wait_until

GONE = 'info Monitored folder moved away or deleted, waiting for it to return: {}'
MOUNT = 'info Monitored folder changed with a mount, watching the folder now at its path: {}'


@pytest.mark.parametrize('away', ['moved', 'deleted', 'parent moved'])
def test_folder_made_anew_at_its_path_is_followed(service, ctl, root, away):
    watched = root / 'parent' / 'watched'
    watched.mkdir(parents=True)
    proc = service.start()
    ctl.out('watch', watched)
    proc.wait_line('debug Checking For New Repositories')  # the watch's own scan
    if away == 'moved':
        watched.rename(root / 'parent' / 'watched.old')
        old = root / 'parent' / 'watched.old'
    elif away == 'parent moved':
        (root / 'parent').rename(root / 'parent.old')
        old = root / 'parent.old' / 'watched'
    else:
        shutil.rmtree(watched)
        old = None
    proc.wait_line(GONE.format(watched))
    proc.wait_line('error No monitoring URL to check!', timeout=10)
    assert ctl.out('status').splitlines()[0] == f'folder: waiting for {watched} to appear'
    if old:  # where the folder went is no longer watched
        repo(old / 'left-behind')
        assert quiet_for(proc, 0.5)
    assert proc.err.count('debug Checking For New Repositories') == 2
    watched.mkdir(parents=True)
    repo(watched / 'fresh')
    wait_until(lambda: ctl.listed() == [f'{watched}/fresh'], 10, 'the new repository')
    assert proc.err.count(GONE.format(watched)) == 1
    assert ctl.out('status').splitlines()[0] == f'folder: {watched}'


def test_share_mounted_over_the_folder_is_followed_and_rescanned(service, ctl, watched, root, faults,
                                                                 fuse_mount):
    faults('rescan-period 2')
    repo(watched / 'before')
    (root / 'share').mkdir()
    repo(root / 'share' / 'on-share')
    proc = service.watching()
    assert ctl.scan() == 1
    fuse_mount(root / 'share', watched)
    # Told and scanned at once, and from now on scanned every period too.
    proc.wait_line(MOUNT.format(watched), timeout=3)
    wait_until(lambda: f'{watched}/on-share' in ctl.listed(), 3, 'the scan of the share')
    proc.wait_line('info Folder is on a network file system (fuse): changes made on other machines '
                   'are found by a scan every 5 minutes')
    repo(root / 'share' / 'made-elsewhere')  # behind the mount's back: no event
    wait_until(lambda: f'{watched}/made-elsewhere' in ctl.listed(), 10, 'the rescan')
    fuse_mount.unmount(watched)
    proc.wait_line(MOUNT.format(watched), 2, timeout=3)
    repo(watched / 'after')  # the folder underneath is watched again
    wait_until(lambda: f'{watched}/after' in ctl.listed(), 10, 'the repository under the mount')
