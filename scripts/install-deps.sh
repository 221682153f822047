#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and only those that are
# missing. Safe to run again; quiet unless something has to be installed. Run as root (or with
# sudo available) on Debian 12.
#
# Usage: scripts/install-deps.sh [--arch armhf] [--live]
#   --arch armhf   also the cross build for 32-bit ARM: adds the armhf architecture to dpkg and
#                  installs the cross compiler, qemu-arm and the armhf libraries (with
#                  libfaketime:armhf: tests run ARM programs under faketime)
#   --live         also what the live stage needs to build and boot its Debian guest
#                  (mmdebstrap, systemd-nspawn)
#   (dpkg-dev and systemd, for the check of the Debian package, come with either form)
set -euo pipefail

arch=
live=0
while [ $# -gt 0 ]; do
  case $1 in
    --live) live=1; shift ;;
    --arch) [ $# -ge 2 ] || { echo "install-deps: --arch needs a value" >&2; exit 64; }
            arch=$2; shift 2 ;;
    --arch=*) arch=${1#--arch=}; shift ;;
    *) echo "usage: scripts/install-deps.sh [--arch armhf] [--live]" >&2; exit 64 ;;
  esac
done
case $arch in
  ''|amd64|"$(dpkg --print-architecture)") arch= ;;
  armhf) ;;
  *) echo "install-deps: unsupported architecture '$arch' (supported: armhf)" >&2; exit 64 ;;
esac

packages=(
  cmake g++ make pkg-config
  libspdlog-dev libfmt-dev picojson-dev libtinyxml2-dev libsqlite3-dev
  libcurl4-openssl-dev libpaho-mqtt-dev libssl-dev libgtest-dev libcpp-httplib-dev
  mosquitto mosquitto-clients iputils-ping faketime python3 sqlite3 openssl ca-certificates procps strace
  dpkg-dev systemd
  clang libclang-rt-14-dev
)
if [ "$live" = 1 ]; then
  packages+=(mmdebstrap systemd-container util-linux)
fi
if [ "$arch" = armhf ]; then
  packages+=(
    g++-arm-linux-gnueabihf qemu-user
    libspdlog-dev:armhf libfmt-dev:armhf libtinyxml2-dev:armhf libsqlite3-dev:armhf
    libcurl4-openssl-dev:armhf libpaho-mqtt-dev:armhf libssl-dev:armhf
    libcpp-httplib-dev:armhf libgtest-dev:armhf
    libfaketime:armhf
  )
fi

SUDO=
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi

added_arch=0
if [ "$arch" = armhf ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  echo "install-deps: adding the armhf architecture"
  $SUDO dpkg --add-architecture armhf
  added_arch=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
