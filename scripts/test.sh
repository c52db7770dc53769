#!/usr/bin/env bash
# Set up, build and run the whole test suite, exhaustive proofs included.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
