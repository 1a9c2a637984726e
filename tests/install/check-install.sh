#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and checks that every file
# lands where the system looks for it, that nothing is written outside the
# prefix, and that the manual pages render without warnings.
#
# usage: check-install.sh BUILD_DIR
set -euo pipefail

build_dir=${1:?build folder}

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# DESTDIR catches a rule with an absolute destination: it lands under
# $dest but outside $dest$prefix instead of in the real system.
prefix="$work/prefix"
dest="$work/dest"
if ! out=$(DESTDIR="$dest" cmake --install "$build_dir" --prefix "$prefix" 2>&1); then
  echo "$out" >&2
  fail "cmake --install failed"
  exit 1
fi
root="$dest$prefix"

before=$failures
expected=(
  bin/zivuv-folder-monitor
  bin/zivuv-monitorctl
  share/dbus-1/services/VO9ZE47VOD.com.dozezeza.FolderMonitor.service
  lib/systemd/user/zivuv-folder-monitor.service
  share/locale/de/LC_MESSAGES/ZivuvFolderMonitor.mo
  share/man/man1/zivuv-folder-monitor.1
  share/man/man1/zivuv-monitorctl.1
)
for f in "${expected[@]}"; do
  [ -f "$root/$f" ] || fail "not installed: $f"
done
for f in bin/zivuv-folder-monitor bin/zivuv-monitorctl; do
  if [ -f "$root/$f" ] && [ ! -x "$root/$f" ]; then fail "not executable: $f"; fi
done
[ "$failures" -eq "$before" ] && pass "all ${#expected[@]} files installed"

before=$failures
outside=$(cd "$dest" && find . ! -type d | sed 's|^\.||' | grep -v "^$prefix/" || true)
[ -z "$outside" ] || fail "installed outside the prefix (absolute destination): $outside"
[ "$failures" -eq "$before" ] && pass "nothing installed outside the prefix"

before=$failures
if command -v groff >/dev/null; then
  for page in "$root"/share/man/man1/*.1; do
    [ -f "$page" ] || continue
    warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1) || fail "$(basename "$page"): groff failed"
    [ -z "$warnings" ] || fail "$(basename "$page"): groff warnings: $warnings"
    if command -v man >/dev/null; then
      rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>"$work/man.err") || fail "$(basename "$page"): man -l failed"
      [ ! -s "$work/man.err" ] || fail "$(basename "$page"): man -l: $(cat "$work/man.err")"
      grep -q '^NAME' <<<"$rendered" || fail "$(basename "$page"): no NAME section rendered"
    fi
  done
  [ "$failures" -eq "$before" ] && pass "manual pages render without warnings"
else
  echo "skip: groff not installed, manual pages not rendered"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
