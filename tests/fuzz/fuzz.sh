#!/usr/bin/env bash
# Runs each fuzz target (one per directory of corpus/) for a time from its corpus:
#   fuzz.sh BUILD_DIRECTORY SECONDS [WORK_DIRECTORY [LIBFUZZER_FLAGS...]]
# New inputs and any crashing one go to the work directory (a fresh temporary one by default), never into corpus/.
set -euo pipefail
build=$(realpath "$1")
seconds=$2
work=$(realpath "${3:-$(mktemp -d)}")
corpus=$(realpath "$(dirname "$0")/corpus")
for target in $(ls "$corpus"); do
  mkdir -p "$work/$target" "$work/artifacts"
  echo "fuzzing $target for $seconds s in $work"
  # The targets change directory for every input: every path given is absolute.
  "$build/tests/fuzz/kavo_fuzz_$target" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/$target-" "${@:4}" "$work/$target" "$corpus/$target"
done
