#!/usr/bin/env bash
# Prints test lines over code lines: non-blank lines that are not whole-line
# comments. Tests: tests/ and fuzz/ (not the seed corpus). Code: src/,
# include/, tools/, MQL5/, scripts/, cmake/ (templates included), the build
# presets and every CMakeLists.txt outside tests/, fuzz/ and bench/.
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  git ls-files | grep -E '\.(c|cc|cpp|h|hpp|mqh|mq5|py|sh|cmake|in)$|CMakeLists\.txt$|CMakePresets\.json$' |
    grep -E "$1" | grep -vE "${2:-^$}" | tr '\n' '\0' |
    xargs -0 cat 2>/dev/null | grep -cvE '^\s*($|//|#[^a-z!])' || true
}

tests=$(count '^(tests/|fuzz/)' '^fuzz/corpus/')
code=$(count '^(src/|include/|tools/|MQL5/|scripts/|cmake/)|(^|/)CMakeLists\.txt$|^CMakePresets\.json$' '^(tests|fuzz|bench)/')
echo "test/code lines: $tests / $code = $((100 * tests / code))%"
