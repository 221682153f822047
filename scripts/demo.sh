#!/usr/bin/env bash
# One order round trip, end to end, on this machine: a broker (mosquitto), cee-agent, and
# logger-sim standing in for the logger application's local HTTP interface. Two orders are
# published the way the central server sends them; for each the script shows the order, the
# request the logger application received, the answer the agent published and the row the agent
# recorded in its database.
#
# Usage: scripts/demo.sh
# Exit status 0 when every order was answered with data.result "success", non-zero otherwise.
#
# Everything the demo writes goes to ./demo-run/ (wiped at each run). Environment:
#   CEE_BUILD_DIR=DIR        build folder (default: build, the one scripts/test.sh uses)
#   CEE_DEMO_SKIP_BUILD=1    do not install packages, configure or build (the binaries exist)
#   CEE_DEMO_DIR=DIR         scratch folder instead of ./demo-run (wiped too)
#   CEE_DEMO_WAIT_S=N        upper bound of each wait in seconds (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

BUILD_DIR=${CEE_BUILD_DIR:-build}
case $BUILD_DIR in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac
RUN=${CEE_DEMO_DIR:-$ROOT/demo-run}
case $RUN in /*) ;; *) RUN=$ROOT/$RUN ;; esac
WAIT_S=${CEE_DEMO_WAIT_S:-30}

AGENT=$BUILD_DIR/src/agent/cee-agent
SIM=$BUILD_DIR/tools/logger-sim/logger-sim
PLATFORM=demo-pv
SUBSTRATE_CODE=DEMO-0001
CLIENT_ID=demo-terminal
TOPIC_SUB=cee/order
TOPIC_PUB=cee/$CLIENT_ID/answer

die() {
    echo >&2
    if [ -s "${RUN:-}/log/cee.log" ]; then
        echo "-- last lines of the agent's log ($RUN/log/cee.log):" >&2
        tail -n 15 "$RUN/log/cee.log" >&2
    fi
    echo "demo: FAILED: $*" >&2
    exit 1
}

# ---------------------------------------------------------------------------------------------
# Processes started here, stopped on every way out

PIDS=()
NAMES=()

stop_all() {
    local i pid deadline
    # Newest first: the watcher and the agent before the broker they talk to.
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        pid=${PIDS[i]}
        kill -0 "$pid" 2>/dev/null || continue
        kill -TERM "$pid" 2>/dev/null || true
        deadline=$((SECONDS + 10))
        while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null; then
            echo "demo: ${NAMES[i]} (pid $pid) did not stop on SIGTERM, killing it" >&2
            kill -KILL "$pid" 2>/dev/null || true
        fi
        wait "$pid" 2>/dev/null || true
    done
    PIDS=()
    NAMES=()
}
trap 'stop_all' EXIT
trap 'echo "demo: interrupted" >&2; exit 130' INT
trap 'echo "demo: terminated" >&2; exit 143' TERM

# started NAME: records the last background job for stop_all.
started() {
    PIDS+=("$!")
    NAMES+=("$1")
}

# wait_for WHAT PID COMMAND...: runs COMMAND until it succeeds, for at most WAIT_S seconds;
# fails at once when process PID (0: none) has ended.
wait_for() {
    local what=$1 pid=$2 deadline=$((SECONDS + WAIT_S))
    shift 2
    until "$@"; do
        if [ "$pid" != 0 ] && ! kill -0 "$pid" 2>/dev/null; then
            die "while waiting for $what: the process ended (see $RUN)"
        fi
        if ((SECONDS >= deadline)); then
            die "gave up after ${WAIT_S} s waiting for $what (see $RUN)"
        fi
        sleep 0.1
    done
}

port_accepts() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
lines_at_least() { [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ]; }
file_has() { [ -f "$1" ] && grep -qF -- "$2" "$1"; }

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# ---------------------------------------------------------------------------------------------
# Build

rm -rf "$RUN"
mkdir -p "$RUN"
if [ "${CEE_DEMO_SKIP_BUILD:-0}" != 1 ]; then
    echo "== preparing: packages and build, a few minutes the first time (output in $RUN/build.log)"
    scripts/install-deps.sh
    if ! { cmake -S . -B "$BUILD_DIR" && cmake --build "$BUILD_DIR" -j"$(nproc)"; } \
        >"$RUN/build.log" 2>&1; then
        tail -n 40 "$RUN/build.log" >&2
        die "the build failed (full output in $RUN/build.log)"
    fi
fi
[ -x "$AGENT" ] || die "no agent binary at $AGENT"
[ -x "$SIM" ] || die "no logger-sim binary at $SIM"
for tool in mosquitto mosquitto_pub mosquitto_sub python3; do
    command -v "$tool" >/dev/null || die "$tool is not installed (run scripts/install-deps.sh)"
done

# ---------------------------------------------------------------------------------------------
# Helper for JSON, Base64, XML and the database (Python standard library only)

cat >"$RUN/show.py" <<'PY'
"""Builds the demo's orders and prints orders, requests, answers and database rows readably."""
import base64
import json
import re
import sqlite3
import sys


def indent(text, prefix="     "):
    return "\n".join(prefix + line for line in text.rstrip("\n").split("\n"))


def unescape(line):
    # logger-sim writes each body on one line: \\ for a backslash, \n and \r for line breaks.
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r"}.get(m.group(1), m.group(1)), line)


def decoded(value):
    try:
        return base64.b64decode(value).decode("utf-8", "replace")
    except ValueError as e:
        return "(not Base64: %s)" % e


def pretty(obj):
    text = json.dumps(obj, indent=2, ensure_ascii=False)
    # Short arrays of plain values on one line.
    return re.sub(r"\[\n\s*([^\[\]{}]*?)\n\s*\]",
                  lambda m: "[" + re.sub(r",\n\s*", ", ", m.group(1)) + "]", text)


def show_json(obj):
    print(indent(pretty(obj)))
    value = (obj.get("data") or {}).get("value") if isinstance(obj, dict) else None
    if isinstance(value, str):
        print("   data.value, Base64-decoded:")
        print(indent(decoded(value) or "(empty)", "       "))


def order(indicate, platform, terminal, request_file, timestamp):
    with open(request_file, "rb") as f:
        request = f.read()
    print(json.dumps({
        "order": {"type": "cmd", "indicate": indicate,
                  "target": {"platform": [platform], "group": ["all"],
                             "terminal": [terminal]}},
        "data": {"value": base64.b64encode(request).decode()},
        "timestamp": timestamp,
    }, separators=(",", ":")))


def answer(line, topic):
    """Prints the answer line of mosquitto_sub -v; exit status 0 only for a success."""
    received_topic, _, payload = line.rstrip("\n").partition(" ")
    print("   topic %s" % received_topic)
    try:
        obj = json.loads(payload)
    except ValueError:
        print(indent(payload))
        print("   (the answer is not JSON)")
        return 1
    show_json(obj)
    result = (obj.get("data") or {}).get("result") if isinstance(obj, dict) else None
    print("   data.result = %s" % json.dumps(result))
    return 0 if received_topic == topic and result == "success" else 1


def row(db, row_id):
    con = sqlite3.connect("file:%s?mode=ro" % db, uri=True)
    con.row_factory = sqlite3.Row
    r = con.execute("SELECT id, command_json, server_time_str, recv_xml, res_result, "
                    "res_error_str, res_result_str, res_http_time, create_time, update_time "
                    "FROM command_info WHERE id = ?", (row_id,)).fetchone()
    if r is None:
        print("   (no command_info row %s)" % row_id)
        return 1
    for key in r.keys():
        value = r[key]
        if isinstance(value, str) and key in ("recv_xml", "res_result_str"):
            value = re.sub(r">\s+<", "><", value.strip())  # the XML on one line
        print("   %-16s %s" % (key, "NULL" if value is None else repr(value)
                                if value == "" else value))
    return 0


if __name__ == "__main__":
    what = sys.argv[1]
    if what == "order":
        order(*sys.argv[2:7])
    elif what == "show-order":
        show_json(json.loads(sys.argv[2]))
    elif what == "show-request":
        print(indent(unescape(sys.argv[2]) or "(empty body)"))
    elif what == "show-answer":
        sys.exit(answer(sys.argv[2], sys.argv[3]))
    elif what == "show-row":
        sys.exit(row(sys.argv[2], int(sys.argv[3])))
    else:
        sys.exit("unknown request " + what)
PY
show() { python3 "$RUN/show.py" "$@"; }

# ---------------------------------------------------------------------------------------------
# Broker

start_broker() {
    BROKER_PORT=$(free_port)
    {
        echo "listener $BROKER_PORT 127.0.0.1"
        echo "allow_anonymous true"
        echo "persistence false"
        if [ "$(id -u)" -eq 0 ]; then echo "user root"; fi
    } >"$RUN/mosquitto.conf"
    mosquitto -c "$RUN/mosquitto.conf" >"$RUN/mosquitto.log" 2>&1 &
    started mosquitto
    local deadline=$((SECONDS + WAIT_S))
    until port_accepts "$BROKER_PORT"; do
        if ! kill -0 "${PIDS[-1]}" 2>/dev/null || ((SECONDS >= deadline)); then
            return 1
        fi
        sleep 0.1
    done
}
# The free port may be taken between choosing and binding it: try a few times.
for attempt in 1 2 3; do
    start_broker && break
    [ "$attempt" = 3 ] && { cat "$RUN/mosquitto.log" >&2; die "mosquitto did not start"; }
    stop_all
done

# ---------------------------------------------------------------------------------------------
# The logger application stand-in

# CEE_DEMO_SIM_ARGS: extra options of logger-sim (the demo's own test uses it to make the
# logger application fail).
# shellcheck disable=SC2086
"$SIM" --port 0 --battery on ${CEE_DEMO_SIM_ARGS:-} >"$RUN/logger-sim.out" 2>"$RUN/logger-sim.err" &
started logger-sim
SIM_PID=$!
wait_for "logger-sim to listen" "$SIM_PID" lines_at_least "$RUN/logger-sim.out" 1
SIM_PORT=$(sed -n '1s/^listening on \([0-9]*\)$/\1/p' "$RUN/logger-sim.out")
[ -n "$SIM_PORT" ] || die "logger-sim did not say its port"
SIM_URL=http://127.0.0.1:$SIM_PORT/

# ---------------------------------------------------------------------------------------------
# Settings of the agent: every path points into the scratch folder

mkdir -p "$RUN/log" "$RUN/db"
printf '#!/bin/sh\necho %s\n' "$SUBSTRATE_CODE" >"$RUN/substratecode-generator"
chmod +x "$RUN/substratecode-generator"
echo "GROUP=demo" >"$RUN/group"
cat >"$RUN/cee.conf" <<CONF
{
  "PLATFORM": "$PLATFORM",
  "CMD_SUBSTRATE_CODE": "$RUN/substratecode-generator",
  "SYSTEM_SETTING_XML_FILE": "$RUN/SystemSetting.xml",
  "FILE_GROUP": "$RUN/group",
  "LOG": { "LOG_DIR": "$RUN/log", "LOG_FILE": "cee.log" },
  "QMT_HTTP": { "URL": "$SIM_URL", "RETRY_NUM": 1, "RETRY_INTERVAL": 500,
                "CURL_TIMEOUT": 10, "CURL_CONNECT_TIMEOUT": 5 },
  "PKG_UPDATE": { "LIST_FILE_PATH": "$RUN/zorupdate", "REMOVE_PKG_DIR": "$RUN/repos/" },
  "DATABASE": { "DB_PATH": "$RUN/db", "DB_FILE": "cee_pkg_upd.db" },
  "SPOOL_DIR": "$RUN/spool"
}
CONF
cat >"$RUN/mqtt_if.conf" <<CONF
{
  "BROKER_URI": "tcp://127.0.0.1:$BROKER_PORT",
  "CLIENT_ID": "$CLIENT_ID",
  "TOPIC_SUB": "$TOPIC_SUB",
  "TOPIC_PUB": "cee/{client_id}/answer"
}
CONF

# ---------------------------------------------------------------------------------------------
# The agent

MQTT_IF_CONF=$RUN/mqtt_if.conf "$AGENT" --config "$RUN/cee.conf" \
    >"$RUN/cee-agent.out" 2>"$RUN/cee-agent.err" &
started cee-agent
AGENT_PID=$!
wait_for "the agent to wait for orders (in $RUN/log/cee.log)" "$AGENT_PID" \
    file_has "$RUN/log/cee.log" "=== Waiting to receive instructions from the server ==="

# The answer watcher. Its session is created and subscribed first (and kept by the broker), so
# no answer can slip past before the watcher below is connected.
timeout "$WAIT_S" mosquitto_sub -h 127.0.0.1 -p "$BROKER_PORT" -i demo-watcher -c -q 1 \
    -t "$TOPIC_PUB" -E || die "could not subscribe to $TOPIC_PUB"
mosquitto_sub -h 127.0.0.1 -p "$BROKER_PORT" -i demo-watcher -c -q 1 -t "$TOPIC_PUB" -v \
    >"$RUN/answers.txt" 2>"$RUN/mosquitto_sub.err" &
started mosquitto_sub
WATCH_PID=$!

cat <<EOF

== cee demo: the central server's order, through the agent, to the logger application and back

   broker            mosquitto on 127.0.0.1:$BROKER_PORT (orders on $TOPIC_SUB, answers on $TOPIC_PUB)
   logger app        logger-sim on $SIM_URL (a stand-in for the logger application)
   agent             ${AGENT#"$ROOT"/} --config ${RUN#"$ROOT"/}/cee.conf
                     (MQTT settings: MQTT_IF_CONF=${RUN#"$ROOT"/}/mqtt_if.conf)
                     platform $PLATFORM, group demo, substrate code $SUBSTRATE_CODE
   files             ${RUN#"$ROOT"/}/ (settings, log/cee.log, db/cee_pkg_upd.db)
EOF

# ---------------------------------------------------------------------------------------------
# The orders

cat >"$RUN/request-1.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<commandRequest id="1">
    <command>ReadFromEchonetDevice</command>
    <requestData>
        <p x="1">0x7D</p>
        <p x="2">0x000005</p>
        <p x="3">SB-DEMO-01</p>
        <p x="4">0x80</p>
    </requestData>
</commandRequest>
XML
cat >"$RUN/request-2.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<commandRequest id="2">
    <command>GetLatestMeasurementData</command>
    <requestData/>
</commandRequest>
XML

ORDERS=(ReadFromEchonetDevice GetLatestMeasurementData)
TERMINALS=("$SUBSTRATE_CODE" "*")
NOTES=("read the storage battery's operation status (class 0x7D, property 0x80), addressed to this terminal by its substrate code"
    "the latest measurement data, addressed to every terminal of the platform")
failures=0
for i in "${!ORDERS[@]}"; do
    n=$((i + 1))
    name=${ORDERS[i]}
    order=$(show order "$name" "$PLATFORM" "${TERMINALS[i]}" "$RUN/request-$n.xml" \
        "$(date -u '+%Y/%m/%d %H:%M:%S')")

    echo
    echo "== order $n of ${#ORDERS[@]}: $name — ${NOTES[i]}"
    echo
    echo "1. order sent to the broker (mosquitto_pub -q 1 -t $TOPIC_SUB)"
    show show-order "$order"
    mosquitto_pub -h 127.0.0.1 -p "$BROKER_PORT" -q 1 -t "$TOPIC_SUB" -m "$order" \
        || die "mosquitto_pub failed"

    wait_for "the logger application to receive request $n" "$AGENT_PID" \
        lines_at_least "$RUN/logger-sim.out" $((n + 1))
    echo
    echo "2. what the logger application received (HTTP POST to $SIM_URL)"
    show show-request "$(sed -n "$((n + 1))p" "$RUN/logger-sim.out")"

    wait_for "answer $n on $TOPIC_PUB" "$WATCH_PID" lines_at_least "$RUN/answers.txt" "$n"
    echo
    echo "3. answer published by the agent (the order rewritten: data.value now carries the"
    echo "   logger application's answer, the target arrays are gone, timestamp is the agent's UTC time)"
    if ! show show-answer "$(sed -n "${n}p" "$RUN/answers.txt")" "$TOPIC_PUB"; then
        echo "   !! this order was not answered with success"
        failures=$((failures + 1))
    fi

    echo
    echo "4. what the agent recorded (table command_info of ${RUN#"$ROOT"/}/db/cee_pkg_upd.db)"
    show show-row "$RUN/db/cee_pkg_upd.db" "$n" || failures=$((failures + 1))
done

echo
echo "== the agent's log: ${RUN#"$ROOT"/}/log/cee.log"
stop_all
if [ "$failures" -ne 0 ]; then
    echo "demo: FAILED: $failures of ${#ORDERS[@]} orders did not complete with success" >&2
    exit 1
fi
echo "== demo finished: all ${#ORDERS[@]} orders were answered with data.result \"success\""
