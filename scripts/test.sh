#!/usr/bin/env bash
# Installs what is missing, configures, builds (warnings are errors) and runs every test.
#
# Usage: scripts/test.sh [--arch armhf] [--stages LIST] [extra ctest arguments]
#   (native, default) four stages, in this order:
#     plain  build/       RelWithDebInfo, the whole suite (also the long tests, label "long")
#     asan   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer, the whole suite but
#                         the long tests and the package check
#     tsan   build-tsan/  ThreadSanitizer, the tests of the threaded parts (label "threads")
#     fuzz   build-fuzz/  every fuzz target for FUZZ_SECONDS (default 20) seconds each
#   and, only when named in --stages (about 2 minutes, 4 the first time on a machine, and the
#   build):
#     live   build-live/  the amd64 package installed with dpkg in a booted Debian 12
#                         (systemd-nspawn) and the device's day run there, as root
#                         (scripts/live/live.py; the guest's root file system is cached in
#                         /var/cache/cee-live, CEE_LIVE_CACHE to change it). The package comes
#                         from the plain stage's build when that stage runs too, or from the
#                         finished build CEE_LIVE_FROM_BUILD names; otherwise build-live is
#                         built with the tests off.
#   --stages LIST  comma-separated subset, e.g. --stages plain for a quick local run
#   --arch armhf   cross-builds for 32-bit ARM into build-armhf (cmake/armhf-toolchain.cmake)
#                  (ARMHF_BUILD_DIR to change it) and runs the suite but the long tests there,
#                  the programs under qemu-arm
# A sanitizer stage fails when any sanitizer report was written, even by a program that a test
# started and stopped without looking at its exit status.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

arch=
stages=plain,asan,tsan,fuzz
while [ $# -gt 0 ]; do
  case $1 in
    --arch) [ $# -ge 2 ] || { echo "test.sh: --arch needs a value" >&2; exit 64; }
            arch=$2; shift 2 ;;
    --arch=*) arch=${1#--arch=}; shift ;;
    --stages) [ $# -ge 2 ] || { echo "test.sh: --stages needs a value" >&2; exit 64; }
              stages=$2; shift 2 ;;
    --stages=*) stages=${1#--stages=}; shift ;;
    *) break ;;
  esac
done
for s in ${stages//,/ }; do
  case $s in
    plain|asan|tsan|fuzz|live) ;;
    *) echo "test.sh: unknown stage '$s' (plain, asan, tsan, fuzz, live)" >&2; exit 64 ;;
  esac
done
has_stage() { [[ ",$stages," == *",$1,"* ]]; }

# configure_and_build DIR [cmake options...]
configure_and_build() {
  local dir=$1
  shift
  local build_start=$SECONDS
  cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCEE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
  echo "test.sh: $dir built in $((SECONDS - build_start)) s"
}

# The sanitizer builds compile at -O1 with line tables only: a third of the compile time of -O2,
# and the reports still name file and line.
sanitizer_flags=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")

# run_sanitized NAME DIR [ctest arguments...]: runs ctest in DIR with every sanitizer report
# going to DIR/sanitizer-logs, and fails when a report is there afterwards.
run_sanitized() {
  local name=$1 dir=$2
  shift 2
  local logs=$src/$dir/sanitizer-logs
  rm -rf "$logs"
  mkdir -p "$logs"
  local status=0
  (
    cd "$dir"
    # verify_asan_link_order=0: the end-to-end tests preload libfaketime into the programs.
    export ASAN_OPTIONS="log_path=$logs/asan:detect_leaks=1:verify_asan_link_order=0:detect_stack_use_after_return=1:strict_string_checks=1"
    export LSAN_OPTIONS="suppressions=$src/tests/sanitizers/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="log_path=$logs/ubsan:print_stacktrace=1:halt_on_error=1"
    export TSAN_OPTIONS="log_path=$logs/tsan:halt_on_error=0:second_deadlock_stack=1:suppressions=$src/tests/sanitizers/tsan.supp"
    export CEE_SANITIZER="$name"
    TZ=JST-9 ctest --output-on-failure -j2 "$@"
  ) || status=$?
  if compgen -G "$logs/*" >/dev/null; then
    echo "test.sh: $name stage: sanitizer reports in $logs:" >&2
    for f in "$logs"/*; do
      echo "==== $f" >&2
      head -n 80 "$f" >&2
    done
    status=1
  fi
  return $status
}

if [ -n "$arch" ]; then
  if [ "$arch" != armhf ]; then
    echo "test.sh: unsupported architecture '$arch' (supported: armhf)" >&2
    exit 64
  fi
  scripts/install-deps.sh --arch armhf
  dir=${ARMHF_BUILD_DIR:-build-armhf}
  configure_and_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/armhf-toolchain.cmake"
  cd "$dir"
  TZ=JST-9 ctest --output-on-failure -j2 -LE long "$@"
  exit 0
fi

if has_stage live; then
  scripts/install-deps.sh --live
else
  scripts/install-deps.sh
fi
start=$SECONDS
if has_stage plain; then
  dir=${BUILD_DIR:-build}
  configure_and_build "$dir"
  (cd "$dir" && TZ=JST-9 ctest --output-on-failure -j2 "$@")
  echo "test.sh: plain stage done after $((SECONDS - start)) s"
fi
if has_stage asan; then
  configure_and_build build-asan -DCEE_SANITIZE=address "${sanitizer_flags[@]}"
  run_sanitized asan build-asan -LE 'long|package' "$@"
  echo "test.sh: asan stage done after $((SECONDS - start)) s"
fi
if has_stage tsan; then
  configure_and_build build-tsan -DCEE_SANITIZE=thread "${sanitizer_flags[@]}"
  run_sanitized tsan build-tsan -L threads "$@"
  echo "test.sh: tsan stage done after $((SECONDS - start)) s"
fi
if has_stage fuzz; then
  scripts/fuzz.sh --seconds "${FUZZ_SECONDS:-20}"
  echo "test.sh: fuzz stage done after $((SECONDS - start)) s"
fi
if has_stage live; then
  # The plain stage's build, when there is one, gives the package (CEE_LIVE_FROM_BUILD names
  # another finished build); otherwise build-live is built with the tests off.
  live_from=${CEE_LIVE_FROM_BUILD:-}
  if has_stage plain; then live_from=${BUILD_DIR:-build}; fi
  python3 scripts/live/live.py --build-dir build-live ${live_from:+--from-build "$live_from"}
  echo "test.sh: live stage done after $((SECONDS - start)) s"
fi
