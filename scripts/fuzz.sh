#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ (clang, every unit with ASan + UBSan and coverage
# feedback) and runs each for a bounded time on a scratch copy of its seed corpus, so the
# repository is never written to. Exits non-zero when a target found a crash, a sanitizer
# report, a leak, a time-out or ran out of memory, and prints the reproducer's path.
#
# Usage: scripts/fuzz.sh [--seconds N] [target...]
#   --seconds N   run time per target (default 20)
#   target...     targets to build and run (default: every folder under fuzz/corpus)
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (build jobs, default 2).
# Each run's corpus, log and findings stay in $FUZZ_BUILD_DIR/fuzz-run/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

seconds=20
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) [ $# -ge 2 ] || { echo "fuzz.sh: --seconds needs a value" >&2; exit 64; }
               seconds=$2; shift 2 ;;
    --seconds=*) seconds=${1#--seconds=}; shift ;;
    -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fuzz.sh: unknown option '$1'" >&2; exit 64 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz.sh: --seconds must be a positive whole number, not '$seconds'" >&2
  exit 64
fi
if [ ${#targets[@]} -eq 0 ]; then
  for d in fuzz/corpus/*/; do
    targets+=("$(basename "$d")")
  done
fi
for t in "${targets[@]}"; do
  if [ ! -f "fuzz/$t.cpp" ] || [ ! -d "fuzz/corpus/$t" ]; then
    echo "fuzz.sh: unknown target '$t' (no fuzz/$t.cpp or fuzz/corpus/$t)" >&2
    exit 64
  fi
done

dir=${FUZZ_BUILD_DIR:-build-fuzz}
case $dir in /*) ;; *) dir=$src/$dir ;; esac
# -O1 and line tables only: quick to build, fast enough to run, stack traces with lines.
CC=clang CXX=clang++ cmake -S "$src" -B "$dir" -DCEE_FUZZ=ON -DCEE_SANITIZE=address \
  -DCEE_BUILD_TESTS=OFF -DCEE_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS_DEBUG="-O1 -gline-tables-only" \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" >/dev/null
build_start=$SECONDS
cmake --build "$dir" -j"${FUZZ_JOBS:-2}" --target "${targets[@]}"
echo "fuzz.sh: build done in $((SECONDS - build_start)) s"

run=$dir/fuzz-run
# Files the targets write for the loaders to read go to a scratch folder, on tmpfs when there is
# one (rewriting a file on disk for every input costs more than the code under test).
scratch_base=${TMPDIR:-/tmp}
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  scratch_base=/dev/shm
fi
scratch=$(mktemp -d "$scratch_base/cee-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failed=()
for t in "${targets[@]}"; do
  work=$run/$t
  rm -rf "$work"
  mkdir -p "$work/corpus" "$scratch/$t"
  cp "fuzz/corpus/$t"/* "$work/corpus/"
  dict=()
  if [ -f "fuzz/dict/$t.dict" ]; then
    dict=(-dict="$src/fuzz/dict/$t.dict")
  fi
  echo "fuzz.sh: $t for $seconds s"
  status=0
  (
    cd "$work"
    export TMPDIR=$scratch/$t
    export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    # -timeout: one input taking 10 s is a hang; -rss_limit_mb: 2 GiB is far beyond any
    # legitimate input of at most -max_len bytes. -max_len leaves room for the seeds nested
    # 20000 levels deep (a nesting that overflowed the stack before the depth limit).
    "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=131072 -artifact_prefix="$work/" -print_final_stats=1 "${dict[@]}" corpus \
      >"$work/fuzz.log" 2>&1
  ) || status=$?
  grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs' "$work/fuzz.log" | sed "s/^/  /" || true
  if [ $status -ne 0 ]; then
    failed+=("$t")
    echo "fuzz.sh: $t FAILED (exit status $status); last lines of $work/fuzz.log:" >&2
    tail -n 60 "$work/fuzz.log" >&2
    for a in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* "$work"/slow-unit-*; do
      [ -e "$a" ] || continue
      echo "fuzz.sh: reproducer: $a" >&2
      echo "fuzz.sh:   run again: $dir/fuzz/$t $a" >&2
    done
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz.sh: failed targets: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz.sh: ${#targets[@]} targets ran $seconds s each without findings"
