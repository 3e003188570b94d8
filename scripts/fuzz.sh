#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan+UBSan) and runs each one for a while, starting from
# the seed corpus in fuzz/corpus/<harness>/.  Any crash, sanitizer report, timeout or
# out-of-memory fails the script and leaves the input in build/fuzz/artifacts/.
#
#   scripts/fuzz.sh                 every harness for 60 s
#   FUZZ_SECONDS=600 scripts/fuzz.sh step_fit stream
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
if ! installed clang; then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang
fi
# libFuzzer and the sanitizer runtimes come with the compiler-rt package of the same version.
clang_major=$(clang -dumpversion | cut -d. -f1)
if ! installed "libclang-rt-$clang_major-dev"; then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "libclang-rt-$clang_major-dev"
fi

[ -x .venv/bin/cmake ] && export PATH="$PWD/.venv/bin:$PATH"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

seconds=${FUZZ_SECONDS:-60}
harnesses=("$@")
if ((${#harnesses[@]} == 0)); then
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    harnesses+=("${name%_fuzz}")
  done
fi

mkdir -p build/fuzz/artifacts
for harness in "${harnesses[@]}"; do
  # New inputs go to the first directory, so the seeds in the repository stay as they are.
  work=build/fuzz/corpus/$harness
  mkdir -p "$work"
  echo "fuzzing $harness for ${seconds} s"
  start=$SECONDS
  "build/fuzz/${harness}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$harness-" \
    "$work" "fuzz/corpus/$harness" >"build/fuzz/$harness.log" 2>&1 || {
    tail -n 60 "build/fuzz/$harness.log"
    echo "fuzz: $harness failed; the input is in build/fuzz/artifacts/" >&2
    exit 1
  }
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "build/fuzz/$harness.log")
  echo "fuzz: $harness ran $runs inputs in $((SECONDS - start)) s, no finding"
done
