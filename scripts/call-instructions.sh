#!/usr/bin/env bash
# Instructions per job call, function by function, for the tiny jobs of the
# benchmark (fixed_cost/convert_3, count_3, remap_3): the benchmark runs under
# callgrind, and each library function's own instructions are divided by the
# number of calls the host made to the job's entry. On this kind of code the
# count tracks the time closely, and unlike the time it does not move with
# the machine's load. Needs valgrind (apt-get install valgrind).
#
#   scripts/call-instructions.sh [--bench PATH] [JOB [LIBRARY...]]
#     JOB        convert_3 (default), count_3 or remap_3
#     LIBRARY    libmeshjobs.so files (default build/bin/libmeshjobs.so), one column each
set -euo pipefail

bench="$(dirname "$0")/../build/bin/meshjobs_bench"
if [[ "${1:-}" == "--bench" ]]; then
    bench="$2"
    shift 2
fi
job="${1:-convert_3}"
shift || true
libraries=("$@")
[[ ${#libraries[@]} -gt 0 ]] || libraries=("$(dirname "$0")/../build/bin/libmeshjobs.so")
case "$job" in
    convert_3) entry="ConvertVertexLayout(" ;;
    count_3) entry="CountVertexReferences(" ;;
    remap_3) entry="RemapIndices(" ;;
    *) echo "call-instructions: unknown job $job (convert_3, count_3 or remap_3)" >&2; exit 2 ;;
esac
command -v valgrind >/dev/null || { echo "call-instructions: needs valgrind (apt-get install valgrind)" >&2; exit 2; }
[[ -x "$bench" ]] || { echo "call-instructions: no benchmark program at $bench (build first)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for index in "${!libraries[@]}"; do
    library="$(realpath "${libraries[$index]}")"
    MESHJOBS_LIBRARY="$library" valgrind --tool=callgrind --callgrind-out-file="$work/$index.out" \
        "$bench" --benchmark_filter="fixed_cost/$job/" --benchmark_min_time=0.05 >/dev/null 2>&1
done

resolved=()
for library in "${libraries[@]}"; do resolved+=("$(realpath "$library")"); done
python3 - "$work" "$entry" "${resolved[@]}" <<'EOF'
import collections, re, signal, sys
signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # quiet when piped into head
work, entry, libraries = sys.argv[1], sys.argv[2], sys.argv[3:]

def per_call(path, library):
    """Each library function's own instructions, and the calls of the entry."""
    names, objects = {}, {}
    own = collections.Counter()
    calls = 0
    function, calling, in_library = "", "", False
    skip_cost = False
    for line in open(path):
        line = line.rstrip("\n")
        m = re.match(r"(c?)(ob|fn)=\((\d+)\)(?: (.*))?$", line)
        if m:
            called, kind, key, name = m.groups()
            table = objects if kind == "ob" else names
            if name:
                table[key] = name
            if kind == "ob" and not called:
                in_library = table[key] == library
            if kind == "fn":
                if called:
                    calling = table[key]
                else:
                    function = table[key]
            continue
        if line.startswith("calls="):
            if entry in calling:
                calls += int(line.split()[0][len("calls="):])
            skip_cost = True  # the next cost line is the call's inclusive cost
            continue
        if line and (line[0].isdigit() or line[0] in "+-*"):
            if skip_cost:
                skip_cost = False
                continue
            parts = line.split()
            if in_library and len(parts) >= 2:
                own[re.sub(r"\(.*", "", function)] += int(parts[1])
    return own, calls

columns = [per_call(f"{work}/{i}.out", library) for i, library in enumerate(libraries)]
functions = sorted({f for own, _ in columns for f in own}, key=lambda f: -max(own[f] / max(calls, 1) for own, calls in columns))
print("%-60s" % "instructions per call" + "".join("%14s" % ("lib %d" % (i + 1)) for i in range(len(libraries))))
for f in functions:
    cells = [own[f] / calls if calls else 0 for own, calls in columns]
    if max(cells) < 0.5:
        continue
    print("%-60s" % f[:60] + "".join("%14.0f" % c for c in cells))
print("%-60s" % "total" + "".join("%14.0f" % (sum(own.values()) / calls if calls else 0) for own, calls in columns))
print("%-60s" % "calls" + "".join("%14d" % calls for _, calls in columns))
for i, library in enumerate(libraries):
    print("lib %d: %s" % (i + 1, library))
EOF
