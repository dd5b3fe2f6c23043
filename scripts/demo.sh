#!/usr/bin/env bash
# The movu_mt5 demo: builds the library and the `movu` host, starts the local
# movu-devserver on a free port, and walks one MQL5 program's life through the
# library, one step at a time. The service is stopped at the end, also after a
# failure or Ctrl-C.
#
#   scripts/demo.sh [--strict] [--no-build] [--no-setup] [--build-dir DIR] [--full]
#
#   --strict     stop at the first unexpected result code or missing output (CI)
#   --no-build   use an existing build (implies --no-setup)
#   --no-setup   do not run scripts/setup.sh
#   --build-dir  the build folder holding bin/movu (default build/native)
#   --full       print every output line (default: long outputs are trimmed)
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
strict=0 build=1 setup=1 full=0 build_dir=""

usage() { sed -n '2,14s/^# \{0,1\}//p' "$0"; }

while [ $# -gt 0 ]; do
  case "$1" in
    --strict) strict=1 ;;
    --no-build) build=0 setup=0 ;;
    --no-setup) setup=0 ;;
    --full) full=1 ;;
    --build-dir)
      [ $# -ge 2 ] || { echo "demo: --build-dir needs a folder" >&2; exit 2; }
      build_dir=$2; shift ;;
    --build-dir=*) build_dir=${1#*=} ;;
    -h|--help) usage; exit 0 ;;
    *) echo "demo: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
build_dir=${build_dir:-$root/build/native}
build_dir=$(mkdir -p "$build_dir" && cd "$build_dir" && pwd)

# ---- output helpers -----------------------------------------------------------
step_no=0 failures=0
bold=$'\e[1m' dim=$'\e[2m' plain=$'\e[0m'
[ -t 1 ] || bold="" dim="" plain=""

heading() { step_no=$((step_no + 1)); printf '\n%s== %d. %s%s\n' "$bold" "$step_no" "$1" "$plain"; }
say() { printf '%s\n' "$@" | fold -s -w 88; }

# Shows a file's lines indented, only the first ones when it is long.
show() {
  local file=$1 limit=${2:-16} total
  total=$(wc -l <"$file")
  if [ "$full" = 1 ] || [ "$total" -le $((limit + 2)) ]; then
    sed 's/^/    /' "$file"
  else
    head -n "$limit" "$file" | sed 's/^/    /'
    printf '    %s... (%d more lines; --full shows everything)%s\n' "$dim" $((total - limit)) "$plain"
  fi
}

problem() {
  failures=$((failures + 1))
  printf '%sdemo: UNEXPECTED: %s%s\n' "$bold" "$*" "$plain" >&2
  if [ "$strict" = 1 ]; then
    echo "demo: stopping (--strict)" >&2
    exit 1
  fi
}
fatal() { printf 'demo: %s\n' "$*" >&2; exit 1; }

# ---- the service is always stopped --------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/movu-demo.XXXXXX") || fatal "cannot make a temp folder"
server_pid=""
stop_server() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  server_pid=""
}
cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  stop_server
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted" >&2; exit 130' INT TERM

# ---- set up and build ----------------------------------------------------------
printf '%smovu_mt5 demo%s: one MQL5 program'"'"'s life through the library, against a local service\n' "$bold" "$plain"

if [ "$setup" = 1 ]; then
  printf '\n%s-- setup: scripts/setup.sh (installs only what is missing)%s\n' "$dim" "$plain"
  "$root/scripts/setup.sh" || fatal "scripts/setup.sh failed"
fi
if [ "$build" = 1 ]; then
  log=$work/build.log
  printf '%s-- build: cmake --preset native, then the targets movu_mt5, movu and movu-devserver (output shown only on failure)%s\n' "$dim" "$plain"
  (
    cd "$root" || exit 1
    if [ -f "$build_dir/CMakeCache.txt" ]; then
      :
    elif [ "$build_dir" = "$root/build/native" ]; then
      cmake --preset native
    else
      cmake -S "$root" -B "$build_dir" -G Ninja -DMOVU_SECONDARY_HOST=secondary.movu.test
    fi && cmake --build "$build_dir" --target movu_mt5 movu movu-devserver
  ) >"$log" 2>&1 || { tail -n 40 "$log" >&2; fatal "the build failed"; }
fi

movu_bin=$build_dir/bin/movu
library=$build_dir/bin/libmovu_mt5.so
[ -x "$movu_bin" ] || fatal "$movu_bin not found: build first (or drop --no-build)"
[ -f "$library" ] || fatal "$library not found: build first (or drop --no-build)"

# ---- start the service -----------------------------------------------------------
devserver=$build_dir/bin/movu-devserver
[ -x "$devserver" ] || fatal "$devserver not found: build first (or drop --no-build)"
server_log=$work/server.log
port_file=$work/server.port
"$devserver" --port 0 --port-file "$port_file" --parent-pid $$ >"$server_log" 2>&1 </dev/null &
server_pid=$!
for _ in $(seq 300); do
  [ -s "$port_file" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$server_log" >&2; fatal "movu-devserver exited during start-up"; }
  sleep 0.1
done
[ -s "$port_file" ] || { cat "$server_log" >&2; fatal "movu-devserver did not start within 30 s"; }
port=$(cat "$port_file")
base_url=http://127.0.0.1:$port
printf '%s-- movu-devserver (sample data) runs on %s, pid %s%s\n' "$dim" "$base_url" "$server_pid" "$plain"

data=$work/terminal
secret=demo-product-secret
settings=(--base-url "$base_url" --data-path "$data" --secret "$secret")
identity=(--account 51234567 --platform MT5 --broker SampleBroker --server SampleBroker-Demo --client-version 1.0.0)
cache_dir=$data/MQL4/Files/qz_movu
log_mark=0

# A word as a reader would type it: bare when safe, else in single quotes.
quote() {
  case "$1" in
    "" | *[!A-Za-z0-9_./:=@%+,-]*) printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")" ;;
    *) printf '%s' "$1" ;;
  esac
}

# Runs movu with the settings and identity, shows the command, its output and
# what the server saw. Sets $out (output file) and $rc.
out=$work/out.txt
movu() {
  local shown=""
  for a in "$@"; do shown+=" $(quote "$a")"; done
  local prefix='$SETTINGS $IDENTITY'
  [ ${#settings[@]} -gt 0 ] || prefix='$IDENTITY'
  printf '  %s$ movu %s%s%s\n' "$bold" "$prefix" "$shown" "$plain"
  "$movu_bin" --library "$library" "${settings[@]}" "${identity[@]}" "$@" >"$out" 2>&1
  rc=$?
  show "$out" "${limit:-16}"
  server_saw
}
# The request lines the server logged since the last look.
server_saw() {
  local lines
  lines=$(grep -E '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} ' "$server_log" | tail -n +$((log_mark + 1)))
  log_mark=$(grep -cE '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} ' "$server_log")
  [ -n "$lines" ] && printf '%s\n' "$lines" | sed "s/^/    ${dim}server: /;s/\$/${plain}/"
  seen=$lines
}
expect_rc() { [ "$rc" = "${1:-0}" ] || problem "step $step_no: movu exited with $rc, expected ${1:-0}"; }
expect_out() { grep -qF -- "$1" "$out" || problem "step $step_no: the output lacks '$1'"; }
expect_seen() { printf '%s\n' "$seen" | grep -qE -- "$1" || problem "step $step_no: the server log lacks /$1/"; }

say "" "Every movu run is one process, like one terminal session, so each repeats the settings:"
printf '  SETTINGS = %s\n  IDENTITY = %s\n' "${settings[*]}" "${identity[*]}"

# ---- 1 -------------------------------------------------------------------------------
heading "The program starts: it tells the library where the service is, where the terminal keeps its files, and its product secret"
say "An expert advisor does this in OnInit(). Setters return nothing; they only store."
settings_saved=("${settings[@]}"); settings=()
movu set-base-url --base-url "$base_url" --then set-data-path --data-path "$data" --then set-secret --secret "$secret"
settings=("${settings_saved[@]}")
expect_rc; expect_out "Movu_SetBaseUrl: applied"; expect_out "Movu_SetTerminalDataPath: applied"

# ---- 2 -------------------------------------------------------------------------------
heading "The first signed call fetches a token and keeps it in a protected cache file"
say "Before: $( [ -d "$cache_dir" ] && echo "the cache folder exists" || echo "no cache folder under the data path yet")."
limit=8 movu calendar-day --date 2024-03-05
expect_rc; expect_out "Movu_CalendarDay: 0 ok"
expect_seen 'GET /v1/client/token.php 200'
expect_seen 'GET /v1/calendar/day.php\?date=2024-03-05 200'
cache_file=$(ls "$cache_dir"/token_*.dat 2>/dev/null | head -n 1)
if [ -n "$cache_file" ] && [[ $(basename "$cache_file") =~ ^token_[0-9a-f]{16}\.dat$ ]]; then
  say "After: the token is cached for the account in" "  ${cache_file#"$work"/}  ($(wc -c <"$cache_file") bytes, protected for this user: $(head -c 24 "$cache_file")...)"
else
  problem "step $step_no: no token_<16 hex digits>.dat under $cache_dir"
fi

# ---- 3 -------------------------------------------------------------------------------
heading "The calendar of a day, into an 8-bit buffer, from a new process"
say "A new process (a restarted terminal) finds the token in the cache file: no token request this time."
limit=14 movu calendar-day --narrow --date 2024-03-08
expect_rc; expect_out "Movu_CalendarDayA: 0 ok"; expect_out '"sample": true'
if printf '%s\n' "$seen" | grep -q 'token.php'; then problem "step $step_no: the token was fetched again instead of read from the cache"; fi

# ---- 4 -------------------------------------------------------------------------------
heading "Calendar metadata: currencies, importance levels, sources"
limit=14 movu calendar-meta
expect_rc; expect_out '"importance_levels"'

# ---- 5 -------------------------------------------------------------------------------
since=1709640000  # 2024-03-05 12:00 UTC
heading "What changed on 2024-03-05 since 12:00 UTC (unix time $since)"
say "The program keeps the time of its last look and asks only for what changed after it."
limit=14 movu calendar-changes --date 2024-03-05 --since "$since"
expect_rc; expect_out "Movu_CalendarChanges: 0 ok"; expect_seen "changes.php\\?date=2024-03-05&since=$since 200"

# ---- 6 -------------------------------------------------------------------------------
heading "A heartbeat: the program reports its state (POST of a JSON body)"
movu heartbeat --payload '{"equity":10250.75,"open_positions":3,"ea":"SampleEA"}'
expect_rc; expect_out '"open_positions": 3'

# ---- 7 -------------------------------------------------------------------------------
heading "The account's VIP status"
movu vip-status
expect_rc; expect_out '"level"'

# ---- 8 -------------------------------------------------------------------------------
heading "Background jobs: the terminal's thread never waits for the network"
say "Start a job, poll it every 50 ms until it has finished, take the text, release the job:"
limit=10 movu start-calendar-day --date 2024-03-05 --wait
expect_rc; expect_out "state 1 succeeded"; expect_out "Movu_Cancel(job 1): 0 ok"
say "" "Jobs live in the process, so start, poll and cancel run in one movu run (steps joined by --then):"
limit=40 movu start-vip-status --then start-register --narrow \
  --then poll --job 1 --then poll --job 1 --wait --then poll --job 2 --wait \
  --then cancel --job 1 --then cancel --job 2 --then poll --job 1 --expect -2
expect_rc; expect_out "Movu_StartRegisterA: 0 ok; job 2"; expect_out "Movu_PollA(job 2): 0 ok; state 1 succeeded"
expect_out "Movu_PollA(job 1): -2 no job with this id"
say "The first poll may find the job still running (state 0) or done already; a released job is gone (-2)."

# ---- 9 -------------------------------------------------------------------------------
heading "A revoked token: the service answers 401, the library renews the token once and retries"
printf '  %s$ movu-devserver revoke --port %s%s\n' "$bold" "$port" "$plain"
"$devserver" revoke --port-file "$port_file" >"$out" 2>&1 || problem "step $step_no: revoke failed"
show "$out"
server_saw >/dev/null
movu vip-status
expect_rc; expect_out "Movu_VipStatus: 0 ok"
renewal=$(printf '%s\n' "$seen" | grep -oE '(vip_status\.php|token\.php) [0-9]+' | tr '\n' ' ')
if [ "$renewal" != "vip_status.php 401 token.php 200 vip_status.php 200 " ]; then
  problem "step $step_no: expected the server to see 401, a new token, then 200; it saw: $renewal"
else
  say "The call succeeded: the server saw the 401, a new token request, and the retried request."
fi

# ---- 10 ------------------------------------------------------------------------------
heading "Text protection: keep a secret in a file without keeping it in clear"
plain_text="broker password: s3cret!"
limit=4 movu protect --text "$plain_text"
expect_rc
blob=$(sed -n 2p "$out")
[ -n "$blob" ] || problem "step $step_no: protect gave no text"
limit=4 movu --raw unprotect --text "$blob"
expect_rc
back=$(sed -n 2p "$out")
if [ "$back" = "$plain_text" ]; then
  say "Round trip: the text came back unchanged; only this user on this machine can read the blob."
else
  problem "step $step_no: unprotect gave '$back', not '$plain_text'"
fi

# ---- end -----------------------------------------------------------------------------
heading "The program ends; the demo stops the service"
stop_server
tail -n 1 "$server_log" | sed 's/^/    /'

if [ "$failures" -gt 0 ]; then
  printf '\n%sdemo: %d unexpected result(s); see above.%s\n' "$bold" "$failures" "$plain" >&2
  exit 1
fi
printf '\n%sdemo: done, every step gave the expected result.%s\n' "$bold" "$plain"
