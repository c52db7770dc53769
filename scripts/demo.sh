#!/usr/bin/env bash
# Set up, build and run the main job on the built-in default mesh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" "$build" >/dev/null
"$build/bin/meshjobs" demo "$@"
