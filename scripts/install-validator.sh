#!/usr/bin/env bash
# Installs the glTF validator the tests run over written glTF files: the npm
# project in tools/validator, pinned by its lockfile, goes to
# BUILD_DIR/validator (so the source tree gets no node_modules), with Node.js
# 18 or later. npm runs only when the lockfile changed since the last install.
# Usage: scripts/install-validator.sh build-dir
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: scripts/install-validator.sh build-dir}
source=$root/tools/validator
target=$build/validator

node_major() { node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0; }
[ "$(node_major)" -ge 18 ] || "$root/scripts/install-packages.sh" nodejs npm
command -v npm >/dev/null || "$root/scripts/install-packages.sh" npm
if [ "$(node_major)" -lt 18 ]; then
  echo "setup: the glTF validator needs Node.js 18 or later, this machine has $(node --version)" >&2
  exit 1
fi

mkdir -p "$target"
cp "$source/validate.mjs" "$target/"
# The lockfile copied last, once npm succeeded, marks a finished install.
if ! cmp -s "$source/package-lock.json" "$target/installed-lock.json"; then
  rm -f "$target/installed-lock.json"
  cp "$source/package.json" "$source/package-lock.json" "$target/"
  (cd "$target" && npm ci --omit=dev --no-audit --no-fund --loglevel=error)
  cp "$source/package-lock.json" "$target/installed-lock.json"
fi
