#!/usr/bin/env bash
# Compares builds of the library on the same benchmarks, in alternating rounds
# on one machine: round 1 runs every library once, round 2 again, and so on, so
# that a minute when the machine is busy slows each library alike. Each run is
# 5 repetitions; the figure per library is the median of its rounds' medians,
# with the rounds beside it and the ratio to the first library.
#
#   scripts/bench-ab.sh [--rounds N] [--bench PATH] FILTER LIBRARY...
#     FILTER          a benchmark filter (regular expression), e.g. 'fixed_cost/(host_calls|convert_3)'
#     LIBRARY         libmeshjobs.so files to compare; the first is the reference
#     --rounds N      rounds (default 5)
#     --bench PATH    the benchmark program (default build/bin/meshjobs_bench)
#
# Copy a build aside before changing the code (cp build/bin/libmeshjobs.so
# /tmp/before.so), rebuild, then compare /tmp/before.so build/bin/libmeshjobs.so.
set -euo pipefail

rounds=5
bench="$(dirname "$0")/../build/bin/meshjobs_bench"
while [[ $# -gt 0 ]]; do
    case "$1" in
        --rounds) rounds="$2"; shift 2 ;;
        --bench) bench="$2"; shift 2 ;;
        -h | --help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) break ;;
    esac
done
if [[ $# -lt 2 ]]; then
    echo "usage: scripts/bench-ab.sh [--rounds N] [--bench PATH] FILTER LIBRARY..." >&2
    exit 2
fi
filter="$1"
shift
for library in "$@"; do
    [[ -f "$library" ]] || { echo "bench-ab: no library file at $library" >&2; exit 2; }
done
[[ -x "$bench" ]] || { echo "bench-ab: no benchmark program at $bench (build first)" >&2; exit 2; }

# The median rows of the console table: name, time, unit.
medians='$1 ~ /_median$/ { sub(/_median$/, "", $1); print index_, $1, $2, $3 }'
results=$(mktemp)
trap 'rm -f "$results"' EXIT
for round in $(seq "$rounds"); do
    echo "round $round of $rounds" >&2
    for index in $(seq 0 $(($# - 1))); do
        library="${@:$((index + 1)):1}"
        MESHJOBS_LIBRARY="$(realpath "$library")" "$bench" --benchmark_filter="$filter" \
            --benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_color=false 2>/dev/null |
            sed 's/\x1b\[[0-9;]*m//g' | awk -v index_="$index" "$medians" >>"$results"
    done
done

if [[ ! -s "$results" ]]; then
    echo "bench-ab: no benchmark matches '$filter' (see $bench --benchmark_list_tests)" >&2
    exit 1
fi
python3 - "$results" "$@" <<'EOF'
import collections, statistics, sys
path, libraries = sys.argv[1], sys.argv[2:]
times = collections.defaultdict(list)
units = {}
for line in open(path):
    index, name, time, unit = line.split()
    times[(name, int(index))].append(float(time))
    units[name] = unit
for name in sorted({name for name, _ in times}):
    print(name)
    reference = None
    for index, library in enumerate(libraries):
        rounds = times.get((name, index))
        if not rounds:
            continue
        median = statistics.median(rounds)
        reference = median if reference is None else reference
        ratio = median / reference if reference else float("nan")
        print("  %-40s %10.3f %s  %5.3fx   rounds: %s" % (library, median, units[name], ratio,
                                                         " ".join("%.3g" % t for t in rounds)))
EOF
