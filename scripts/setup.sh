#!/usr/bin/env bash
# Installs what is missing (Debian 12, as root), configures and builds; then
# installs the glTF validator the tests use into the build tree.
# Usage: scripts/setup.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libassimp-dev assimp-testmodels libmeshoptimizer-dev libdraco-dev libcli11-dev nlohmann-json3-dev)
"$root/scripts/install-packages.sh" "${packages[@]}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)"
"$root/scripts/install-validator.sh" "$build"
