# Conditions broken on purpose: the watched folder deleted; the service
# killed in the middle of a batch, again and again.

import plistlib
import random
import shutil
import time

import dbus
from conftest import IFACE, NAME, PATH, SANITIZED, repo, suite_file


def test_deleted_watched_folder_falls_silent_and_a_new_one_can_be_watched(service, ctl, watched, root):
    proc = service.watching()
    shutil.rmtree(watched)
    proc.wait_line('debug Timer event has fired', timeout=30)
    proc.wait_line('error No monitoring URL to check!')
    # The kernel dropped the watch: no further events, no busy loop.
    ctl.out('status')
    assert proc.err.count('debug File Has Changed, Setting Timer') <= 2
    assert proc.err.count('debug Checking For New Repositories') == 1

    (root / 'next').mkdir()
    ctl.out('reset')
    ctl.out('watch', root / 'next')
    repo(root / 'next' / 'repo')
    proc.wait_line('info Checked and have one new repo', timeout=30)


def test_killed_during_batches_the_suite_stays_whole_and_each_repository_lands_once(service, ctl, watched, env, bus):
    def bare_repository(name):
        # The smallest folder that libgit2 takes for a repository, without git.
        (watched / name / '.git' / 'objects').mkdir(parents=True)
        (watched / name / '.git' / 'refs' / 'heads').mkdir(parents=True)
        (watched / name / '.git' / 'HEAD').write_text('ref: refs/heads/main\n')

    repositories, kills = (200, 8) if SANITIZED else (1000, 25)
    for i in range(repositories):
        bare_repository(f'r{i}')
    chance = random.Random(20261206)
    for round in range(kills):
        # Restarted, the service monitors the saved folder again by itself.
        proc = service.start() if round else service.watching()
        bare_repository(f'late{round}')  # so that each batch has work
        bus.send_message(dbus.lowlevel.MethodCallMessage(NAME, PATH, IFACE, 'checkFolderNowWithCompletion'))
        bus.flush()
        proc.wait_line('debug Checking For New Repositories')
        # Killed anywhere from before the first load to after the write.
        time.sleep(chance.uniform(0, 0.06))
        service.kill()
        if suite_file(env).exists():
            assert isinstance(plistlib.loads(suite_file(env).read_bytes()), dict), f'round {round}'
    service.start()
    ctl.scan()
    listed = ctl.listed()
    assert len(set(listed)) == len(listed), 'a repository registered twice'
    assert len(listed) == repositories + kills
    assert ctl.scan() == 0
