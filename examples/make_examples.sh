#!/usr/bin/env bash
# Regenerates the example traces in examples/traces/ with the lumetra-simulate tool.
# Usage: examples/make_examples.sh path/to/lumetra-simulate
# The output depends only on the arguments below, so rerunning this reproduces the files byte for
# byte (check with `git diff --stat examples/traces`).
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 path/to/lumetra-simulate" >&2
  exit 2
fi
sim=$1
out="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/traces"
mkdir -p "$out"

# Two levels, 2,000 frames: noise 10% of the level spacing.
"$sim" --levels 300,800 --dwell 120,80 --noise 50 --frames 2000 --step 0.1 --seed 1 \
  --out "$out/two_level.txt"
# Three levels, 3,000 frames: noise about 13% of the level spacing.
"$sim" --levels 250,700,1200 --dwell 150,60,100 --noise 60 --frames 3000 --step 0.1 --seed 2 \
  --out "$out/three_level.txt"
# One level (no transitions), 1,500 frames.
"$sim" --levels 900 --dwell 100 --noise 70 --frames 1500 --step 0.1 --seed 3 \
  --out "$out/one_level.txt"
# Short, noisier two-level trace, 600 frames: noise 15% of the level spacing.
"$sim" --levels 400,1000 --dwell 60,40 --noise 90 --frames 600 --step 0.1 --seed 4 \
  --out "$out/two_level_short_noisy.txt"
