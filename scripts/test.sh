#!/usr/bin/env bash
# Every test suite: the C++ unit tests (plain and under AddressSanitizer+UBSan), the
# Python tests (plain and against an instrumented extension), the style checks and clang-tidy,
# the memory check of repeated fits, and a short run of each fuzz harness.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"

for preset in release asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

# The extension modules too must compile without warnings.
cmake --preset python-werror -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
  -Dpybind11_DIR="$(python -m pybind11 --cmakedir)" >/dev/null
cmake --build --preset python-werror

clang-format --dry-run -Werror src/core/*.[ch]pp src/bindings/*/*.[ch]pp tests/cpp/*.cpp bench/*.cpp tools/*.cpp \
  fuzz/*.[ch]pp
scripts/tidy.sh
ruff check src tests bench scripts
ruff format --check src tests bench scripts
python -m mypy --strict src/lumetra
# The stubs of the compiled modules against the modules themselves: names and signatures.
python scripts/stubtest.py
python -m pytest tests/python

# The Python tests once more, against an extension built with AddressSanitizer+UBSan. ASan's
# allocator aborts on a request beyond its limit where the plain build raises MemoryError, so
# the cases that ask for such a block are left to the plain run above.
scripts/asan_python.sh -q -k "not MemoryError"
# 10,000 fits must leave the resident set where it was after the warm-up.
python bench/fit_memory.py --max-growth-mib 2
# Each libFuzzer harness for a short while (long runs by hand: FUZZ_SECONDS=600 scripts/fuzz.sh).
FUZZ_SECONDS=${FUZZ_SECONDS:-20} scripts/fuzz.sh
