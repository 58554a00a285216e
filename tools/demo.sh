#!/usr/bin/env bash
# Sets up the machine, builds the updater and runs a real update end to end:
# a sample installation at version 1 (the updater and its system.cfg beside a stand-in host),
# a version 2 published and signed with update-publish, with a patch from version 1 for the
# large file that changed a little, served on loopback; then the updater, which installs it only
# because its signature verifies, fetching the patch instead of that file.
# With a display it shows its dialogs; without one it runs in console mode.
# Everything lands in demo/ (kept for a look afterwards; removed at the next run).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
demo=$root/demo

"$root/tools/setup.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target updater update-publish >/dev/null

rm -rf "$demo"
mkdir -p "$demo/installation" "$demo/release-2" "$demo/server" "$demo/keys"
install=$demo/installation

# version 1, as the vendor's installer left it
cp "$root/build/updater" "$install/"
mkdir -p "$install/data" "$install/lib"
echo "Sample App 1.0" >"$install/app.txt"
echo "shared settings, unchanged by the update" >"$install/readme.txt"
echo '{ "theme": "light", "version": 1 }' >"$install/data/config.json"
head -c 2000000 /dev/urandom >"$install/lib/engine.bin"
cat >"$install/host.sh" <<'HOST'
#!/bin/sh
# stands in for the real application: notes how the updater started it
echo "$(date '+%T') host started with: $*" >>"$(dirname "$0")/host.log"
HOST
chmod +x "$install/host.sh"

# version 2: three files change (the large one by a few bytes in the middle), one is new, one
# stays
cp -r "$install/data" "$install/lib" "$install/readme.txt" "$demo/release-2/"
echo "Sample App 2.0" >"$demo/release-2/app.txt"
echo '{ "theme": "dark", "version": 2 }' >"$demo/release-2/data/config.json"
printf 'fixed in 2.0' | dd of="$demo/release-2/lib/engine.bin" bs=1 seek=1000000 conv=notrunc 2>/dev/null
mkdir -p "$demo/release-2/plugins"
echo "a plug-in that came with 2.0" >"$demo/release-2/plugins/extra.txt"
# with a display the update is optional, so the updater first asks; in console mode a forced
# update is the one after which the updater itself starts the host again
kind=()
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && kind=(--optional)
# the vendor's signing key (a real vendor makes it once and keeps it safe); clients trust its
# public half through PublicKeys= in system.cfg
"$root/build/update-publish" --keygen "$demo/keys/vendor.key" >/dev/null
# version 1 as a release to make patches from: the installation's files, not the updater's own
mkdir -p "$demo/release-1"
cp -r "$install/data" "$install/lib" "$install/readme.txt" "$install/app.txt" "$demo/release-1/"
"$root/build/update-publish" "$demo/release-2" "$demo/server" --version 2.0.0 --folder v2 \
    --sign "$demo/keys/vendor.key" --delta-from "$demo/release-1" "${kind[@]}"
"$root/build/update-publish" --check "$demo/server" --public-key "$demo/keys/vendor.key.pub"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$demo/server" >"$demo/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    curl -sf -o /dev/null "http://127.0.0.1:$port/" && break
    sleep 0.1
done

cat >"$install/system.cfg" <<CFG
[Update]
URL=http://127.0.0.1:$port/
DownLoadUrl=https://example.com/download
ExeName=host.sh
PublicKeys=$(cat "$demo/keys/vendor.key.pub")
CFG

export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$demo/runtime}
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
echo
before=$(cd "$install" && find . -type f | sort)
set +e
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "== running the updater with its dialogs (answer \"立即更新\")"
    (cd "$install" && ./updater)
    code=$?
else
    echo "== no display: running the updater in console mode; its report:"
    (cd "$install" && ./updater console)
    code=$?
    echo
fi
set -e
sleep 0.5 # the host stand-in is started detached

echo "== exit code: $code (0: an update was installed)"
echo "== files replaced, each old version kept beside it as NAME.old:"
(cd "$install" && find . -name '*.old' | sort | sed 's/\.old$//; s/^/   /')
echo "== files added:"
after=$(cd "$install" && find . -type f | sort)
comm -13 <(echo "$before") <(echo "$after") | grep -v -e '\.old$' -e '^./update/' -e '^./host.log$' \
    -e '^./update_md5.info$' -e '^./update_release.info$' | sed 's/^/   /' || true
echo "== the applied manifest (update_md5.info):"
sed 's/^/   /' "$install/update_md5.info" 2>/dev/null || echo "   (none)"
echo "== the signed release recorded against rollback (update_release.info):"
sed 's/^/   /' "$install/update_release.info" 2>/dev/null || echo "   (none)"
echo "== the host:"
if [ -f "$install/host.log" ]; then sed 's/^/   /' "$install/host.log"; else echo "   not started"; fi
echo "== the run's log (update.log in the cache): patches used, or why not"
sed 's/^/   /' "$install/update/update.log" 2>/dev/null || echo "   (none)"
echo "== what the web server was asked for:"
grep -o '"GET [^"]*"' "$demo/server.log" | sed 's/^/   /'
