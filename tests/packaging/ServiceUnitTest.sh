#!/usr/bin/env bash
# The installed systemd unit: systemd-analyze verifies it without a word and rates its
# exposure at 2.0 or less, and lockhub with logtrim behind it, started the way ExecStart
# starts them under the unit's UMask, create their log files 0640.
#   ServiceUnitTest.sh BUILD_DIR PREFIX [EMULATOR ...]
set -euo pipefail
build=$1 prefix=$2
shift 2
emulator=("$@")

fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
unit=$prefix/lib/systemd/system/lockhub.service
trap 'rm -rf "$prefix"' EXIT

# verify runs man for the Documentation= pages: they are the installed ones.
report=$(MANPATH=$prefix/share/man systemd-analyze verify "$unit" 2>&1) ||
    fail "systemd-analyze verify: $report"
[ -z "$report" ] || fail "systemd-analyze verify says: $report"
security=$(systemd-analyze security --offline=yes --threshold=20 "$unit" 2>&1) ||
    fail "exposure above 2.0: $(grep 'Overall exposure' <<<"$security")"
grep 'Overall exposure' <<<"$security"

umask=$(sed -n 's/^UMask=//p' "$unit")
[ -n "$umask" ] || fail "the unit sets no UMask"
logs=$prefix/logs
mkdir -p "$logs"
logtrim=("${emulator[@]}" "$prefix/bin/logtrim" -f "$logs/lockhub.log" -l 1048576)
(
    umask "$umask"
    exec "${emulator[@]}" "$prefix/bin/lockhub" --port 0 --logFile "$logs/own.log" \
        > >(exec "${logtrim[@]}")
) &
lockhub=$!
for _ in $(seq 600); do
    [ -s "$logs/lockhub.log" ] && [ -s "$logs/own.log" ] && break
    sleep 0.05
done
kill -TERM "$lockhub"
wait "$lockhub" || true
for file in lockhub.log own.log; do
    [ -s "$logs/$file" ] || fail "$file was not written within 30 s"
    mode=$(stat -c %a "$logs/$file")
    [ "$mode" = 640 ] || fail "$file was created $mode under UMask=$umask"
done
echo "log files 0640 under UMask=$umask"
