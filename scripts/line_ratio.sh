#!/usr/bin/env bash
# Prints test lines over code lines: non-blank lines that are not whole-line
# comments. Test code is what exists only for the tests, wherever it lives:
# tests/, fuzz/ (not the seed corpus), the dev server's scripted test-service
# mode and the PKI it makes for test sites, the scripts that run, fuzz, soak,
# mutate, summarise and check the suites, and the library's MOVU_TEST_HOOKS
# blocks. Code is the rest of src/, include/, tools/, MQL5/, scripts/, cmake/
# (templates included), the build presets and every CMakeLists.txt outside
# tests/, fuzz/ and bench/. A second line gives the library alone: tests/unit,
# tests/api, tests/unload, tests/support and the hooks over src/ and include/.
set -euo pipefail
cd "$(dirname "$0")/.."

git ls-files | python3 -c '
import re, sys

SOURCE = re.compile(r"\.(c|cc|cpp|h|hpp|mqh|mq5|py|sh|cmake|in)$|CMakeLists\.txt$|CMakePresets\.json$")
CODE = re.compile(r"^(src/|include/|tools/|MQL5/|scripts/|cmake/)|(^|/)CMakeLists\.txt$|^CMakePresets\.json$")
TEST = re.compile(r"^(tests/|fuzz/)|^tools/devserver/(suites|pki)\.(cpp|h)$|^tools/devserver/run_fixture\.sh$|"
                  r"^scripts/(test|fuzz|soak|mutants|check_layers)\.sh$|^scripts/(summarize_tests|check_layers)\.py$")
LIBRARY_TESTS = re.compile(r"^tests/(unit|api|unload|support)/")
COUNTED = re.compile(r"^\s*($|//|#[^a-z!])")

def lines(path):
    """(test lines, code lines) of one file: a hooks block counts as test."""
    try:
        text = open(path, encoding="utf-8", errors="replace").read().splitlines()
    except OSError:
        return 0, 0
    test = code = 0
    depth = 0  # inside #ifdef MOVU_TEST_HOOKS, counting nested #if
    for line in text:
        stripped = line.strip()
        if depth == 0 and stripped.startswith("#ifdef MOVU_TEST_HOOKS"):
            depth = 1
        elif depth and stripped.startswith("#if"):
            depth += 1
        elif depth and stripped.startswith("#endif"):
            depth -= 1
            test += 1
            continue
        if COUNTED.match(line):
            continue
        if depth:
            test += 1
        else:
            code += 1
    return test, code

tests = code = lib_tests = lib_code = 0
for path in sys.stdin.read().split("\n"):
    if not SOURCE.search(path) or path.startswith(("fuzz/corpus/", "bench/")):
        continue
    t, c = lines(path)
    if TEST.search(path):
        tests += t + c
        if LIBRARY_TESTS.search(path):
            lib_tests += t + c
    elif CODE.search(path):
        tests += t
        code += c
        if path.startswith(("src/", "include/")):
            lib_tests += t
            lib_code += c
print("test/code lines: %d / %d = %d%%" % (tests, code, 100 * tests // code))
print("the library alone: %d / %d = %d%%" % (lib_tests, lib_code, 100 * lib_tests // lib_code))
'
