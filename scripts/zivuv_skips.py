#!/usr/bin/python3
"""Skipped tests, recorded and listed.

As a pytest plugin (`-p zivuv_skips`, loaded into every pytest file that
ctest runs, see zivuv_add_pytest): a file whose tests were all skipped, with
nothing failed, exits with 77, which ctest reports as Skipped
(SKIP_RETURN_CODE), never as passed. Every skip, also one beside passing
tests, is appended to the file named by ZIVUV_SKIP_LOG as
"<ctest entry>: <test>: <reason>", one write per line.

As a script, `scripts/zivuv_skips.py BUILD JUNIT SKIP_LOG` prints what one
ctest run skipped, one line each: "skipped: BUILD/<entry>: <test>: <reason>"
for a pytest test, "skipped: BUILD/<entry>: <reason>" for a GoogleTest test
(GTEST_SKIP), whose message it reads from ctest's --output-junit report.
Either file may be missing."""

import os
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

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


def main(build, junit, log):
    lines = Path(log).read_text().splitlines() if Path(log).exists() else []
    noted = {line.split(': ', 1)[0] for line in lines}
    if Path(junit).exists():
        for case in ET.parse(junit).iter('testcase'):
            skipped = case.find('skipped')
            if skipped is None or case.get('name') in noted:
                continue
            # GoogleTest prints "file:line: Skipped", then the message, then
            # "[  SKIPPED ] name".
            message = re.search(r': Skipped\n(.*?)\[  SKIPPED \]', case.findtext('system-out') or '', re.S)
            reason = ' '.join(message[1].split()) if message else ''
            lines.append(f"{case.get('name')}: {reason or skipped.get('message') or 'no reason given'}")
    for line in lines:
        print(f'skipped: {build}/{line}')


if __name__ == '__main__':
    main(*sys.argv[1:4])
