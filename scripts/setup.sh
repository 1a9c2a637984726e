#!/usr/bin/env bash
# Installs every Debian package that building, running and testing the
# folder monitor needs. Idempotent: when everything is present it only
# checks, which takes well under a second.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libgit2-dev libsystemd-dev libplist-dev libplist-utils
  libsdbus-c++-dev libsdbus-c++-bin
  gettext dbus-daemon dbus
  libgtest-dev libgmock-dev
  python3-pytest python3-dbusmock python3-dbus
  clang libclang-rt-14-dev
  xvfb dunst libnotify-bin
  strace procps util-linux systemd groff-base man-db
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
