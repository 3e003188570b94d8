#!/usr/bin/env bash
# The main job on the bundled example traces.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -m lumetra summary examples/traces/*.txt
