#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) over src/, cli/, fuzz/ and the Python
# binding (python/), compiled as the build compiles them (pybind11's and
# Python's headers included), and cppcheck (suppressions in
# .cppcheck-suppressions) over those and tests/. Any finding fails the
# stage.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang-tidy-14 cppcheck

cppcheck --version
# C++ sources (their headers through -I), then the C programs on their own,
# so each is held to its own language's rules.
checks=(--enable=warning,style,performance,portability --inline-suppr
        --suppressions-list=.cppcheck-suppressions --error-exitcode=1 --quiet)
mapfile -t cpp_files < <(git ls-files 'src/*.cpp' 'cli/*.cpp' 'fuzz/*.cpp' \
  'python/*.cpp' 'tests/*.cpp')
mapfile -t c_files < <(git ls-files 'src/*.c' 'cli/*.c' 'tests/*.c' \
  'examples/*.c')
cppcheck "${checks[@]}" --language=c++ --std=c++20 --library=googletest \
  --library=posix -I include -I src -DEDGEMAP_VERSION='"0"' "${cpp_files[@]}"
if [ ${#c_files[@]} -gt 0 ]; then
  cppcheck "${checks[@]}" --language=c --std=c11 -I include "${c_files[@]}"
fi
echo "cppcheck: clean (${#cpp_files[@]} C++ and ${#c_files[@]} C files)"

# The binding is required here, so that a missing pybind11 fails the stage
# rather than leaving the binding unchecked.
cmake -S . -B build-tidy -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DEDGEMAP_BUILD_BENCH=OFF \
  -DEDGEMAP_INSTALL=OFF -DEDGEMAP_BUILD_PYTHON=ON >/dev/null
run-clang-tidy-14 -p build-tidy -j2 -quiet "^$PWD/(src|cli|fuzz|python)/" \
  >build-tidy/clang-tidy.log 2>&1 || {
  grep -v "warnings generated" build-tidy/clang-tidy.log
  echo "clang-tidy: findings above"
  exit 1
}
echo "clang-tidy: clean"
