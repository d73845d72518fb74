#!/usr/bin/env bash
# The fuzz corpus, kept as one archive per target (corpus/TARGET.tar.xz) rather than as thousands of loose files:
#   corpus.sh unpack DIRECTORY [TARGET...]   each target's inputs into DIRECTORY/TARGET (every target by default)
#   corpus.sh pack DIRECTORY [TARGET...]     DIRECTORY/TARGET into corpus/TARGET.tar.xz; the same inputs give the
#                                            same archive, byte for byte, so an archive changes only with its inputs
set -euo pipefail
archives=$(realpath "$(dirname "$0")/corpus")
action=$1
directory=$(realpath "$2")
shift 2
targets=("$@")
if ((${#targets[@]} == 0)); then
  for archive in "$archives"/*.tar.xz; do
    targets+=("$(basename "$archive" .tar.xz)")
  done
fi
for target in "${targets[@]}"; do
  case $action in
    unpack) tar -C "$directory" -xJf "$archives/$target.tar.xz" ;;
    pack)
      tar -C "$directory" --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner --mode=a+rX,u+w,go-w \
        --format=gnu -cf - "$target" | xz -9 -T1 >"$archives/$target.tar.xz" ;;
    *) echo "corpus.sh: unpack or pack, not '$action'" >&2; exit 2 ;;
  esac
done
