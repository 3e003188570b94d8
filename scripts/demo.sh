#!/usr/bin/env bash
# The main job: a simulated two-colour experiment screened, fitted with the shared kinetic model
# and served as the explorer and the results page, until Ctrl-C.
# Arguments go to `lumetra demo` (--dir, --refit, --port, --address, --no-show).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python -m lumetra demo "$@"
