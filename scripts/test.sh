#!/usr/bin/env bash
# Installs what is missing, configures, builds (warnings are errors) and runs every test.
# Usage: scripts/test.sh [extra ctest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCEE_WERROR=ON >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
cd "$BUILD_DIR"
TZ=JST-9 ctest --output-on-failure -j2 "$@"
