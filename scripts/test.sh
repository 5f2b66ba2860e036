#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
#   scripts/test.sh                 normal build in build/
#   scripts/test.sh asan            AddressSanitizer + UBSan build in build-asan/
#   scripts/test.sh tsan            ThreadSanitizer build in build-tsan/ (client tests)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

kind=${1:-plain}
jobs=$(nproc)
case "$kind" in
  plain) dir=build;      extra=() ;;
  asan)  dir=build-asan; extra=(-DORVELLE_SANITIZE=address,undefined -DORVELLE_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
  tsan)  dir=build-tsan; extra=(-DORVELLE_SANITIZE=thread -DORVELLE_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  *) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac

# A build folder keeps the generator it was made with; a new one uses Ninja.
generator=()
if [ ! -f "$root/$dir/CMakeCache.txt" ]; then generator=(-G Ninja); fi
cmake -S "$root" -B "$root/$dir" "${generator[@]}" "${extra[@]}" >/dev/null
cmake --build "$root/$dir" -j "$jobs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
label=()
if [ "$kind" = tsan ]; then label=(-L threaded); fi
ctest --test-dir "$root/$dir" -j "$jobs" --output-on-failure "${label[@]}"
