#!/usr/bin/python3
"""Prints what one ctest run skipped, one line each:
"skipped: BUILD/<entry>: <test>: <reason>" for a pytest test, and
"skipped: BUILD/<entry>: <reason>" for a GoogleTest test (GTEST_SKIP).

Usage: scripts/skips.py BUILD JUNIT SKIP_LOG
JUNIT is ctest's --output-junit file; SKIP_LOG holds the lines that the
pytest plugin tests/pytest_plugins/zivuv_skips.py wrote, skips beside
passing tests included. Either file may be missing."""

import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

build, junit, log = sys.argv[1:4]
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
