#!/usr/bin/env bash
# flake8 (settings in .flake8) over every Python file of the repository:
# the package, its tests and the CLI's, the benchmarks, the scripts and the
# examples; and mypy over the package, which checks its code against the
# compiled module's stubs (python/edgemap/_native.pyi). Any finding fails
# the stage. Debian's interpreter, whose site holds NumPy's and Dask's
# types.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh python3-flake8 python3-mypy

mapfile -t py_files < <(git ls-files '*.py')
/usr/bin/python3 -m flake8 "${py_files[@]}"
echo "flake8: clean (${#py_files[@]} files)"
/usr/bin/python3 -m mypy --cache-dir=/dev/null python/edgemap
