#!/bin/sh
# Runs every fuzz target of a fuzz build for SECONDS each, on a scratch copy of its seed corpus
# (the committed corpus stays as it is). Exits non-zero when a target crashes, breaks an
# invariant, leaks, runs out of memory or time; the inputs that did it are kept in
# BUILD_DIR/fuzz-findings/TARGET/ and the end of the target's log is printed.
#
#   tests/fuzz/run.sh BUILD_DIR SECONDS
set -u

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS" >&2
    exit 2
fi
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
# the toolkit's own leaks (fontconfig's first start) are suppressed as in the sanitizer test runs
LSAN_OPTIONS=${LSAN_OPTIONS:-"suppressions='$here/../sanitizers/lsan.supp'"}
export LSAN_OPTIONS
work=$(mktemp -d) || exit 2
trap 'rm -rf "$work"' EXIT INT TERM

status=0
for target in fuzz_manifest fuzz_descriptor fuzz_config fuzz_statement fuzz_delta; do
    exe=$build/$target
    if [ ! -x "$exe" ]; then
        echo "$target: $exe missing, build the 'fuzz' target first" >&2
        status=1
        continue
    fi
    findings=$build/fuzz-findings/$target
    rm -rf "$findings"
    mkdir -p "$work/$target" "$findings"
    cp -R "$here/corpus/$target" "$work/$target/corpus"
    case $target in
        fuzz_manifest) dict=$here/fuzz_manifest.dict ;;
        fuzz_statement) dict=$here/statement.dict ;;
        fuzz_delta) dict= ;;
        *) dict=$here/ini.dict ;;
    esac

    echo "$target: ${seconds}s"
    # a target without a dictionary of its own takes none
    set -- -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1
    [ -n "$dict" ] && set -- "$@" -dict="$dict"
    "$exe" "$@" -artifact_prefix="$findings/" "$work/$target/corpus" \
        > "$work/$target/log" 2>&1
    result=$?
    if [ $result -ne 0 ]; then
        echo "$target: FAILED (exit $result), inputs in $findings" >&2
        tail -n 60 "$work/$target/log" >&2
        status=1
    else
        rmdir "$findings" 2> /dev/null
        grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$target/log"
        grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$target/log"
    fi
done
exit $status
