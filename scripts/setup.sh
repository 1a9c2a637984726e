#!/usr/bin/env bash
# Installs every Debian package that building, running and testing the
# folder monitor needs. Idempotent: when everything is present it only
# checks, which takes well under a second.
set -euo pipefail

packages=(
  # build; ccache, when present, serves every build that scripts/test.sh makes
  build-essential cmake pkg-config git gettext ccache
  libgit2-dev libsystemd-dev libplist-dev nlohmann-json3-dev
  # unit tests and fuzzing
  libgtest-dev libgmock-dev clang libclang-rt-14-dev
  # integration tests: a private bus, dbusmock, FUSE mounts (bindfs, and a
  # file system of the test's own in fusepy), bash completion, a debugger
  # that asks the confined service to write
  dbus-daemon dbus python3-pytest python3-dbusmock python3-dbus bindfs
  python3-fusepy bash-completion gdb
  # install tests: the unit under a real systemd --user, manual pages, the
  # Debian package
  systemd dbus-user-session util-linux groff-base man-db debhelper lintian
  # benchmarks
  strace
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
echo "Installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
