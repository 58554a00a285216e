#!/usr/bin/env bash
# Sets up the machine and runs the whole test suite from empty build directories:
#   1. the suite, built with warnings as errors;
#   2. the Windows build (cross-compiled with MinGW-w64) and its suite under Wine;
#   3. the suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer;
#   4. the fuzz targets, each for a short bounded time.
# tools/test.sh --quick runs the first step only. The Windows step needs a static Qt for MinGW-w64
# (see tools/build-windows.sh); without one it is skipped with a message, except in CI
# (CI=true), where a missing one fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quick=false
[ "${1:-}" = "--quick" ] && quick=true
jobs=$(nproc)

"$root/tools/setup.sh"

run_suite() { # build directory, extra cmake arguments...
    local dir=$1
    shift
    rm -rf "$dir"
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_WERROR=ON "$@"
    cmake --build "$dir" -j"$jobs"
    (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600)
}

echo "== test suite"
run_suite "$root/build-test"
$quick && exit 0

echo "== Windows build and its suite under Wine"
status=0
"$root/tools/build-windows.sh" --test || status=$?
if [ "$status" -eq 77 ] && [ "${CI:-}" != "true" ]; then
    echo "SKIPPED: the Windows build (no static Qt for MinGW-w64, see above)"
elif [ "$status" -ne 0 ]; then
    exit "$status"
fi

echo "== test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
run_suite "$root/build-asan" -DUPDATER_SANITIZE=ON

if [ -x "$root/tests/fuzz/run.sh" ]; then
    echo "== fuzzing, ${FUZZ_SECONDS:-30} s a target"
    rm -rf "$root/build-fuzz"
    cmake -S "$root" -B "$root/build-fuzz" -DCMAKE_CXX_COMPILER=clang++ -DUPDATER_FUZZ=ON \
        -DBUILD_TESTING=OFF
    cmake --build "$root/build-fuzz" --target fuzz -j"$jobs"
    "$root/tests/fuzz/run.sh" "$root/build-fuzz" "${FUZZ_SECONDS:-30}"
fi
