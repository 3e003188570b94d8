#!/usr/bin/env bash
# The main job: the explorer dashboard on the bundled example traces, served until Ctrl-C.
# Arguments go to `lumetra explore` (a directory of traces, --port, --address, --no-show).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python -m lumetra explore "$@"
