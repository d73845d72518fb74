#!/usr/bin/env bash
# Runs each fuzz target (one per archive in corpus/) from its corpus, unpacked into a temporary directory:
#   fuzz.sh BUILD_DIRECTORY SECONDS [WORK_DIRECTORY [LIBFUZZER_FLAGS...]]   each for a time
#   fuzz.sh BUILD_DIRECTORY ci [WORK_DIRECTORY]                              CI: seed 1 and a fixed number of inputs each
# CI's runs try the same inputs every time, whatever the machine's speed (about 30 s each on one core). New inputs and
# any crashing one go to the work directory (a fresh temporary one by default), never into the archives.
set -euo pipefail
build=$(realpath "$1")
length=$2
work=$(realpath "${3:-$(mktemp -d)}")
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
"$(dirname "$0")/corpus.sh" unpack "$corpus"
declare -A ci_runs=([program_image]=15000 [fcb]=30000 [keys]=300000 [screen]=35000 [options]=200000 [console]=30000 [ccp]=5000)
for target in $(ls "$corpus"); do
  mkdir -p "$work/$target" "$work/artifacts"
  if [[ $length == ci ]]; then
    limit=(-runs="${ci_runs[$target]}" -seed=1)
  else
    limit=(-max_total_time="$length")
  fi
  echo "fuzzing $target (${limit[*]}) in $work"
  # The targets change directory for every input: every path given is absolute.
  "$build/tests/fuzz/kavo_fuzz_$target" "${limit[@]}" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/$target-" "${@:4}" "$work/$target" "$corpus/$target"
done
