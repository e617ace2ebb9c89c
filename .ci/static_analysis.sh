#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) over src/, cli/ and fuzz/, and cppcheck
# (suppressions in .cppcheck-suppressions) over those and tests/. Any
# finding fails the stage.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang-tidy-14 cppcheck

cppcheck --version
cppcheck --enable=warning,style,performance,portability --std=c++20 \
  --language=c++ --library=googletest --library=posix --inline-suppr \
  --suppressions-list=.cppcheck-suppressions --error-exitcode=1 --quiet \
  -I include -I src -DEDGEMAP_VERSION='"0"' src cli fuzz tests
echo "cppcheck: clean"

cmake -S . -B build-tidy -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DEDGEMAP_BUILD_BENCH=OFF \
  -DEDGEMAP_INSTALL=OFF >/dev/null
run-clang-tidy-14 -p build-tidy -j2 -quiet "^$PWD/(src|cli|fuzz)/" \
  >build-tidy/clang-tidy.log 2>&1 || {
  grep -v "warnings generated" build-tidy/clang-tidy.log
  echo "clang-tidy: findings above"
  exit 1
}
echo "clang-tidy: clean"
