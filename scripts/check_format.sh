#!/usr/bin/env bash
# Checks that every C++ file of the tree is in the style of .clang-format.
# With --fix, formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.hpp' | grep -v '^fuzz/corpus/')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
elif clang-format --dry-run -Werror "${files[@]}" 2>/dev/null; then
  echo "clang-format: ${#files[@]} files in style"
else
  echo "clang-format: files out of style (scripts/check_format.sh --fix formats them):"
  clang-format --dry-run "${files[@]}" 2>&1 | grep -oE '^[^:]+' | sort -u | sed 's/^/  /'
  exit 1
fi
