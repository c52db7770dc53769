#!/usr/bin/env bash
# Runs the glTF validator over every glTF 2.0 model Debian's assimp-testmodels
# ships and prints one line per file: errors, warnings, file.
# Usage: scripts/validate-models.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
models=/usr/share/assimp/models/glTF2
script=$build/validator/validate.mjs
[ -f "$script" ] || {
  echo "no validator at $script: run scripts/setup.sh first" >&2
  exit 2
}
mapfile -d '' files < <(find "$models" -type f \( -name '*.gltf' -o -name '*.glb' \) -print0 | sort -z)
printf '%6s %8s  %s\n' errors warnings file
# The validator exits 1 when any file has errors: each line says how many.
node "$script" "${files[@]}" | node -e '
  const folder = process.argv[1];
  require("readline").createInterface({ input: process.stdin }).on("line", (line) => {
    const v = JSON.parse(line);
    console.log(`${String(v.errors).padStart(6)} ${String(v.warnings).padStart(8)}  ${v.file.slice(folder.length)}`);
  });' "$models/" || true
