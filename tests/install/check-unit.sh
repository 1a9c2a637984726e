#!/usr/bin/env bash
# Checks the configured systemd user unit and D-Bus activation file:
#   - the two files agree on bus name, unit name and executable;
#   - the session bus accepts the activation file and lists the name;
#   - the sandbox keeps what the service needs;
#   - `systemd-analyze verify --user` passes;
#   - `systemd-analyze security --user` rates the exposure below 5.0.
#
# usage: check-unit.sh UNIT DBUS_SERVICE_FILE MAN_DIR [EXECUTABLE]
# EXECUTABLE (the built service) stands in for ExecStart= when the installed
# path does not exist yet, since verify insists that it does.
set -euo pipefail

unit=${1:?unit file}
dbus_file=${2:?D-Bus service file}
man_dir=${3:?folder of the manual pages}
built_exe=${4:-}

bus_name=VO9ZE47VOD.com.dozezeza.FolderMonitor
unit_name=zivuv-folder-monitor.service
max_exposure=5.0

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

work=$(mktemp -d)
bus_pid=
cleanup() {
  if [ -n "$bus_pid" ]; then kill "$bus_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Value of the first "Key=" line of a unit-style file.
value_of() { sed -n "s/^$2=//p" "$1" | head -n 1; }

# --- The two files agree --------------------------------------------------

before=$failures
[ "$(basename "$unit")" = "$unit_name" ] || fail "unit is named $(basename "$unit"), expected $unit_name"
exec_start=$(value_of "$unit" ExecStart)
[ "$(value_of "$unit" Type)" = dbus ] || fail "unit Type= is not dbus"
[ "$(value_of "$unit" BusName)" = "$bus_name" ] || fail "unit BusName= is not $bus_name"
grep -qx '\[D-BUS Service\]' "$dbus_file" || fail "activation file lacks the [D-BUS Service] group"
[ "$(value_of "$dbus_file" Name)" = "$bus_name" ] || fail "activation file Name= is not $bus_name"
[ "$(value_of "$dbus_file" SystemdService)" = "$unit_name" ] || fail "activation file SystemdService= is not $unit_name"
[ "$(value_of "$dbus_file" Exec)" = "$exec_start" ] || fail "activation file Exec= ($(value_of "$dbus_file" Exec)) differs from ExecStart= ($exec_start)"
case "$exec_start" in
  /*/zivuv-folder-monitor) ;;
  *) fail "ExecStart= is not an absolute path to zivuv-folder-monitor: $exec_start" ;;
esac
[ "$(basename "$dbus_file")" = "$bus_name.service" ] || fail "activation file is named $(basename "$dbus_file")"
[ "$failures" -eq "$before" ] && pass "unit and activation file agree"

# --- The session bus reads the activation file ------------------------------
# A private bus whose only service folder holds the file: the name must be
# activatable there (dbus-daemon silently skips a file it cannot parse).

if command -v dbus-daemon >/dev/null && command -v dbus-send >/dev/null; then
  mkdir -p "$work/services"
  cp "$dbus_file" "$work/services/"
  cat > "$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$work/bus</listen>
  <servicedir>$work/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >/dev/null 2>"$work/bus.log" &
  bus_pid=$!
  for _ in $(seq 100); do [ -S "$work/bus" ] && break; sleep 0.05; done
  if names=$(dbus-send --bus="unix:path=$work/bus" --print-reply --dest=org.freedesktop.DBus \
      /org/freedesktop/DBus org.freedesktop.DBus.ListActivatableNames 2>&1) \
     && grep -q "\"$bus_name\"" <<<"$names"; then
    pass "session bus lists $bus_name as activatable"
  else
    fail "a session bus with the activation file does not list $bus_name: $names $(cat "$work/bus.log")"
  fi
  kill "$bus_pid" 2>/dev/null || true
  wait "$bus_pid" 2>/dev/null || true
  bus_pid=
else
  echo "note: dbus-daemon or dbus-send missing, activation file not loaded"
fi

# --- The sandbox keeps what the service needs -------------------------------
# Hardening that would break the service looks like an improvement to the
# exposure score, so it is checked for here.

before=$failures
if grep -Eq '^PrivateTmp=(yes|true|on|1)' "$unit"; then
  fail "PrivateTmp= hides /tmp, where the watched folder may be"
fi
case "$(value_of "$unit" ProtectHome)" in
  ""|no|false|read-only) ;;
  *) fail "ProtectHome=$(value_of "$unit" ProtectHome) hides the home folders the service reads" ;;
esac
if grep -Eq '^PrivateNetwork=(yes|true|on|1)' "$unit"; then
  fail "PrivateNetwork= cuts off session buses on abstract sockets"
fi
families=$(sed -n 's/^RestrictAddressFamilies=//p' "$unit" | tr '\n' ' ')
case " $families " in
  *" AF_UNIX "*) ;;
  *) fail "RestrictAddressFamilies= does not allow AF_UNIX (session bus, journal): $families" ;;
esac
# A user manager can set up mount, UTS and IPC namespaces only inside a user
# namespace of the service's own; without it the start fails.
if grep -Eq '^(ProtectSystem|ProtectHome|PrivateDevices|ProtectKernel[A-Za-z]*|ProtectClock|ProtectHostname|PrivateIPC|PrivateMounts)=' "$unit" \
   && ! grep -Eq '^PrivateUsers=(yes|true|on|1)$' "$unit"; then
  fail "namespacing directives without PrivateUsers=yes stop a user unit from starting"
fi
grep -qx 'ConfigurationDirectory=Zivuv' "$unit" || fail "ConfigurationDirectory=Zivuv missing: the settings folder would be read-only"
if grep -Eq '^(ReadWritePaths|InaccessiblePaths|TemporaryFileSystem)=' "$unit"; then
  fail "ReadWritePaths=/InaccessiblePaths=/TemporaryFileSystem= can stop the start or hide the watched folder"
fi
if grep -Eq '^SystemCallFilter=~.*@(file-system|io-event|timer|process|ipc|sync)' "$unit"; then
  fail "SystemCallFilter= removes calls that inotify, epoll, timerfd, flock, fsync or xdg-open need"
fi
grep -qx 'RestartPreventExitStatus=1' "$unit" || fail "RestartPreventExitStatus=1 missing: a second instance would be restarted in a loop"
grep -qx 'Restart=on-failure' "$unit" || fail "Restart=on-failure missing"
burst=$(value_of "$unit" LogRateLimitBurst)
if [ -z "$burst" ] || [ "$burst" -lt 20000 ]; then
  fail "LogRateLimitBurst=${burst:-unset} is below 20000"
fi
[ "$failures" -eq "$before" ] && pass "sandbox leaves the service what it needs"

# --- systemd-analyze ---------------------------------------------------------

if ! command -v systemd-analyze >/dev/null; then
  fail "systemd-analyze not found (Debian package systemd)"
  exit 1
fi

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

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
