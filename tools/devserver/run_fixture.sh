#!/bin/sh
# Start or stop the local test service for a test run (ctest fixture pair):
# `movu-devserver test-service`, the native build's program.
#   run_fixture.sh start DIR [--extra-san NAME ...]
#   run_fixture.sh stop DIR
# The service writes DIR/control.port once it is ready; test programs find it
# through MOVU_TESTSERVICE_DIR=DIR. MOVU_DEVSERVER names the program (default:
# the native preset's). Plain POSIX sh: ctest runs it with `sh`.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
server=${MOVU_DEVSERVER:-$here/../../build/native/bin/movu-devserver}
start_timeout=20
stop_timeout=10

die() { echo "run_fixture: $*" >&2; exit 1; }

usage() { die "usage: $0 start DIR [--extra-san NAME ...] | stop DIR"; }

# True when PID is alive and is a test service (a reused pid must not be hit).
is_service() {
    case "$1" in '' | *[!0-9]*) return 1 ;; esac
    [ -r "/proc/$1/cmdline" ] || return 1
    tr '\0' ' ' <"/proc/$1/cmdline" | grep -q "movu-devserver test-service"
}

# True while PID runs; an exited process that is not yet reaped (zombie) counts as gone.
alive() {
    kill -0 "$1" 2>/dev/null || return 1
    state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$1/status" 2>/dev/null || true)
    [ -n "$state" ] && [ "$state" != Z ]
}

stop_pid() {
    kill -TERM "$1" 2>/dev/null || return 0
    tenths=0
    while alive "$1"; do
        if [ "$tenths" -ge $((stop_timeout * 10)) ]; then
            echo "run_fixture: service $1 ignored SIGTERM for ${stop_timeout}s; killing it" >&2
            kill -KILL "$1" 2>/dev/null || true
            break
        fi
        sleep 0.1
        tenths=$((tenths + 1))
    done
}

show_log() {
    if [ -s "$dir/service.log" ]; then
        echo "--- $dir/service.log (last lines) ---" >&2
        tail -n 30 "$dir/service.log" >&2
    fi
}

cmd_start() {
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    # A service left behind by an earlier, interrupted run of this fixture.
    if [ -f "$dir/service.pid" ] && is_service "$(cat "$dir/service.pid")"; then
        echo "run_fixture: stopping leftover service $(cat "$dir/service.pid")" >&2
        stop_pid "$(cat "$dir/service.pid")"
    fi
    rm -f "$dir/control.port" "$dir/service.pid"

    [ -x "$server" ] || die "$server not found: build the movu-devserver target (or set MOVU_DEVSERVER)"
    nohup "$server" test-service --state-dir "$dir" "$@" \
        >"$dir/service.log" 2>&1 </dev/null &
    pid=$!
    tenths=0
    while [ ! -s "$dir/control.port" ]; do
        if ! alive "$pid"; then
            show_log
            die "test service exited during start-up (see $dir/service.log)"
        fi
        if [ "$tenths" -ge $((start_timeout * 10)) ]; then
            stop_pid "$pid"
            show_log
            die "test service did not write $dir/control.port within ${start_timeout}s"
        fi
        sleep 0.1
        tenths=$((tenths + 1))
    done
    echo "test service running: pid $pid, control port $(cat "$dir/control.port"), MOVU_TESTSERVICE_DIR=$dir"
}

cmd_stop() {
    if [ ! -d "$dir" ]; then
        echo "run_fixture: $dir does not exist; nothing to stop"
        return 0
    fi
    if [ ! -f "$dir/service.pid" ]; then
        echo "run_fixture: no $dir/service.pid; service not running"
        return 0
    fi
    pid=$(cat "$dir/service.pid")
    if ! is_service "$pid"; then
        echo "run_fixture: pid $pid is not a running test service; removing stale files"
        rm -f "$dir/service.pid" "$dir/control.port"
        return 0
    fi
    stop_pid "$pid"
    rm -f "$dir/service.pid" "$dir/control.port"
    echo "test service stopped (pid $pid)"
}

[ $# -ge 2 ] || usage
action=$1
dir=$2
shift 2
case "$action" in
    start) cmd_start "$@" ;;
    stop) [ $# -eq 0 ] || usage; cmd_stop ;;
    *) usage ;;
esac
