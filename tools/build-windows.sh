#!/usr/bin/env bash
# Cross-compiles the updater, update-publish and every test program for 64-bit Windows with
# MinGW-w64, from an empty build directory; with --test, runs the suite under Wine afterwards.
#   tools/build-windows.sh [--test] [QT]
# QT is a static Qt 5.15 for MinGW-w64: its directory (holding mingw-toolchain.cmake) or a .tar.xz
# of it. Without the argument: $UPDATER_MINGW_QT, else the toolchain tarball that lies beside a
# checkout in ../shared/toolchains. The build goes to build-windows/ ($UPDATER_WINDOWS_BUILD).
# Exit code 77: no such Qt was found.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
run_tests=false
if [ "${1:-}" = "--test" ]; then
    run_tests=true
    shift
fi
qt=${1:-${UPDATER_MINGW_QT:-$root/../shared/toolchains/qt5-mingw-static.tar.xz}}
build=${UPDATER_WINDOWS_BUILD:-$root/build-windows}
jobs=$(nproc)

if [ ! -e "$qt" ]; then
    cat >&2 <<MESSAGE
build-windows: no static Qt for MinGW-w64 at $qt
Name one as the argument or in UPDATER_MINGW_QT: a directory with include/, lib/, plugins/ and a
CMake toolchain file mingw-toolchain.cmake, or a .tar.xz that unpacks to one. To make it, configure
Qt 5.15's qtbase source (Debian: apt-get source qtbase-opensource-src) with
  configure -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- -static
            -static-runtime -release -schannel -no-openssl -nomake examples -nomake tests
then make and make install; the toolchain file sets CMAKE_SYSTEM_NAME Windows and the compilers
x86_64-w64-mingw32-gcc-posix / g++-posix. About an hour on two cores.
MESSAGE
    exit 77 # nothing to build with: a skip, not a failure of the build
fi

"$root/tools/setup.sh"

if [ -f "$qt" ]; then
    # unpacked once beside the build, again only when the tarball changes
    unpacked=$root/build-windows-qt
    stamp=$unpacked/.unpacked-from
    signature="$(realpath "$qt") $(stat -c '%s %Y' "$qt")"
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$signature" ]; then
        echo "== unpacking $qt"
        rm -rf "$unpacked"
        mkdir -p "$unpacked"
        tar -xJf "$qt" -C "$unpacked"
        echo "$signature" >"$stamp"
    fi
    qt=$(dirname "$(find "$unpacked" -maxdepth 2 -name mingw-toolchain.cmake | head -n 1)")
fi
qt=$(cd "$qt" && pwd)
[ -f "$qt/mingw-toolchain.cmake" ] || { echo "build-windows: no mingw-toolchain.cmake in $qt" >&2; exit 2; }

echo "== Windows build in $build"
rm -rf "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPDATER_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$qt/mingw-toolchain.cmake" -DCMAKE_PREFIX_PATH="$qt" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$root/tools/wine-run.sh"
cmake --build "$build" -j"$jobs"
$run_tests || exit 0

echo "== Windows suite under Wine"
export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
# Wine takes its ANSI code page from the locale: C.UTF-8 gives the Western 1252, so the tests'
# Chinese file names lie outside it, as on a European Windows
export LANG=C.UTF-8 LC_ALL=C.UTF-8
# the first start makes the prefix (some seconds); one wineserver then serves every test
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
status=0
(cd "$build" && ctest --output-on-failure -j"$jobs" --timeout 900) || status=$?
/usr/lib/wine/wineserver -k 2>/dev/null || wineserver -k 2>/dev/null || true
exit "$status"
