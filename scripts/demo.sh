#!/usr/bin/env bash
# The whole chain in one command: installs what is missing, builds the adapter, the services and
# vsa-scan, starts a service farm on loopback, stages an installation directory for the adapter,
# makes a few sample files, scans them with vsa-scan as an SAP host would, prints the verdicts and
# the events the event sink received, and stops everything it started (also on Ctrl-C).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly ROOT
readonly PROG="demo"
readonly ENGINES="mimescan;dummy"
# The type the demo's configuration blocks, and the quarantine target of its findings.
readonly BLOCKED_TYPE="application/x-dosexec"
readonly QUARANTINE_TARGET="demo"
readonly EVENT_WAIT_S=10

usage() {
    cat <<EOF
Usage: scripts/demo.sh [--gateway] [--run-dir DIR] [--build-dir DIR]

Runs the demonstration on this machine (Debian 12; as root when packages are missing):
  1. installs the missing Debian packages (scripts/deps.sh)
  2. builds the libraries, the reference services and vsa-scan (incremental)
  3. starts the farm on 127.0.0.1 with scripts/farm.sh: nats-server, qz-av-control,
     qz-av-eventsink, qz-av-dummy, qz-av-mimescan, qz-av-quarantine
  4. stages an installation directory for the adapter (libraries, config/qzvsa4.cfg, run/)
  5. makes the samples: a text, a PNG image, the EICAR test file, a zip holding it, a DOS
     executable (a blocked type: $BLOCKED_TYPE) and a 50 MiB file
  6. scans them with vsa-scan --engines "$ENGINES", prints its lines and checks each verdict
  7. prints the events and scan logs the event sink received
and stops the farm. Exit code 0 when every verdict is the expected one, 1 when one is not,
2 when the demo could not run.

Options:
  --gateway        also start the HTTPS gateway and scan the samples a second time through it
                   (INITDRIVERS https://127.0.0.1:PORT); the verdicts must be the same
  --run-dir DIR    where the farm, the installation, the samples and the traces go
                   (default: <build dir>/demo; its previous demo contents are replaced)
  --build-dir DIR  build directory (default: \$QZ_BUILD_DIR, else build/ in the source tree)
  --help           this text
EOF
}

say() { echo "$PROG: $*"; }
die() {
    echo "$PROG: $*" >&2
    exit 2
}
step() { printf '\n== %s\n' "$*"; }

BUILD_DIR="${QZ_BUILD_DIR:-$ROOT/build}"
RUN_DIR=""
GATEWAY=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        --help | -h) usage; exit 0 ;;
        --gateway) GATEWAY=1; shift ;;
        --run-dir | --build-dir)
            [[ $# -ge 2 ]] || die "$1 needs a value (see --help)"
            if [[ "$1" == --run-dir ]]; then RUN_DIR="$2"; else BUILD_DIR="$2"; fi
            shift 2
            ;;
        *) die "unknown argument '$1' (see --help)" ;;
    esac
done
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$PWD/$BUILD_DIR" ;; esac
[[ -n "$RUN_DIR" ]] || RUN_DIR="$BUILD_DIR/demo"
case "$RUN_DIR" in /*) ;; *) RUN_DIR="$PWD/$RUN_DIR" ;; esac
readonly FARM_DIR="$RUN_DIR/farm" INST_DIR="$RUN_DIR/install" SAMPLES="$RUN_DIR/samples"

# Everything this script started goes when it ends, however it ends. A Ctrl-C while the farm
# stops would leave half of it running: the stop is not interruptible.
FARM_STARTED=0
SCAN_PID=""
cleanup() {
    local rc=$?
    trap '' INT TERM
    trap - EXIT
    if [[ -n "$SCAN_PID" ]] && kill -0 "$SCAN_PID" 2>/dev/null; then
        say "waiting for vsa-scan (pid $SCAN_PID) to finish its scans and end its session"
        kill -TERM "$SCAN_PID" 2>/dev/null || true
        wait "$SCAN_PID" 2>/dev/null || true
    fi
    if ((FARM_STARTED)); then
        step "stopping the farm"
        "$ROOT/scripts/farm.sh" stop --run-dir "$FARM_DIR" || rc=2
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'echo; say "interrupted"; exit 130' INT TERM

# ---------------------------------------------------------------------------------------------

step "1/7 packages"
"$ROOT/scripts/deps.sh" || die "missing Debian packages; run as root, or install them (see above)"
say "all packages present"

step "2/7 build ($BUILD_DIR)"
mkdir -p "$BUILD_DIR" "$RUN_DIR" || die "cannot create $BUILD_DIR and $RUN_DIR"
BUILD_LOG="$RUN_DIR/build.log"
: >"$BUILD_LOG"
if [[ ! -f "$BUILD_DIR/CMakeCache.txt" ]]; then
    # The same configuration as scripts/build.sh, so that it and scripts/test.sh reuse this tree.
    say "configuring (first build; log: $BUILD_LOG)"
    cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ_BUILD_BENCH=ON \
        >>"$BUILD_LOG" 2>&1 || { tail -n 30 "$BUILD_LOG"; die "cmake failed (log: $BUILD_LOG)"; }
fi
# Only what the demo runs; the tests and benchmarks are scripts/build.sh's.
say "building the libraries, the services and vsa-scan (a few minutes the first time)"
cmake --build "$BUILD_DIR" -j "${QZ_JOBS:-$(nproc)}" \
    --target qzAV qzvsa qz_services qz-av-provision vsa-scan >>"$BUILD_LOG" 2>&1 ||
    { tail -n 30 "$BUILD_LOG"; die "the build failed (log: $BUILD_LOG)"; }
readonly STAGE_LIB="$BUILD_DIR/stage/qz-av-vsa/latest/lib"
for f in "$BUILD_DIR/bin/vsa-scan" "$STAGE_LIB/libqzAV.so" "$STAGE_LIB/libqzvsa.so"; do
    [[ -e "$f" ]] || die "the build did not produce $f"
done
say "built"

step "3/7 farm on loopback ($FARM_DIR)"
if [[ -f "$FARM_DIR/farm.pids" ]] && "$ROOT/scripts/farm.sh" status --run-dir "$FARM_DIR" \
    >/dev/null 2>&1; then
    die "a farm still runs in $FARM_DIR; stop it with: scripts/farm.sh stop --run-dir $FARM_DIR"
fi
rm -rf "$FARM_DIR"
# The library sends each scan job through the work queue of its service when the broker has one.
farm_args=(start --run-dir "$FARM_DIR" --build-dir "$BUILD_DIR"
    --work-queue qz-av-mimescan --work-queue qz-av-dummy)
((GATEWAY == 0)) || farm_args+=(--gateway)
FARM_STARTED=1
# In a session of its own: a Ctrl-C on the terminal reaches the demo and vsa-scan, which end
# their work, but not the services that vsa-scan's scans in progress are waiting for.
setsid -w "$ROOT/scripts/farm.sh" "${farm_args[@]}" || die "the farm did not start (see above)"
# shellcheck source=/dev/null
. "$FARM_DIR/farm.env"
[[ -x "$BUILD_DIR/bin/qz-av-eventsink" && -f "$FARM_DIR/events.jsonl" ]] ||
    die "the event sink did not start"
EVENTS="$FARM_DIR/events.jsonl"

step "4/7 installation directory ($INST_DIR)"
rm -rf "$INST_DIR"
mkdir -p "$INST_DIR/qz-av-vsa/latest/lib" "$INST_DIR/config/certificates" "$INST_DIR/run"
cp "$STAGE_LIB/libqzAV.so" "$STAGE_LIB/libqzvsa.so" "$INST_DIR/qz-av-vsa/latest/lib/"
# Writes config/qzvsa4.cfg for a scan over the broker or through the gateway. Only the gateway
# needs its certificate as the installation's CA file (self-signed: it is its own CA); the broker
# on loopback speaks plain nats://.
write_config() {
    rm -f "$INST_DIR/config/certificates/qz-av-ca-root.crt"
    if [[ "$1" == gateway ]]; then
        cp "$QZ_FARM_GATEWAY_CERT" "$INST_DIR/config/certificates/qz-av-ca-root.crt"
    fi
    {
        cat <<EOF
; written by scripts/demo.sh for a scan over the $1
[GLOBAL]
REALMID = demo
EOF
        if [[ "$1" == gateway ]]; then
            echo "BROKER_USER = $QZ_FARM_GATEWAY_USER"
            echo "BROKER_PASSWORD = $QZ_FARM_GATEWAY_PASSWORD"
        fi
        cat <<EOF

[SCAN]
; milliseconds each service may take, plus an allowance for the object's size
SCANTIMEOUT = 60000
; the MIME scanner blocks these types
BLOCKMIMETYPES = $BLOCKED_TYPE
; findings go to qz-av-quarantine.$QUARANTINE_TARGET
CLEANQUARANTINE = $QUARANTINE_TARGET
EOF
    } >"$INST_DIR/config/qzvsa4.cfg"
}
write_config broker
say "qz-av-vsa/latest/lib/{libqzAV.so,libqzvsa.so}, config/qzvsa4.cfg:"
grep -v '^;' "$INST_DIR/config/qzvsa4.cfg" | grep . | sed 's/^/    /'

step "5/7 samples ($SAMPLES)"
rm -rf "$SAMPLES"
mkdir -p "$SAMPLES"
cd "$SAMPLES"
printf 'Quarterly report\n\nRevenue grew by 4 %% in the third quarter.\n' >report.txt
# A 1x1 grey PNG: signature, IHDR, IDAT, IEND, each chunk with its CRC.
printf '\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x01\0\0\0\x01\x08\0\0\0\0\x3a\x7e\x9b\x55' >logo.png
printf '\0\0\0\x0aIDAT\x78\x9c\x63\xf8\x0f\0\x01\x01\x01\0\xb1\x38\xf6\x14' >>logo.png
printf '\0\0\0\0IEND\xae\x42\x60\x82' >>logo.png
# The EICAR test file, put together here so that no file of the project holds the string.
# shellcheck disable=SC2016  # the '$' are part of the string
printf '%s%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$' 'EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*' >eicar.com
# The zip stores eicar.com uncompressed: without an archive extractor among the services, only
# the dummy engine's search of the raw bytes can find it. Written here field by field (neither
# zip nor python3 comes with a fresh system); gzip's trailer holds the CRC-32 the zip needs, in
# the same byte order.
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
le32() { printf '%s%s' "$(le16 $(($1 & 65535)))" "$(le16 $(($1 >> 16 & 65535)))"; }
stored_zip() {
    local zip="$1" name="$2" size crc fields
    size="$(stat -c %s "$name")"
    crc="$(gzip -c "$name" | tail -c 8 | head -c 4 | od -An -tx1 | tr -d ' \n' | sed 's/../\\x&/g')"
    # Version 1.0, no flags, stored, 1980-01-01 00:00, CRC-32, both sizes, name length, no extra.
    fields="$(le16 10)$(le16 0)$(le16 0)$(le16 0)$(le16 33)$crc$(le32 "$size")$(le32 "$size")"
    fields+="$(le16 ${#name})$(le16 0)"
    {
        printf 'PK\x03\x04%b%s' "$fields" "$name"
        cat "$name"
        # The central directory: made by 1.0, the same fields, no comment, at offset 0.
        printf 'PK\x01\x02%b%s' "$(le16 10)$fields$(le16 0)$(le16 0)$(le16 0)$(le32 0)$(le32 0)" \
            "$name"
        printf 'PK\x05\x06%b' "$(le16 0)$(le16 0)$(le16 1)$(le16 1)$(le32 $((46 + ${#name})))"
        printf '%b' "$(le32 $((30 + ${#name} + size)))$(le16 0)"
    } >"$zip"
}
stored_zip eicar.zip eicar.com
# An MS-DOS executable header: libmagic calls it application/x-dosexec, which the configuration
# blocks.
{ printf 'MZ\x90\0\x03\0\0\0\x04\0\0\0\xff\xff\0\0'; head -c 112 /dev/zero; } >setup.exe
head -c $((50 * 1024 * 1024)) /dev/zero >large-50MiB.bin
cd "$RUN_DIR"
# name, expected verdict, what it is
readonly SAMPLE_TABLE="report.txt clean a text
logo.png clean a PNG image
eicar.com virus the EICAR test file
eicar.zip virus a zip holding eicar.com, stored
setup.exe blocked an executable, type $BLOCKED_TYPE
large-50MiB.bin clean 50 MiB of zero bytes"
SAMPLE_NAMES=()
while read -r name expected what; do
    SAMPLE_NAMES+=("$name")
    printf '  %-16s %10s bytes  %s (expected: %s)\n' "$name" "$(stat -c %s "$SAMPLES/$name")" \
        "$what" "$expected"
done <<<"$SAMPLE_TABLE"

# The value of the first member KEY in a line of JSON: a string (unescaped, trailing blanks
# dropped) or a number. Enough for the sink's lines, which json-c writes without blanks.
json_value() {
    local re="\"$2\":(\"([^\"\\\\]|\\\\.)*\"|-?[0-9]+)"
    [[ "$1" =~ $re ]] || return 1
    local value="${BASH_REMATCH[1]}"
    if [[ "$value" == \"* ]]; then
        value="${value:1:${#value}-2}"
        value="${value//\\\"/\"}"
        value="${value//\\\//\/}"
        value="${value//\\n/ }"
        value="${value//\\\\/\\}"
        value="${value%"${value##*[! ]}"}"
    fi
    printf '%s' "$value"
}
EVENT_TYPES=([1010]="started" [1030]="stopped" [1040]="clean" [1050]="scan error"
    [1060]="blocked" [1070]="quarantined" [1080]="cleaned" [1090]="not completed")
# One readable line per message the sink recorded after line $1 of events.jsonl, in the order
# they arrived; SCAN_LOGS gets the object name of every scan log among them.
SCAN_LOGS=()
print_events() {
    local line subject received when type name text result size mime ms error
    SCAN_LOGS=()
    while IFS= read -r line; do
        subject="$(json_value "$line" subject || true)"
        received="$(json_value "$line" received || echo 0)"
        when="$(date -d "@$((received / 1000))" +%T).$(printf '%03d' $((received % 1000)))"
        name="$(json_value "$line" Filename || true)"
        error="$(json_value "$line" error || true)"
        if [[ -n "$error" ]]; then
            printf '  %s %-10s %s\n' "$when" "$subject" "not readable: $error"
        elif [[ "$subject" == qz-av-events-dispatch ]]; then
            type="$(json_value "$line" Type || echo '?')"
            text="$(json_value "$line" Event-Message || true)"
            printf '  %s event      %s %-13s %s%s\n' "$when" "$type" \
                "${EVENT_TYPES[$type]:-other}" "${name:+$name: }" "$text"
        elif result="$(json_value "$line" Result-Text)"; then
            SCAN_LOGS+=("$name")
            text="$(json_value "$line" Reason-Text || json_value "$line" Message || true)"
            size="$(json_value "$line" File-size || echo '?')"
            mime="$(json_value "$line" MIME-type || echo '?')"
            ms="$(json_value "$line" Duration || echo '?')"
            printf '  %s scan log   %-16s %-17s %s bytes, %s, %s ms%s\n' "$when" "$name" \
                "$result" "$size" "$mime" "$ms" "${text:+; $text}"
        else
            text="$(json_value "$line" Message || echo '?')"
            printf '  %s status log %s\n' "$when" "$text"
        fi
    done < <(tail -n "+$(($1 + 1))" "$EVENTS")
}

FAILED=0
# Scans the samples over $1 (broker or gateway) with INITDRIVERS $2, checks each verdict and
# prints the events of the run.
scan_samples() {
    local mode="$1" drivers="$2" output="$RUN_DIR/scan-$1.txt" before line name verdict
    local expected what rc=0 waited=0 count
    step "6/7 scan over the $mode: vsa-scan --engines \"$ENGINES\" --drivers $drivers"
    write_config "$mode"
    if [[ "$mode" == gateway ]]; then
        say "config/qzvsa4.cfg now has BROKER_USER and BROKER_PASSWORD for the gateway, and"
        say "config/certificates/qz-av-ca-root.crt is the gateway's certificate"
    fi
    rm -f "$output" "$RUN_DIR/vsa-scan-$mode.trace"
    before="$(wc -l <"$EVENTS")"
    # In the background: bash runs a trap only once a foreground program has ended, but during
    # `wait` at once, and the cleanup then stops vsa-scan by its PID (a SIGTERM sent to the demo
    # alone would not reach it otherwise). Its lines are shown as they come.
    cd "$SAMPLES"
    "$BUILD_DIR/bin/vsa-scan" --initdirectory "$INST_DIR" --drivers "$drivers" \
        --engines "$ENGINES" --trace-file "$RUN_DIR/vsa-scan-$mode.trace" --trace-level 4 \
        "${SAMPLE_NAMES[@]}" >"$output" 2>&1 &
    SCAN_PID=$!
    cd "$RUN_DIR"
    tail -s 0.1 -n +1 -f --pid="$SCAN_PID" "$output" | sed -u 's/^/  /' &
    local show_pid=$!
    wait "$SCAN_PID" || rc=$?
    SCAN_PID=""
    wait "$show_pid" || true
    if ((rc >= 128)); then
        say "vsa-scan CRASHED: killed by signal $((rc - 128)) ($(kill -l $((rc - 128)) 2>/dev/null))"
        FAILED=1
    else
        say "vsa-scan exit code $rc (0 all clean, 1 findings, 2 errors)"
    fi
    say "its trace: $RUN_DIR/vsa-scan-$mode.trace"

    echo
    printf '  %-16s %-9s %-9s %s\n' sample expected verdict check
    while read -r name expected what; do
        line="$(grep -m 1 "^$name: " "$output" || true)"
        verdict="${line#"$name: "}"
        verdict="${verdict%% *}"
        if [[ "$verdict" == "$expected" ]]; then
            printf '  %-16s %-9s %-9s %s\n' "$name" "$expected" "$verdict" ok
        else
            printf '  %-16s %-9s %-9s %s\n' "$name" "$expected" "${verdict:--}" WRONG
            FAILED=1
        fi
    done <<<"$SAMPLE_TABLE"

    # The host's dispatcher sends the events while it runs; give the sink a moment for the last.
    step "7/7 events the event sink received ($EVENTS)"
    count=$(( $(wc -l <"$EVENTS") - before ))
    while ((waited < EVENT_WAIT_S * 10)); do
        sleep 0.1
        waited=$((waited + 1))
        local now=$(( $(wc -l <"$EVENTS") - before ))
        ((now == count && waited >= 10)) && break
        count=$now
    done
    print_events "$before"
    # Every scan leaves exactly one scan log.
    local logs
    while read -r name expected what; do
        logs=0
        for line in "${SCAN_LOGS[@]}"; do [[ "$line" != "$name" ]] || logs=$((logs + 1)); done
        if ((logs != 1)); then
            say "WRONG: $logs scan log(s) for $name at the sink, expected 1"
            FAILED=1
        fi
    done <<<"$SAMPLE_TABLE"
    local queued
    queued="$(find "$INST_DIR/run/VSA.pq/data" -name '*.dat' 2>/dev/null | wc -l)"
    if ((queued > 0)); then
        say "$count message(s) received; $queued still queued in $INST_DIR/run/VSA.pq (the next" \
            "host process that starts there sends them)"
    else
        say "$count message(s) received, none left in the host's queue"
    fi
}

scan_samples broker "$QZ_FARM_URL"
((GATEWAY == 0)) || scan_samples gateway "$QZ_FARM_GATEWAY_URL"

echo
say "quarantine: $(find "$FARM_DIR/quarantine" -name '*.bin' | wc -l) object(s) in $FARM_DIR/quarantine"
if ((FAILED)); then
    say "FAILED: see the lines marked WRONG or CRASHED above"
    exit 1
fi
say "every verdict as expected"
