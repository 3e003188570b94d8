#!/usr/bin/env bash
# clang-tidy, with the checks of .clang-tidy, over the C++ sources: the core, the bindings, the
# tests, the tools, the benchmarks and the fuzz harnesses, with the project's headers they
# include. Any finding fails the script. Needs what scripts/setup.sh installs.
#
#   scripts/tidy.sh                                  every source
#   scripts/tidy.sh src/core/merge.cpp src/bindings/common/convert.cpp
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"

# Only configured, for build/tidy/compile_commands.json; nothing is built.
cmake --preset tidy -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
  -Dpybind11_DIR="$(python -m pybind11 --cmakedir)" >/dev/null

sources=("$@")
if ((${#sources[@]} == 0)); then
  sources=(src/core/*.cpp src/bindings/*/*.cpp tests/cpp/*.cpp tools/*.cpp bench/*.cpp fuzz/*.cpp)
fi
# Two files at a time; the per-file count of warnings from system headers is left out.
printf '%s\n' "${sources[@]}" | xargs -P 2 -n 1 clang-tidy -p build/tidy --quiet 2>&1 |
  { grep -v '^[0-9]* warnings\? generated\.$' || true; }
echo "tidy: ${#sources[@]} files, no finding"
