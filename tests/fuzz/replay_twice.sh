#!/usr/bin/env bash
# Replays the program-image corpus in two processes and compares the end state of every input (registers and a hash
# of memory): an input must do the same wherever it runs, or a finding may not reproduce from its file.
#   replay_twice.sh BUILD_DIRECTORY [CORPUS_DIRECTORY]   (by default the corpus archive, unpacked)
set -euo pipefail
build=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if (($# > 1)); then
  corpus=$(realpath "$2")
else
  "$(dirname "$0")/corpus.sh" unpack "$work" program_image
  corpus=$work/program_image
fi
for replay in 1 2; do
  KAVO_FUZZ_END_STATES="$work/$replay" "$build/tests/fuzz/kavo_fuzz_program_image" -runs=0 "$corpus" 2>"$work/log" ||
    { cat "$work/log"; exit 1; }
  sort "$work/$replay" >"$work/$replay.sorted"
done
inputs=$(find "$corpus" -type f | wc -l)
states=$(wc -l <"$work/1.sorted")
if ((states < inputs)) || ! cmp -s "$work/1.sorted" "$work/2.sorted"; then
  echo "replay_twice: $states end states for $inputs inputs, or the two replays differ:" >&2
  diff "$work/1.sorted" "$work/2.sorted" | head -20 >&2
  exit 1
fi
echo "replay_twice: $inputs inputs, the same end states in both replays"
