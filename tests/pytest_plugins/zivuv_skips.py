# Loaded into every pytest file that ctest runs (`-p zivuv_skips`, see
# zivuv_add_pytest). A file whose tests were all skipped, with nothing failed,
# exits with 77, which ctest reports as Skipped (SKIP_RETURN_CODE), never as
# passed. Every skip, also one beside passing tests, is appended to the file
# named by ZIVUV_SKIP_LOG as "<ctest entry>: <test>: <reason>", one write per
# line, for scripts/test.sh to list at the end.

import os

SKIPPED_ALL = 77
_ran = {'passed': 0, 'failed': 0, 'skipped': 0}


def _note_skip(report):
    _ran['skipped'] += 1
    log = os.environ.get('ZIVUV_SKIP_LOG')
    if not log:
        return
    # A skip's longrepr is (file, line, "Skipped: reason").
    reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
    reason = reason.removeprefix('Skipped: ').replace('\n', ' ')
    test = report.nodeid.split('::', 1)[1] if '::' in report.nodeid else 'every test'
    entry = os.environ.get('ZIVUV_TEST_ENTRY') or os.path.basename(report.nodeid.split('::')[0])
    fd = os.open(log, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, f'{entry}: {test}: {reason}\n'.encode('utf-8', 'surrogateescape'))
    finally:
        os.close(fd)


def pytest_runtest_logreport(report):
    if report.failed:
        _ran['failed'] += 1
    elif report.skipped and not hasattr(report, 'wasxfail'):
        _note_skip(report)
    elif report.when == 'call':
        _ran['passed'] += 1  # an expected failure ran too


def pytest_collectreport(report):
    # A module that skips itself while it is collected.
    if report.skipped:
        _note_skip(report)


def pytest_sessionfinish(session, exitstatus):
    # 0: everything ran passed or skipped; 5: nothing collected, as when the
    # whole module skipped itself.
    if exitstatus in (0, 5) and _ran['skipped'] and not _ran['passed'] and not _ran['failed']:
        session.exitstatus = SKIPPED_ALL
