# What the benchmark's scripts share; sourced, never run.

# The median and the 90th percentile (nearest rank) of the numbers on standard input, one a line,
# printed with the printf FORMAT given for each (default %.4f), separated by a space; "n/a n/a"
# and a failure when there are none.
median_p90() {
  sort -g | awk -v format="${1:-%.4f}" '{ v[NR] = $1 }
    END {
      if (NR == 0) { print "n/a n/a"; exit 1 }
      median = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      rank = int(0.9 * NR); if (rank < 0.9 * NR) rank++
      printf format " " format "\n", median, v[rank]
    }'
}
