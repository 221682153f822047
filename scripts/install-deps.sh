#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and only those that are
# missing. Safe to run again; quiet unless something has to be installed. Run as root (or with
# sudo available) on Debian 12.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libspdlog-dev libfmt-dev picojson-dev libtinyxml2-dev libsqlite3-dev
  libcurl4-openssl-dev libpaho-mqtt-dev libssl-dev libgtest-dev libcpp-httplib-dev
  mosquitto mosquitto-clients iputils-ping faketime python3 sqlite3 openssl procps
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
