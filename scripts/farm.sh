#!/usr/bin/env bash
# Starts, shows and stops a local service farm for qz-av-vsa: a nats-server with JetStream on
# loopback, provisioned with qz-av-provision, and the reference services that are built
# (qz-av-control, qz-av-eventsink, qz-av-dummy, qz-av-mimescan, qz-av-quarantine), with --gateway
# also the HTTPS gateway qz-av-gateway. Everything lives in one run directory; farm.env there tells
# people and tests where the broker (and the gateway) is.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly ROOT
readonly PROG="farm.sh"
# The order in which services start; they stop in the reverse order, the broker last.
readonly SERVICES=(qz-av-control qz-av-eventsink qz-av-dummy qz-av-mimescan qz-av-quarantine)
readonly READY_WAIT_S=10
readonly STOP_WAIT_S=5
# The gateway's Basic credentials: the farm is a loopback test bed, like its broker without
# authentication.
readonly GATEWAY_USER=farm
readonly GATEWAY_PASSWORD=farm-secret

usage() {
    cat <<EOF
Usage: scripts/farm.sh [start] [OPTIONS]
       scripts/farm.sh status [--run-dir DIR]
       scripts/farm.sh stop   [--run-dir DIR]

start   Starts nats-server -js on 127.0.0.1 (store in the run directory), provisions it with
        qz-av-provision, then starts each reference service that is built, in this order:
        ${SERVICES[*]}
        and waits until each one is ready. Writes the run directory's farm.env:
          QZ_FARM_URL=nats://127.0.0.1:PORT      the broker URL for INITDRIVERS / --server
          QZ_FARM_RUN_DIR=DIR
          QZ_FARM_PID_<NAME>=PID                 one line per started process
        Services log to DIR/<name>.log and trace to DIR/<name>.trace; qz-av-eventsink writes
        the events to DIR/events.jsonl, qz-av-quarantine stores objects in DIR/quarantine.
        With --gateway, qz-av-gateway starts last, on https://127.0.0.1 with a throw-away
        self-signed certificate, and farm.env gets:
          QZ_FARM_GATEWAY_URL=https://127.0.0.1:PORT   INITDRIVERS for gateway mode
          QZ_FARM_GATEWAY_USER=${GATEWAY_USER}                 BROKER_USER ([GLOBAL])
          QZ_FARM_GATEWAY_PASSWORD=${GATEWAY_PASSWORD}      BROKER_PASSWORD ([GLOBAL])
          QZ_FARM_GATEWAY_CERT=DIR/gateway.pem     the certificate, to be trusted by clients
                                                 as <INITDIRECTORY>/config/certificates/
                                                 qz-av-ca-root.crt
status  Shows the broker URL and whether each started process still runs. Exit code 0 when
        all run, 3 when the farm is not started or something has stopped.
stop    Stops the started processes by PID (SIGTERM, SIGKILL after ${STOP_WAIT_S} s), services
        first, the broker last. Logs and traces stay in the run directory.

Options of start:
  --port N              broker port (default: a free one)
  --run-dir DIR         run directory (default: <build dir>/farm)
  --build-dir DIR       where the built programs are: DIR/bin (default: \$QZ_BUILD_DIR, else
                        build/ in the source tree)
  --config FILE         configuration of qz-av-control (default: config/qz-av-control.cfg)
  --events FILE         where qz-av-eventsink writes the events (default: DIR/events.jsonl)
  --key TEXT            qz-av-eventsink --key TEXT (decrypts encrypted event sections)
  --work-queue SERVICE  also provision the work queue of SERVICE (repeatable)
  --args NAME ARGS      extra arguments for service NAME, split at blanks, e.g.
                        --args qz-av-dummy "--threads 2"
  --trace-level N       trace level of the services, 0..6 (default 4)
  --gateway             also start the HTTPS gateway qz-av-gateway (needs openssl)
  --gateway-port N      its port (default: a free one)
  --help                this text

Examples:
  scripts/farm.sh start && . build/farm/farm.env && echo "\$QZ_FARM_URL"
  QZ_BUILD_DIR=build-debug scripts/farm.sh start --port 4333 --config my-control.cfg
  scripts/farm.sh start --gateway && . build/farm/farm.env && echo "\$QZ_FARM_GATEWAY_URL"
  scripts/farm.sh status; scripts/farm.sh stop
EOF
}

die() {
    echo "$PROG: $*" >&2
    exit 2
}

say() { echo "$PROG: $*"; }

BUILD_DIR="${QZ_BUILD_DIR:-$ROOT/build}"
RUN_DIR=""
PORT=""
CONTROL_CONFIG="$ROOT/config/qz-av-control.cfg"
EVENTS_FILE=""
EVENT_KEY=""
TRACE_LEVEL=4
GATEWAY=0
GATEWAY_PORT=""
WORK_QUEUES=()
declare -A EXTRA_ARGS=()

COMMAND=start
if [[ $# -gt 0 && ( "$1" == start || "$1" == stop || "$1" == status ) ]]; then
    COMMAND="$1"
    shift
fi

while [[ $# -gt 0 ]]; do
    case "$1" in
        --help | -h) usage; exit 0 ;;
        --gateway) GATEWAY=1; shift ;;
        --port | --run-dir | --build-dir | --config | --events | --key | --work-queue | \
            --trace-level | --gateway-port)
            [[ $# -ge 2 ]] || die "$1 needs a value (see --help)"
            case "$1" in
                --port) PORT="$2" ;;
                --run-dir) RUN_DIR="$2" ;;
                --build-dir) BUILD_DIR="$2" ;;
                --config) CONTROL_CONFIG="$2" ;;
                --events) EVENTS_FILE="$2" ;;
                --key) EVENT_KEY="$2" ;;
                --work-queue) WORK_QUEUES+=("$2") ;;
                --trace-level) TRACE_LEVEL="$2" ;;
                --gateway-port) GATEWAY=1; GATEWAY_PORT="$2" ;;
            esac
            shift 2
            ;;
        --args)
            [[ $# -ge 3 ]] || die "--args needs a service name and its arguments (see --help)"
            EXTRA_ARGS["$2"]="$3"
            shift 3
            ;;
        *) die "unknown argument '$1' (see --help)" ;;
    esac
done

[[ -n "$RUN_DIR" ]] || RUN_DIR="$BUILD_DIR/farm"
[[ -z "$PORT" || "$PORT" =~ ^[0-9]+$ && "$PORT" -ge 1 && "$PORT" -le 65535 ]] ||
    die "--port takes a number from 1 to 65535, not '$PORT'"
[[ "$TRACE_LEVEL" =~ ^[0-6]$ ]] || die "--trace-level takes 0 to 6, not '$TRACE_LEVEL'"
[[ -z "$GATEWAY_PORT" || "$GATEWAY_PORT" =~ ^[0-9]+$ && "$GATEWAY_PORT" -ge 1 &&
    "$GATEWAY_PORT" -le 65535 ]] ||
    die "--gateway-port takes a number from 1 to 65535, not '$GATEWAY_PORT'"

ENV_FILE="$RUN_DIR/farm.env"
PID_FILE="$RUN_DIR/farm.pids"

# Whether a PID exists and is not a zombie (an orphan that nobody reaped yet).
is_alive() {
    local stat=""
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
    stat="${stat##*) }"
    [[ "${stat%% *}" != Z ]]
}

# Whether a live PID runs the program NAME: guards against signalling a process that took over
# the PID of one of ours. (A child between fork and exec is alive but not yet ours.)
is_ours() {
    local cmd=""
    is_alive "$1" || return 1
    IFS= read -r -d '' cmd 2>/dev/null <"/proc/$1/cmdline" || true
    [[ "${cmd##*/}" == "$2" ]]
}

# farm.pids: one "NAME PID" line per started process, in start order.
# With "children", the processes are this script's own children (a start that failed): they may
# not have reached exec yet, and their PIDs cannot be reused before this script exits.
stop_farm() {
    local check=is_ours
    [[ "${1:-}" != children ]] || check=is_alive_as
    if [[ ! -f "$PID_FILE" ]]; then
        say "nothing to stop in $RUN_DIR (no farm.pids)"
        rm -f "$ENV_FILE"
        return 0
    fi
    local lines=() i name pid waited
    mapfile -t lines <"$PID_FILE"
    for ((i = ${#lines[@]} - 1; i >= 0; i--)); do
        read -r name pid <<<"${lines[$i]}"
        [[ -n "${pid:-}" ]] || continue
        if ! "$check" "$pid" "$name"; then
            say "$name (pid $pid) is not running"
            continue
        fi
        kill -TERM "$pid" 2>/dev/null || true
        waited=0
        while "$check" "$pid" "$name" && ((waited < STOP_WAIT_S * 10)); do
            sleep 0.1
            waited=$((waited + 1))
        done
        if "$check" "$pid" "$name"; then
            say "$name (pid $pid) did not stop within ${STOP_WAIT_S} s; killing it"
            kill -KILL "$pid" 2>/dev/null || true
            while "$check" "$pid" "$name"; do sleep 0.05; done
        fi
        say "stopped $name (pid $pid)"
    done
    # A ready file left behind would tell the next reader that a stopped service serves.
    for ((i = 0; i < ${#lines[@]}; i++)); do
        read -r name pid <<<"${lines[$i]}"
        rm -f "$RUN_DIR/$name.ready"
    done
    rm -f "$PID_FILE" "$ENV_FILE"
}

is_alive_as() { is_alive "$1"; }

status_farm() {
    if [[ ! -f "$PID_FILE" ]]; then
        say "not started (no farm.pids in $RUN_DIR)"
        return 3
    fi
    local url="" all=0 name pid
    [[ -f "$ENV_FILE" ]] && url="$(sed -n 's/^QZ_FARM_URL=//p' "$ENV_FILE")"
    echo "broker:  ${url:-(start did not finish)}"
    [[ -f "$ENV_FILE" ]] && url="$(sed -n 's/^QZ_FARM_GATEWAY_URL=//p' "$ENV_FILE")"
    [[ -z "$url" || "$url" != https://* ]] || echo "gateway: $url"
    echo "run dir: $RUN_DIR"
    while read -r name pid; do
        [[ -n "${pid:-}" ]] || continue
        if is_ours "$pid" "$name"; then
            printf '  %-18s pid %-8s running\n' "$name" "$pid"
        else
            printf '  %-18s pid %-8s NOT running (see %s)\n' "$name" "$pid" "$RUN_DIR/$name.log"
            all=3
        fi
    done <"$PID_FILE"
    return "$all"
}

# Stops what was started so far and gives up.
abort_start() {
    echo "$PROG: $*" >&2
    stop_farm children >&2 || true
    exit 1
}

record_pid() { echo "$1 $2" >>"$PID_FILE"; }

start_broker() {
    # The other programs are ours and built; the broker comes with the project's packages.
    command -v nats-server >/dev/null || "$ROOT/scripts/deps.sh" >&2 ||
        abort_start "nats-server is missing and scripts/deps.sh could not install it"
    command -v nats-server >/dev/null || abort_start "nats-server not found in PATH"
    mkdir -p "$RUN_DIR/nats-store"
    rm -f "$RUN_DIR"/nats-server_*.ports
    local port_arg="${PORT:--1}"
    nohup nats-server -a 127.0.0.1 -p "$port_arg" -js -sd "$RUN_DIR/nats-store" \
        -l "$RUN_DIR/nats-server.log" --ports_file_dir "$RUN_DIR" >/dev/null 2>&1 &
    local pid=$!
    record_pid nats-server "$pid"
    local ports_file="$RUN_DIR/nats-server_$pid.ports" waited=0
    while [[ ! -s "$ports_file" ]]; do
        is_alive "$pid" ||
            abort_start "nats-server exited during start-up; its log: $RUN_DIR/nats-server.log
$(tail -n 5 "$RUN_DIR/nats-server.log" 2>/dev/null)"
        ((waited < READY_WAIT_S * 20)) || abort_start "nats-server not ready within ${READY_WAIT_S} s"
        sleep 0.05
        waited=$((waited + 1))
    done
    URL="$(grep -o 'nats://[^"]*' "$ports_file" | head -n 1)"
    [[ -n "$URL" ]] || abort_start "cannot read the broker port from $ports_file"
    say "nats-server (pid $pid) on $URL, store $RUN_DIR/nats-store"
}

find_tool() {
    local name="$1" dir
    for dir in "$BUILD_DIR/bin" "$BUILD_DIR/tools"; do
        [[ -x "$dir/$name" ]] && { echo "$dir/$name"; return 0; }
    done
    return 1
}

start_service() {
    local name="$1"
    shift
    local ready="$RUN_DIR/$name.ready" log="$RUN_DIR/$name.log"
    rm -f "$ready"
    # Word splitting of the --args text is intended.
    # shellcheck disable=SC2206
    local extra=(${EXTRA_ARGS[$name]:-})
    nohup "$BUILD_DIR/bin/$name" --server "$URL" --ready-file "$ready" \
        --trace "$RUN_DIR/$name.trace" --trace-level "$TRACE_LEVEL" "$@" "${extra[@]}" \
        >"$log" 2>&1 &
    local pid=$! waited=0
    record_pid "$name" "$pid"
    while [[ ! -f "$ready" ]]; do
        is_alive "$pid" ||
            abort_start "$name exited during start-up; its output ($log):
$(tail -n 5 "$log" 2>/dev/null)"
        ((waited < READY_WAIT_S * 20)) ||
            abort_start "$name not ready within ${READY_WAIT_S} s; its output: $log"
        sleep 0.05
        waited=$((waited + 1))
    done
    say "$name (pid $pid) ready"
    echo "QZ_FARM_PID_$(echo "$name" | tr 'a-z-' 'A-Z_')=$pid" >>"$ENV_FILE.tmp"
}

# A TCP port on 127.0.0.1 that nothing listens on, below the kernel's ephemeral range so that
# outgoing connections and brokers on port -1 do not take it meanwhile. Listening sockets are in
# /proc/net/tcp{,6} with state 0A, their port in hex after the address.
free_port() {
    local listening=" " f local_address state port tries
    for f in /proc/net/tcp /proc/net/tcp6; do
        [[ -r "$f" ]] || continue
        while read -r _ local_address _ state _; do
            [[ "$state" == 0A ]] && listening+="$((16#${local_address##*:})) "
        done <"$f"
    done
    for ((tries = 0; tries < 100; tries++)); do
        port=$((20000 + RANDOM % 12000))
        [[ "$listening" == *" $port "* ]] || { echo "$port"; return 0; }
    done
    return 1
}

# The HTTPS gateway in front of the farm's broker, with a certificate made for this run only:
# self-signed, for 127.0.0.1 and localhost, so that clients verify it as their CA file.
start_gateway() {
    local name=qz-av-gateway
    [[ -x "$BUILD_DIR/bin/$name" ]] || abort_start "$name is not built ($BUILD_DIR/bin/$name)"
    command -v openssl >/dev/null || abort_start "--gateway needs openssl (scripts/deps.sh)"
    local cert="$RUN_DIR/gateway.pem" key="$RUN_DIR/gateway.key" cfg="$RUN_DIR/$name.cfg"
    rm -f "$cert" "$key" "$cfg"
    # The key and the file with the password are for the gateway's user only.
    (umask 077 &&
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
            -subj '/CN=127.0.0.1' -addext subjectAltName=IP:127.0.0.1,DNS:localhost \
            -keyout "$key" -out "$cert" >"$RUN_DIR/gateway-cert.log" 2>&1 &&
        printf '[gateway]\nuser = %s\npassword = %s\ncert = %s\nkey = %s\n' \
            "$GATEWAY_USER" "$GATEWAY_PASSWORD" "$cert" "$key" >"$cfg") ||
        abort_start "cannot make the gateway's certificate:
$(tail -n 5 "$RUN_DIR/gateway-cert.log" 2>/dev/null)"
    chmod 644 "$cert"
    local port="$GATEWAY_PORT"
    [[ -n "$port" ]] || port="$(free_port)" || abort_start "no free port for the gateway"
    start_service "$name" --config "$cfg" --port "$port"
    {
        echo "QZ_FARM_GATEWAY_URL=https://127.0.0.1:$port"
        echo "QZ_FARM_GATEWAY_USER=$GATEWAY_USER"
        echo "QZ_FARM_GATEWAY_PASSWORD=$GATEWAY_PASSWORD"
        echo "QZ_FARM_GATEWAY_CERT=$cert"
    } >>"$ENV_FILE.tmp"
    say "$name on https://127.0.0.1:$port (user $GATEWAY_USER, certificate $cert)"
}

start_farm() {
    if [[ -f "$PID_FILE" ]]; then
        local name pid
        while read -r name pid; do
            if [[ -n "${pid:-}" ]] && is_ours "$pid" "$name"; then
                die "a farm is already running in $RUN_DIR ($name, pid $pid); scripts/farm.sh stop first"
            fi
        done <"$PID_FILE"
        rm -f "$PID_FILE"
    fi
    [[ -x "$BUILD_DIR/bin/qz-av-control" ]] ||
        die "$BUILD_DIR/bin/qz-av-control is not built (scripts/build.sh, or --build-dir / QZ_BUILD_DIR)"
    local provision
    provision="$(find_tool qz-av-provision)" ||
        die "qz-av-provision is not built in $BUILD_DIR/bin or $BUILD_DIR/tools"
    [[ -r "$CONTROL_CONFIG" ]] || die "cannot read the control configuration $CONTROL_CONFIG"
    CONTROL_CONFIG="$(cd "$(dirname "$CONTROL_CONFIG")" && pwd)/$(basename "$CONTROL_CONFIG")"
    mkdir -p "$RUN_DIR" || die "cannot create the run directory $RUN_DIR"
    RUN_DIR="$(cd "$RUN_DIR" && pwd)"
    ENV_FILE="$RUN_DIR/farm.env"
    PID_FILE="$RUN_DIR/farm.pids"
    [[ -n "$EVENTS_FILE" ]] || EVENTS_FILE="$RUN_DIR/events.jsonl"
    rm -f "$ENV_FILE" "$ENV_FILE.tmp"
    : >"$PID_FILE"

    start_broker
    "$provision" --url "$URL" "${WORK_QUEUES[@]}" >"$RUN_DIR/provision.log" 2>&1 ||
        abort_start "qz-av-provision failed:
$(cat "$RUN_DIR/provision.log")"
    say "$(tail -n 1 "$RUN_DIR/provision.log")"
    {
        echo "QZ_FARM_URL=$URL"
        echo "QZ_FARM_RUN_DIR=$RUN_DIR"
        echo "QZ_FARM_PID_NATS_SERVER=$(awk '$1 == "nats-server" {print $2}' "$PID_FILE")"
    } >"$ENV_FILE.tmp"

    local name
    for name in "${SERVICES[@]}"; do
        if [[ ! -x "$BUILD_DIR/bin/$name" ]]; then
            say "$name is not built ($BUILD_DIR/bin/$name); not started"
            continue
        fi
        case "$name" in
            qz-av-control) start_service "$name" --config "$CONTROL_CONFIG" ;;
            qz-av-eventsink)
                if [[ -n "$EVENT_KEY" ]]; then
                    start_service "$name" --out "$EVENTS_FILE" --key "$EVENT_KEY"
                else
                    start_service "$name" --out "$EVENTS_FILE"
                fi
                ;;
            qz-av-quarantine) start_service "$name" --dir "$RUN_DIR/quarantine" ;;
            *) start_service "$name" ;;
        esac
    done
    ((GATEWAY == 0)) || start_gateway
    mv "$ENV_FILE.tmp" "$ENV_FILE"
    say "farm ready: QZ_FARM_URL=$URL (in $ENV_FILE); stop with: scripts/farm.sh stop${RUN_DIR:+ --run-dir $RUN_DIR}"
}

case "$COMMAND" in
    start) start_farm ;;
    stop) stop_farm ;;
    status) status_farm ;;
esac
