#!/usr/bin/env bash
# Installs what the project needs: Debian packages for the C++ tests, benchmarks and style
# checks (clang-tidy configures with clang) and the headless browser of the dashboard test, a
# virtual environment in .venv with the Python dependencies, and the package itself.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(libgtest-dev libbenchmark-dev clang-format clang clang-tidy chromium chromium-driver)
missing=()
for package in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

python=${PYTHON:-python3}
[ -x .venv/bin/python ] || "$python" -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "pybind11>=3.0" cmake ninja ruff
# Without build isolation the build directory is reused, so rebuilds are incremental.
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation ".[test]"
