#!/usr/bin/env bash
# Runs the folder monitor on a folder, for trying it out:
#
#   scripts/run.sh [DIR]
#
# Installs what the build needs, builds build/release, starts the service
# with its log in this terminal and hands it DIR to watch. Without DIR it
# watches a demo folder with a few git repositories. The service keeps its
# settings in a private folder, so trying it never touches your own Zivuv
# settings. Without a reachable session bus (or when another folder monitor
# already runs on it) it gets a private bus of its own. Ctrl-C stops
# everything this script started.
set -euo pipefail

usage() {
  echo "usage: scripts/run.sh [DIR]" >&2
  echo "  Watches DIR (default: a demo folder with a few git repositories)." >&2
}

case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  -*) usage; exit 2 ;;
esac
if [ "$#" -gt 1 ]; then usage; exit 2; fi

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
state="${XDG_STATE_HOME:-$HOME/.local/state}/zivuv-demo"
config="$state/config"
bus_name=VO9ZE47VOD.com.dozezeza.FolderMonitor
service_exe="$repo/build/release/bin/zivuv-folder-monitor"
ctl="$repo/build/release/bin/zivuv-monitorctl"

# The folder to watch, resolved before anything changes the working folder.
if [ "$#" -eq 1 ]; then
  if [ ! -d "$1" ]; then
    echo "run.sh: not a folder: $1" >&2
    exit 1
  fi
  dir=$(realpath "$1")
else
  dir="$state/demo"
fi

# --- Build -----------------------------------------------------------------

"$repo/scripts/setup.sh"
cmake -S "$repo" -B "$repo/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$repo/build/release" -j"$(nproc)" \
  --target zivuv-folder-monitor zivuv-monitorctl translations

# --- Demo folder -----------------------------------------------------------

mkdir -p "$config"
if [ "$#" -eq 0 ]; then
  mkdir -p "$dir"
  for name in alpha beta gamma; do
    [ -d "$dir/$name/.git" ] || git init -q "$dir/$name"
  done
  mkdir -p "$dir/notes"                      # a plain folder: not registered
  [ -f "$dir/README.txt" ] || echo "Subfolders that are git repositories get registered." > "$dir/README.txt"
  dir=$(realpath "$dir")                     # as the service reports it
fi

# --- Session bus -----------------------------------------------------------

service_pid=
bus_pid=
cleanup() {
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  if [ -n "$bus_pid" ]; then
    kill "$bus_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'echo; echo "Stopping." >&2; exit 130' INT
trap 'exit 143' TERM

# Calls a method of the bus itself; never starts a service.
bus_call() {
  dbus-send --bus="$DBUS_SESSION_BUS_ADDRESS" --print-reply=literal --reply-timeout=2000 \
    --dest=org.freedesktop.DBus /org/freedesktop/DBus "org.freedesktop.DBus.$1" "${@:2}"
}
name_owned() { bus_call NameHasOwner "string:$bus_name" 2>/dev/null | grep -q true; }

bus_note="your session bus"
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] || ! bus_call GetId >/dev/null 2>&1; then
  bus_note="a private bus (no session bus was reachable)"
  unset DBUS_SESSION_BUS_ADDRESS
elif name_owned; then
  bus_note="a private bus (a folder monitor already runs on your session bus)"
  unset DBUS_SESSION_BUS_ADDRESS
fi

if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  # No service folders: nothing on this bus is ever started on demand, so
  # neither an installed folder monitor nor a notification daemon.
  cat > "$state/bus.conf" <<'CONF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  { read -r address; read -r bus_pid; } < <(
    dbus-daemon --config-file="$state/bus.conf" --fork --print-address=1 --print-pid=1 2>"$state/bus.log") || true
  if [ -z "${address:-}" ] || [ -z "${bus_pid:-}" ]; then
    echo "run.sh: could not start a private bus: $(cat "$state/bus.log")" >&2
    exit 1
  fi
  export DBUS_SESSION_BUS_ADDRESS="$address"
  bus_note="$bus_note;
                   no notification server there, so notices show only in the log"
fi

# --- How to follow along ---------------------------------------------------

# Single-quoted for pasting into a shell.
quote() { printf "'%s'" "${1//\'/\'\\\'\'}"; }

stop_note="Ctrl-C here stops the service."
[ -z "$bus_pid" ] || stop_note="Ctrl-C here stops the service and the private bus."

cat <<EOF

Zivuv folder monitor
  watched folder:  $dir
  settings folder: $config/Zivuv
  bus:             $bus_note

From a second terminal:
  export DBUS_SESSION_BUS_ADDRESS=$(quote "$DBUS_SESSION_BUS_ADDRESS") XDG_CONFIG_HOME=$(quote "$config")
  alias zivuv-monitorctl=$(quote "$ctl")
  zivuv-monitorctl status              # the folder being watched
  zivuv-monitorctl repos               # repositories registered so far
  zivuv-monitorctl listen              # one line per DefaultsChanged signal
  git init -q $(quote "$dir/new-repo")   # registered about 3 s later
  zivuv-monitorctl scan                # scan now and print the count
  zivuv-monitorctl reset               # forget the remembered folder

$stop_note
---------------------------------------------------------------- service log
EOF

# --- Service ---------------------------------------------------------------

ZIVUV_LOG=stderr XDG_CONFIG_HOME="$config" "$service_exe" &
service_pid=$!

# Wait until the service owns its name (or has ended).
deadline=$((SECONDS + 10))
until name_owned; do
  if ! kill -0 "$service_pid" 2>/dev/null; then
    status=0
    wait "$service_pid" || status=$?
    service_pid=
    echo "run.sh: the service ended with status $status before it owned $bus_name" >&2
    exit 1
  fi
  if [ "$SECONDS" -ge "$deadline" ]; then
    echo "run.sh: the service did not own $bus_name within 10 s" >&2
    exit 1
  fi
  sleep 0.1
done

export XDG_CONFIG_HOME="$config"
# The service keeps watching the first folder it remembers; in these demo
# settings a folder from an earlier run gives way to the one asked for now.
"$ctl" watch --replace "$dir" || echo "run.sh: the service could not watch $dir (see its log above)" >&2

status=0
wait "$service_pid" || status=$?
service_pid=
exit "$status"
