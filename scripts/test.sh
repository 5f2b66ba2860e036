#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
#   scripts/test.sh                 normal build in build/
#   scripts/test.sh asan            AddressSanitizer + UBSan build in build-asan/
#   scripts/test.sh tsan            ThreadSanitizer build in build-tsan/ (client tests)
#   scripts/test.sh fuzz            clang libFuzzer build in build-fuzz/: runs every fuzz target
#                                   for ORVELLE_FUZZ_SECONDS (60) over a copy of its seed corpus
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

kind=${1:-plain}
jobs=$(nproc)
case "$kind" in
  plain) dir=build;      extra=() ;;
  asan)  dir=build-asan; extra=(-DORVELLE_SANITIZE=address,undefined -DORVELLE_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
  tsan)  dir=build-tsan; extra=(-DORVELLE_SANITIZE=thread -DORVELLE_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  fuzz)  dir=build-fuzz; extra=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DORVELLE_FUZZ=ON
                                -DORVELLE_SANITIZE=address,undefined -DORVELLE_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  *) echo "usage: $0 [plain|asan|tsan|fuzz]" >&2; exit 2 ;;
esac

# A build folder keeps the generator it was made with; a new one uses Ninja.
generator=()
if [ ! -f "$root/$dir/CMakeCache.txt" ]; then generator=(-G Ninja); fi
cmake -S "$root" -B "$root/$dir" "${generator[@]}" "${extra[@]}" >/dev/null
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

if [ "$kind" = fuzz ]; then
  cmake --build "$root/$dir" -j "$jobs" --target fuzz
  seconds=${ORVELLE_FUZZ_SECONDS:-60}
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  failed=()
  for target in "$root/$dir"/tests/fuzz/*_fuzz; do
    name=$(basename "$target")
    # The checked-in corpus stays as it is; the run grows a copy.
    cp -r "$root/tests/fuzz/corpus/$name" "$work/$name"
    echo "fuzzing $name for ${seconds}s"
    # The targets' scratch files go with the work folder.
    # A target may have a dictionary of the markup it is meant to meet.
    dict=()
    if [ -f "$root/tests/fuzz/$name.dict" ]; then dict=(-dict="$root/tests/fuzz/$name.dict"); fi
    if ! (cd "$work" && TMPDIR="$work" "$target" "${dict[@]}" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
            -artifact_prefix="$work/$name-" -print_final_stats=1 "$work/$name" >"$work/$name.log" 2>&1); then
      tail -n 60 "$work/$name.log"
      mkdir -p "$root/$dir/crashes"
      cp "$work/$name-"* "$root/$dir/crashes/" 2>/dev/null || true
      failed+=("$name")
    fi
    grep -E '^stat::number_of_executed_units' "$work/$name.log" | sed "s/^/  $name /" || true
  done
  if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz targets failed: ${failed[*]} (inputs in $dir/crashes/)" >&2
    exit 1
  fi
  exit 0
fi

cmake --build "$root/$dir" -j "$jobs"
label=()
if [ "$kind" = tsan ]; then label=(-L threaded); fi
ctest --test-dir "$root/$dir" -j "$jobs" --output-on-failure "${label[@]}"
