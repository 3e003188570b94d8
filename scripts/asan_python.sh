#!/usr/bin/env bash
# The Python tests against an extension built with AddressSanitizer+UBSan.  The instrumented
# package is installed into build/python-asan/site (the .venv install stays as it is) and put
# first on the path; arguments go to pytest (by default it runs every test of tests/python).
set -euo pipefail
cd "$(dirname "$0")/.."

site=build/python-asan/site
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  --upgrade --target "$site" -C build-dir=build/python-asan/build \
  -C cmake.build-type=RelWithDebInfo -C cmake.define.LUMETRA_SANITIZE=ON .

# Python itself is not instrumented, so the runtime is preloaded, and libstdc++ with it so that
# the runtime finds the exception functions it wraps.  CPython keeps objects alive until exit by
# design, so leak reports would be noise.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0
export PYTHONPATH="$PWD/$site"
.venv/bin/python - "$PWD/$site" <<'PY'
import sys

import lumetra
import nonstationarity

for module in (lumetra, nonstationarity):
    assert module.__file__.startswith(sys.argv[1]), f"{module.__name__} from {module.__file__}"
PY
.venv/bin/python -m pytest -p no:cacheprovider "$@"
