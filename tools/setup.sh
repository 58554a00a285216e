#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12. Does nothing when all is there.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools
    qttools5-dev-tools          # lupdate and lrelease: the catalogs (tools/update-translations.sh)
    qtbase5-private-dev         # the dialogs' test switches on accessibility as a screen reader does
    libsodium-dev               # signatures of releases, SHA-256
    libzstd-dev zstd            # delta patches; the zstd tool for the benchmark beside them
    fonts-wqy-microhei          # the dialogs' Chinese texts
    binutils-mingw-w64-x86-64   # compiles the Windows resources in a test
    g++-mingw-w64-x86-64-posix  # the Windows build (tools/build-windows.sh) ...
    wine64 python3-pefile       # ... its suite under Wine, and a reader of its executable
    nginx-light openssl ca-certificates curl   # end-to-end runs against a real web server
    tinyproxy-bin               # ... and through a real proxy (the program only, no service)
    python3                     # the demo's web server
    clang libclang-rt-14-dev    # fuzzing
    strace time                 # benchmarks
    util-linux e2fsprogs        # mount for the full-disk case, chattr
)

# an S3-compatible object store for the end-to-end runs against one (tests/tst_nginx.cpp looks
# for it here), from npm; Node.js and npm from Debian where the machine has none
s3rver_prefix=/opt/s3rver
s3rver_version=3.7.1
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done
s3rver_installed() {
    grep -q "\"version\": \"$s3rver_version\"" "$s3rver_prefix/node_modules/s3rver/package.json" \
        2>/dev/null
}
[ ${#missing[@]} -eq 0 ] && s3rver_installed && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "setup: run as root to install: ${missing[*]} s3rver" >&2; exit 1; }
    sudo=sudo
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if ! s3rver_installed; then
    echo "setup: installing s3rver $s3rver_version into $s3rver_prefix"
    $sudo npm install --prefix "$s3rver_prefix" --no-audit --no-fund --loglevel=error \
        "s3rver@$s3rver_version" >/dev/null
fi
