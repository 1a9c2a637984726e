#!/usr/bin/env bash
# Checks the configured systemd user unit and D-Bus activation file:
#   - the two files agree on bus name, unit name and executable, and a
#     session bus accepts the activation file;
#   - `systemd-analyze verify --user` passes;
#   - `systemd-analyze security --user` rates the exposure below 2.0.
#
# usage: check-unit.sh UNIT DBUS_SERVICE_FILE MAN_DIR [EXECUTABLE]
# EXECUTABLE (the built service) stands in for ExecStart= when the installed
# path does not exist yet, since verify insists that it does.
set -euo pipefail

unit=${1:?unit file}
dbus_file=${2:?D-Bus service file}
man_dir=${3:?folder of the manual pages}
built_exe=${4:-}
unit_name=$(basename "$unit")
max_exposure=2.0

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

work=$(mktemp -d)
bus_pid=
cleanup() {
  if [ -n "$bus_pid" ]; then kill "$bus_pid" 2>/dev/null && wait "$bus_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Value of the first "Key=" line of a unit-style file.
value_of() { sed -n "s/^$2=//p" "$1" | head -n 1; }

# --- The two files agree, and the session bus reads the activation file ------

before=$failures
bus_name=$(value_of "$dbus_file" Name)
exec_start=$(value_of "$unit" ExecStart)
[ "$(basename "$dbus_file")" = "$bus_name.service" ] || fail "activation file $(basename "$dbus_file") is not named after $bus_name"
[ "$(value_of "$unit" Type)" = dbus ] || fail "unit Type= is not dbus"
[ "$(value_of "$unit" BusName)" = "$bus_name" ] || fail "unit BusName= is not $bus_name"
[ "$(value_of "$dbus_file" SystemdService)" = "$unit_name" ] || fail "SystemdService= is not $unit_name"
[ "$(value_of "$dbus_file" Exec)" = "$exec_start" ] || fail "Exec= differs from ExecStart= ($exec_start)"

# dbus-daemon silently skips a file that it cannot parse: the name must be
# activatable on a bus whose only service folder holds the file.
mkdir -p "$work/services"
cp "$dbus_file" "$work/services/"
cat > "$work/bus.conf" <<CONF
<busconfig><type>session</type><listen>unix:path=$work/bus</listen>
<servicedir>$work/services</servicedir>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/></policy></busconfig>
CONF
coproc BUS { exec dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --print-address 2>"$work/bus.log"; }
bus_pid=$BUS_PID
read -r -t 10 address <&"${BUS[0]}" || address=
if names=$(dbus-send --bus="$address" --print-reply --dest=org.freedesktop.DBus \
    /org/freedesktop/DBus org.freedesktop.DBus.ListActivatableNames 2>&1) \
   && grep -q "\"$bus_name\"" <<<"$names"; then :; else
  fail "a session bus with the activation file does not list $bus_name: $names $(cat "$work/bus.log")"
fi
[ "$failures" -eq "$before" ] && pass "unit and activation file agree and the bus accepts the file"

# --- systemd-analyze ---------------------------------------------------------

# systemd-analyze --user wants a runtime folder even offline.
if [ -z "${XDG_RUNTIME_DIR:-}" ] || [ ! -d "$XDG_RUNTIME_DIR" ]; then
  export XDG_RUNTIME_DIR="$work/runtime"
  mkdir -m 0700 "$XDG_RUNTIME_DIR"
fi

# verify wants ExecStart= to exist: point a copy at the built executable, or
# at /bin/true, while nothing is installed.
mkdir -p "$work/unit"
checked="$work/unit/$unit_name"
if [ -x "$exec_start" ]; then
  cp "$unit" "$checked"
else
  stand_in=/bin/true
  if [ -n "$built_exe" ] && [ -x "$built_exe" ]; then stand_in=$built_exe; fi
  sed "s|^ExecStart=.*|ExecStart=$stand_in|" "$unit" > "$checked"
fi

# verify also looks up Documentation=man: pages; give it ours.
verify_args=(--user --no-pager)
if command -v man >/dev/null; then
  mkdir -p "$work/man/man1"
  cp "$man_dir"/*.1 "$work/man/man1/"
  export MANPATH="$work/man"
else
  verify_args+=(--man=no)
fi

if out=$(cd "$work/unit" && systemd-analyze verify "${verify_args[@]}" "./$unit_name" 2>&1) && [ -z "$out" ]; then
  pass "systemd-analyze verify --user"
else
  fail "systemd-analyze verify --user: $out"
fi

report=$(cd "$work/unit" && systemd-analyze security --user --offline=yes --no-pager "./$unit_name" 2>&1) || true
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9][0-9]*\.[0-9]\).*/\1/p' <<<"$report")
if [ -z "$exposure" ]; then
  fail "no overall exposure level in systemd-analyze security output: $report"
elif awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e < m) }'; then
  pass "overall exposure level $exposure (below $max_exposure)"
else
  echo "$report" | grep '✗' >&2 || true
  fail "overall exposure level $exposure is not below $max_exposure"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
