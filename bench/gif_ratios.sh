#!/bin/sh
# Runs bench_gif with repetitions interleaved at random and prints, per
# comparison and animation, the median process CPU time of each side and
# their ratio (TGIFImage / giflib; above 1 ours is slower), with the load.
#
#   bench/gif_ratios.sh [PATH/TO/bench_gif] [REPETITIONS]
#
# Use a Release build (scripts/bench builds one in build/bench).
set -eu
BENCH=${1:-build/bench/bench/bench_gif}
REPS=${2:-9}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
"$BENCH" --benchmark_repetitions="$REPS" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
  awk -F, '
    $1 ~ /_median"?$/ {
      name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
      split(name, parts, "/"); split(parts[1], words, "_")
      key = words[2] "/" (parts[2] == 0 ? "photo" : "banner")
      side = words[3]; cpu[key, side] = $4
    }
    END {
      printf "%-18s %12s %12s %8s\n", "comparison", "ours ms", "giflib ms", "ratio"
      split("Indices/photo Indices/banner Bitmaps/photo Bitmaps/banner Animation/photo Animation/banner", order, " ")
      for (i = 1; i <= 6; i++) {
        key = order[i]
        ours = cpu[key, "TGIFImage"]; if (ours == "") ours = cpu[key, "TGIFAnimator"]
        peer = cpu[key, "Giflib"]; if (peer == "" && key ~ /^Bitmaps/) { k2 = key; sub(/^Bitmaps/, "Indices", k2); peer = cpu[k2, "Giflib"] }
        printf "%-18s %12.2f %12.2f %8.2f\n", key, ours, peer, ours / peer
      }
    }'
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
