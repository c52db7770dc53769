#!/usr/bin/env bash
# glTF files through the tool and through Debian's gltfpack, in one run:
#   1. whole-process time of `meshjobs strip` against `gltfpack -noq` (its
#      nearest job) on the three largest glTF 2.0 test models both read, repetitions
#      alternating, medians and their ratio (goal: at most 1.0);
#   2. output sizes over every glTF 2.0 test model the tool strips: input,
#      stripped, `convert --layout gltf`, gltfpack with its defaults and -noq.
# Usage: scripts/bench-gltf.sh [build-dir] [repetitions]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
reps=${2:-9}
tool="$build/bin/meshjobs"
models=/usr/share/assimp/models/glTF2
command -v gltfpack >/dev/null || "$root/scripts/install-packages.sh" gltfpack
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s%N; }
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
size() { [ -f "$1" ] && stat -c %s "$1" || echo "-"; }

# A .gltf counts with the .bin files it names.
input_bytes() {
  local file=$1 total
  total=$(stat -c %s "$file")
  if [[ $file == *.gltf ]]; then
    for bin in $(grep -o '"uri" *: *"[^"]*\.bin"' "$file" | sed 's/.*"\([^"]*\)"$/\1/'); do
      [ -f "$(dirname "$file")/$bin" ] && total=$((total + $(stat -c %s "$(dirname "$file")/$bin")))
    done
  fi
  echo "$total"
}

# The models the tool strips; timed, the largest three the peer reads too.
mapfile -t all < <(find "$models" \( -name '*.gltf' -o -name '*.glb' \) | sort)
strippable=()
both=()
for model in "${all[@]}"; do
  if "$tool" strip --quiet "$model" "$work/probe.glb" >/dev/null 2>&1; then
    strippable+=("$(input_bytes "$model") $model")
    if gltfpack -noq -i "$model" -o "$work/probe-peer.glb" >/dev/null 2>&1; then
      both+=("$(input_bytes "$model") $model")
    fi
  fi
done
mapfile -t largest < <(printf '%s\n' "${both[@]}" | sort -rn | head -3 | cut -d' ' -f2-)

echo "whole-process time, median of $reps alternating runs"
printf '%-60s %10s %10s %7s %s\n' model strip gltfpack ratio goal
for model in "${largest[@]}"; do
  : >"$work/ours" && : >"$work/peer"
  for ((i = 0; i < reps; i++)); do
    start=$(now); "$tool" strip --quiet "$model" "$work/ours.glb" >/dev/null 2>&1; middle=$(now)
    gltfpack -noq -i "$model" -o "$work/peer.glb" >/dev/null 2>&1; end=$(now)
    echo $(((middle - start) / 1000)) >>"$work/ours"
    echo $(((end - middle) / 1000)) >>"$work/peer"
  done
  ours=$(median <"$work/ours") peer=$(median <"$work/peer")
  ratio=$(awk -v a="$ours" -v b="$peer" 'BEGIN {printf "%.2f", a / b}')
  verdict=$(awk -v r="$ratio" 'BEGIN {print (r <= 1.0) ? "met" : "MISSED"}')
  printf '%-60s %8.1fms %8.1fms %6sx <= 1.0 %s\n' "${model#"$models"/}" "$(awk -v u="$ours" 'BEGIN {print u / 1000}')" \
    "$(awk -v u="$peer" 'BEGIN {print u / 1000}')" "$ratio" "$verdict"
done

echo
echo "output bytes"
printf '%-60s %9s %9s %9s %9s %9s\n' model input strip gltf gltfpack "-noq"
for entry in "${strippable[@]}"; do
  model=${entry#* }
  rm -f "$work"/*.glb
  "$tool" strip --quiet "$model" "$work/strip.glb" >/dev/null 2>&1 || true
  "$tool" convert --quiet "$model" "$work/gltf.glb" --layout gltf >/dev/null 2>&1 || true
  gltfpack -i "$model" -o "$work/pack.glb" >/dev/null 2>&1 || true
  gltfpack -noq -i "$model" -o "$work/noq.glb" >/dev/null 2>&1 || true
  printf '%-60s %9s %9s %9s %9s %9s\n' "${model#"$models"/}" "$(input_bytes "$model")" "$(size "$work/strip.glb")" \
    "$(size "$work/gltf.glb")" "$(size "$work/pack.glb")" "$(size "$work/noq.glb")"
done
