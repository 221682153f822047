#!/usr/bin/env bash
# Installs what is missing, configures, builds (warnings are errors) and runs every test.
# Usage: scripts/test.sh [--arch armhf] [extra ctest arguments]
#   --arch armhf   cross-builds for 32-bit ARM into build-armhf (cmake/armhf-toolchain.cmake)
#                  (ARMHF_BUILD_DIR to change it) and runs the tests there, the programs
#                  under qemu-arm
set -euo pipefail
cd "$(dirname "$0")/.."

arch=
case ${1-} in
  --arch) [ $# -ge 2 ] || { echo "test.sh: --arch needs a value" >&2; exit 64; }
          arch=$2; shift 2 ;;
  --arch=*) arch=${1#--arch=}; shift ;;
esac

if [ -z "$arch" ]; then
  scripts/install-deps.sh
  BUILD_DIR=${BUILD_DIR:-build}
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCEE_WERROR=ON >/dev/null
elif [ "$arch" = armhf ]; then
  scripts/install-deps.sh --arch armhf
  BUILD_DIR=${ARMHF_BUILD_DIR:-build-armhf}
  cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf-toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCEE_WERROR=ON >/dev/null
else
  echo "test.sh: unsupported architecture '$arch' (supported: armhf)" >&2
  exit 64
fi
cmake --build "$BUILD_DIR" -j"$(nproc)"
cd "$BUILD_DIR"
TZ=JST-9 ctest --output-on-failure -j2 "$@"
