#!/usr/bin/env bash
# Counts how many small, realistic faults the native suites catch. Each fault
# is applied alone, in place, to one source file (restored afterwards, also on
# interruption); its build is rebuilt incrementally and the unit, api and
# unload suites run through ctest (so the far side is started as for any
# run). A fault is caught when a suite fails; a run that hits the time limit
# is reported as timed out, neither caught nor missed. Ends with one line:
# "N caught, N missed, N timed out, N not applicable".
#
#   scripts/mutants.sh [--build-dir DIR] [--limit SECONDS] [--all] [NAME...]
#
# --all runs every test under each fault (no stop at the first failure) and
# names each test that caught it: the map to keep when tests are merged.
#
# Most faults run against the native build (DIR, default build/native). A
# fault only a race can show (a lock left out) names the ThreadSanitizer
# build, where the race is reported whenever the two accesses are unordered,
# not only when they collide. Before scoring, each build runs its suites
# unchanged twice: a suite that fails without a fault would score as a catch.
#
# A fault whose original text is no longer in its file (or that no longer
# builds) is "not applicable" and printed, so that its entry can be updated.
# The list: NAME @@ FILE @@ ORIGINAL @@ REPLACEMENT [@@ PRESET], "⏎" standing
# for a line break; the first occurrence of ORIGINAL is replaced.
set -uo pipefail
cd "$(dirname "$0")/.."

build=build/native
limit=900
fast=1
only=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; shift 2 ;;
    --limit) limit=$2; shift 2 ;;
    --all) fast=0; shift ;;
    -h | --help) sed -n '2,25p' "$0"; exit 0 ;;
    *) only+=("$1"); shift ;;
  esac
done

read -r -d '' FAULTS <<'EOF'
expiry-margin @@ src/token/client_token.cpp @@ now + 300 @@ now + 30
cache-owner-unset @@ src/token/token_cache.cpp @@ held.ownerAccount.assign(account.data(), account.size()); @@ (void)account;
offset-sign @@ src/token/client_token.cpp @@ sign = s[19] == '+' ? 1 : -1; @@ sign = s[19] == '+' ? -1 : 1;
cache-folder @@ src/token/token_cache.cpp @@ JoinPath(dataPath, "MQL4") @@ JoinPath(dataPath, "MQL5")
query-unreserved @@ src/transport/query_params.cpp @@ c == '_' || c == '~'; @@ c == '_' || c == '~' || c == ' ';
query-hex-case @@ src/platform/ascii.h @@ kUpperHex[] = "0123456789ABCDEF" @@ kUpperHex[] = "0123456789abcdef"
query-order @@ src/transport/query_params.cpp @@ return a.first < b.first; @@ return a.first > b.first;
query-decode-end @@ src/transport/query_params.cpp @@ i + 2 < text.size() @@ i + 3 < text.size()
url-port-max @@ src/settings/base_url.cpp @@ port > 65535 @@ port > 65536
url-default-port @@ src/settings/base_url.cpp @@ secure ? 443 : 80 @@ secure ? 80 : 443
url-user-part @@ src/settings/base_url.cpp @@ authority.rfind('@') @@ authority.find('@')
url-pin-case @@ src/transport/http_exchange.cpp @@ ascii::EqualsIgnoreCase(baseUrl.host, pin.host) @@ baseUrl.host == pin.host
failover-order @@ src/settings/client_settings.cpp @@ s.baseUrls.push_back(MakeBaseUrl(DefaultSecondaryBaseUrl()));⏎    s.baseUrls.push_back(MakeBaseUrl(DefaultPrimaryBaseUrl())); @@ s.baseUrls.push_back(MakeBaseUrl(DefaultPrimaryBaseUrl()));⏎    s.baseUrls.push_back(MakeBaseUrl(DefaultSecondaryBaseUrl()));
secondary-first-dropped @@ src/settings/client_settings.cpp @@ if (order == BaseUrlOrder::SecondaryHostFirst) SecondaryHostFirst(urls); @@ (void)order;
token-429-next-url @@ src/token/acquire_token.cpp @@ status == 401 || status == 429 || status >= 500 @@ status == 401 || status >= 500
current-url-kept @@ src/token/acquire_token.cpp @@ StoreCurrentBaseUrl(url); @@ (void)url;
token-500-stop @@ src/token/acquire_token.cpp @@ status == 429 || status >= 500 @@ status == 429 || status > 500
token-utf8-fetched @@ src/token/acquire_token.cpp @@ fetched = ValidUtf8(fetched); @@ (void)0;
token-utf8-loaded @@ src/token/token_cache.cpp @@ held.token = ValidUtf8(token); @@ held.token = std::move(token);
renewal-dropped @@ src/requests/signed_request.cpp @@ out.exchangeCode == kOk && out.status == 401 @@ false && out.status == 401
refused-token-offered @@ src/requests/signed_request.cpp @@ AcquireToken(request.identity, renewed, token) @@ AcquireToken(request.identity, renewed, {})
status-2xx-range @@ src/transport/http_exchange.cpp @@ status >= 200 && status <= 299 @@ status >= 200 && status < 299
client-token-header @@ src/requests/signed_request.cpp @@ "X-Client-Token @@ "X-Client-Tokn
header-control-chars @@ src/transport/header_fields.cpp @@ if (c >= 0x20 && c != 0x7F) out.push_back(ch); @@ if (c != 0x0D && c != 0x0A) out.push_back(ch);
envelope-member @@ src/transport/http_exchange.cpp @@ "base_url" @@ "baseurl"
envelope-port @@ src/transport/http_exchange.cpp @@ if (step == platform::ExchangeStep::Connect) { @@ if (step == platform::ExchangeStep::Send) {
send-code @@ src/transport/http_exchange.cpp @@ return kSendFailed; @@ return kReceiveFailed;
tls-range @@ src/platform/posix/http_exchange_curl.cpp @@ CURL_SSLVERSION_MAX_TLSv1_2 @@ CURL_SSLVERSION_MAX_DEFAULT
job-id-wrap @@ src/jobs/job_table.cpp @@ nextJobId = id == INT32_MAX ? 1 : id + 1; @@ nextJobId = id == INT32_MAX ? 0 : id + 1;
job-id-reuse @@ src/jobs/job_table.cpp @@ while (jobs.count(id) != 0) @@ while (false && jobs.count(id) != 0)
job-state @@ src/jobs/job_table.cpp @@ code == kOk ? kJobSucceeded : kJobFailed @@ kJobSucceeded
worker-failure-code @@ src/jobs/job_table.cpp @@ job.resultCode = kInternalError; @@ job.resultCode = -1;
copy-capacity @@ src/api/text.cpp @@ if (n >= static_cast<std::size_t>(capacity)) n = static_cast<std::size_t>(capacity) - 1;⏎    if (n > 0) std::memcpy(out, utf8.data(), n); @@ if (n > static_cast<std::size_t>(capacity)) n = static_cast<std::size_t>(capacity);⏎    if (n > 0) std::memcpy(out, utf8.data(), n);
start-empty-code @@ src/jobs/job_exports.cpp @@ if (request.path.empty() || request.method.empty()) return kArgumentEmpty; @@ if (request.path.empty() || request.method.empty()) return kNoAccount;
lock-left-out @@ src/jobs/job_table.cpp @@ std::lock_guard<std::mutex> lock(ProcessLock());⏎    auto it = Jobs().find(jobId);⏎    if (it == Jobs().end()) return kNoJob;⏎    const AsyncJob& job @@ auto it = Jobs().find(jobId);⏎    if (it == Jobs().end()) return kNoJob;⏎    const AsyncJob& job @@ native-tsan
trim-end @@ src/api/text.cpp @@ end = lead; @@ break;
wide-copy-capacity @@ src/api/text.cpp @@ if (n > 0) std::memcpy(out, wide.data(), n * sizeof(char16_t)); @@ if (n > 0) std::memcpy(out, wide.data(), n * sizeof(char16_t));⏎    if (n + 1 < static_cast<std::size_t>(capacity)) ++n;
clear-out-capacity @@ src/token/text_protection_exports.cpp @@ if (out && capacity >= 1) out[0] = '\0'; @@ if (out) out[0] = '\0';
unprotect-code @@ src/token/text_protection_exports.cpp @@ DecodeFailed: return movu::kNotBase64; @@ DecodeFailed: return movu::kUnprotectFailed;
open-url-blank @@ src/api/open_url_exports.cpp @@ if (target.empty()) return movu::kArgumentMissing; @@ if (target.size() > 4096) return movu::kArgumentMissing;
EOF

backup=$(mktemp -d)
current=""
restore() {
  if [ -n "$current" ]; then
    cp "$backup/file" "$current"
    current=""
  fi
}
trap 'restore; rm -rf "$backup"' EXIT
trap 'exit 130' INT TERM

targets=(movu_unit_tests movu_api_tests movu_api_hook_tests movu_unload_test)
# Each case of the suites is a ctest test of its own: "movu_unit_tests.Suite.Case".
suites="^($(IFS='|'; echo "${targets[*]}"))\\."

# The build of a fault: its folder, and the ctest command for its suites
# there (the ThreadSanitizer preset brings its options, suppressions included).
build_dir() { if [ "$1" = native ]; then echo "$build"; else echo "build/$1"; fi; }
suites_command() {  # PRESET: sets cmd
  if [ "$1" = native ]; then
    cmd=(ctest --test-dir "$build" -R "$suites" -j2)
  else
    cmd=(ctest --preset "$1" -R "$suites" -j2)
  fi
}

# One entry of the list into name, file, original, replacement and preset;
# false when the entry is not selected.
parse_fault() {
  local rest
  name=${1%% @@ *}; rest=${1#* @@ }
  file=${rest%% @@ *}; rest=${rest#* @@ }
  original=${rest%% @@ *}; rest=${rest#* @@ }
  replacement=${rest%% @@ *}
  preset=native
  [ "$replacement" != "$rest" ] && preset=${rest#* @@ }
  [ ${#only[@]} -eq 0 ] || [[ " ${only[*]} " == *" $name "* ]]
}

# The builds the selected faults need, each built and run unchanged twice.
presets=()
while IFS= read -r line; do
  [ -n "$line" ] && parse_fault "$line" || continue
  [[ " ${presets[*]} " == *" $preset "* ]] || presets+=("$preset")
done <<<"$FAULTS"

for preset in "${presets[@]}"; do
  dir=$(build_dir "$preset")
  [ -f "$dir/build.ninja" ] || cmake --preset "$preset" >/dev/null || exit 1
  echo "baseline ($preset): building and running the suites unchanged, twice"
  # The far side too: a fresh build folder has not built it yet.
  cmake --build "$dir" -j2 --target "${targets[@]}" movu-devserver >/dev/null ||
    { echo "baseline ($preset) does not build"; exit 1; }
  suites_command "$preset"
  for round in 1 2; do
    start=$(date +%s)
    "${cmd[@]}" >"$dir/mutants-baseline-$round.log" 2>&1 ||
      { echo "baseline ($preset) fails in round $round (see $dir/mutants-baseline-$round.log)"; exit 1; }
    echo "baseline ($preset) round $round passes in $(($(date +%s) - start))s"
  done
done

caught=0 missed=0 timedout=0 na=0
missed_names=() timedout_names=() na_names=()
report="$build/mutants.txt"
mkdir -p "$build"
: >"$report"
while IFS= read -r line; do
  [ -n "$line" ] && parse_fault "$line" || continue
  dir=$(build_dir "$preset")

  if [ -f "$file" ]; then cp "$file" "$backup/file"; current=$file; fi
  applied=$(MUT_FILE="$file" MUT_FROM="$original" MUT_TO="$replacement" python3 - <<'PY'
import os
path, old, new = (os.environ[k].replace("⏎", "\n") for k in ("MUT_FILE", "MUT_FROM", "MUT_TO"))
try:
    text = open(path, encoding="utf-8").read()
except OSError:
    print("no such file"); raise SystemExit
if old not in text:
    print("original not found"); raise SystemExit
open(path, "w", encoding="utf-8").write(text.replace(old, new, 1))
print("ok")
PY
)
  if [ "$applied" != ok ]; then
    current=""  # the file is unchanged
    echo "N/A     $name: $applied in $file: $original" | tee -a "$report"
    na=$((na + 1)); na_names+=("$name"); continue
  fi

  if ! cmake --build "$dir" -j2 --target "${targets[@]}" >"$dir/mutant-build.log" 2>&1; then
    echo "N/A     $name: does not build ($file)" | tee -a "$report"
    na=$((na + 1)); na_names+=("$name")
    restore; continue
  fi
  start=$(date +%s)
  log="$dir/mutant-run.log"
  suites_command "$preset"
  if [ $fast -eq 1 ]; then
    GTEST_FAIL_FAST=1 timeout -k 10 "$limit" "${cmd[@]}" --stop-on-failure >"$log" 2>&1
  else
    timeout -k 10 "$limit" "${cmd[@]}" >"$log" 2>&1
  fi
  rc=$?
  took=$(($(date +%s) - start))
  if [ $rc -eq 124 ] || [ $rc -eq 137 ] || grep -q '\*\*\*Timeout' "$log"; then
    # Neither caught nor missed: a suite that never finished shows nothing.
    echo "TIMEOUT $name ($preset, ${took}s, limit ${limit}s): $file: $original -> $replacement" | tee -a "$report"
    timedout=$((timedout + 1)); timedout_names+=("$name")
  elif [ $rc -ne 0 ]; then
    why=$(grep -oE '[0-9]+ - movu_[a-z_]+\.[A-Za-z0-9_.]+ \([A-Za-z]+\)' "$log" | head -1)
    if [ $fast -eq 0 ]; then
      why=$(grep -ohE '^\[  FAILED  \] [A-Za-z0-9_/.]+' "$dir/Testing/Temporary/LastTest.log" |
        awk '{print $4}' | grep -vE '^[0-9]+$' | sort -u | tr '\n' ' ')
    fi
    grep -q 'WARNING: ThreadSanitizer' "$log" && why="${why:+$why; }ThreadSanitizer report"
    echo "caught  $name ($preset, ${took}s; ${why:-failed})" | tee -a "$report"
    caught=$((caught + 1))
  else
    echo "MISSED  $name ($preset, ${took}s): $file: $original -> $replacement" | tee -a "$report"
    missed=$((missed + 1)); missed_names+=("$name")
  fi
  restore
done <<<"$FAULTS"

# Leave the builds matching the sources again.
for preset in "${presets[@]}"; do
  cmake --build "$(build_dir "$preset")" -j2 --target "${targets[@]}" >/dev/null 2>&1
done
[ ${#missed_names[@]} -eq 0 ] || echo "missed: ${missed_names[*]}"
[ ${#timedout_names[@]} -eq 0 ] || echo "timed out: ${timedout_names[*]}"
[ ${#na_names[@]} -eq 0 ] || echo "not applicable: ${na_names[*]}"
echo "$caught caught, $missed missed, $timedout timed out, $na not applicable" | tee -a "$report"
