#!/usr/bin/env bash
# Every C and C++ file of the repository as clang-format (the repository's
# .clang-format) would write it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang-format-14
git ls-files -z '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' |
  xargs -0 --no-run-if-empty clang-format-14 --dry-run --Werror
echo "clang-format: $(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | wc -l) files clean"
