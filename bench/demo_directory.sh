#!/bin/sh
# Writing the demo directory with N subscribers (default 100,000 and
# 1,000,000): wall time, processor time and peak memory of phonedir-demo
# for each count.
#
#   bench/demo_directory.sh PATH/TO/phonedir-demo [ROWS...]
#
# Use a Release build (no sanitizers). Needs GNU time (/usr/bin/time); the
# work directory is removed at the end.
set -eu
DEMO=${1:?usage: bench/demo_directory.sh PATH/TO/phonedir-demo [ROWS...]}
shift
[ $# -gt 0 ] || set -- 100000 1000000
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

printf '%-10s %10s %10s %10s %10s\n' subscribers wall_s cpu_s peak_MB files_MB
for rows in "$@"; do
  rm -rf "$WORK/dir"
  /usr/bin/time -f '%e %U %S %M' -o "$WORK/time" "$DEMO" "$WORK/dir" --subscribers "$rows" --quiet
  read -r wall user sys peak < "$WORK/time"
  size=$(du -sm "$WORK/dir" | cut -f1)
  awk -v r="$rows" -v w="$wall" -v u="$user" -v s="$sys" -v p="$peak" -v f="$size" \
    'BEGIN { printf "%-10s %10.1f %10.1f %10.0f %10s\n", r, w, u + s, p / 1024, f }'
done
