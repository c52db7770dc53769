#!/usr/bin/env bash
# Builds the release packages of this commit into build-release/dist:
#   linux-x86_64   meshjobs-VERSION-linux-x86_64.tar.gz   library, headers, host, tool and its modules, CMake and
#                                                          pkg-config files
#   linux-aarch64  meshjobs-VERSION-linux-aarch64.tar.gz  the same without the tool
#   windows-x64    meshjobs-VERSION-windows-x64.zip       meshjobs.dll and the C header
#   deb            meshjobs_VERSION_amd64.deb             Linux x86-64 under /usr, tool included
# Each archive holds one top folder with SHA256SUMS and MANIFEST.txt (the
# library's exports and imports, as scripts/manifest.sh reads them).
# Archives are reproducible: sorted, owned by root, dated by the commit.
# Usage: scripts/release.sh [platform...]   (default: all four)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${MESHJOBS_RELEASE_DIR:-$root/build-release}
dist=$out/dist
version=$(sed -n 's/^project(meshjobs VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
platforms=${*:-linux-x86_64 linux-aarch64 windows-x64 deb}
epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)
install_packages() { "$root/scripts/install-packages.sh" "$@"; }

# Release builds: no tests, no benchmarks (the tool and its modules then need
# only their mesh libraries).
build() {  # platform cmake-arguments...
  local dir=$out/$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMESHJOBS_BUILD_TESTS=OFF \
    -DMESHJOBS_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

# package platform build-dir library-path-in-package nm objdump components...
package() {
  local platform=$1 dir=$2 library=$3 nm=$4 objdump=$5
  shift 5
  local name=meshjobs-$version-$platform stage=$out/stage-$platform
  rm -rf "$stage"
  for component in "$@"; do
    cmake --install "$dir" --prefix "$stage/$name" --component "$component" >/dev/null
  done
  (
    cd "$stage/$name"
    "$root/scripts/manifest.sh" "$version" "$platform" "$library" "$library" "$nm" "$objdump" >MANIFEST.txt
    find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS
  )
  mkdir -p "$dist"
  case $platform in
    windows-*)
      rm -f "$dist/$name.zip"
      find "$stage" -exec touch -h -d "@$epoch" {} +
      (cd "$stage" && find "$name" | LC_ALL=C sort | TZ=UTC zip -q -X "$dist/$name.zip" -@) ;;
    *)
      tar -C "$stage" --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner -cf - "$name" |
        gzip -n -9 >"$dist/$name.tar.gz" ;;
  esac
  echo "release: $dist/$name.$([[ $platform == windows-* ]] && echo zip || echo tar.gz)"
}

linux_packages=(g++ cmake ninja-build libassimp-dev libdraco-dev libmeshoptimizer-dev libcli11-dev nlohmann-json3-dev
                binutils)
for platform in $platforms; do
  case $platform in
    linux-x86_64)
      install_packages "${linux_packages[@]}"
      build linux-x86_64
      package linux-x86_64 "$out/linux-x86_64" lib/libmeshjobs.so nm objdump library c_header development tool ;;
    linux-aarch64)
      install_packages cmake ninja-build g++-aarch64-linux-gnu binutils-aarch64-linux-gnu
      build linux-aarch64 -DMESHJOBS_BUILD_TOOLS=OFF -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake"
      package linux-aarch64 "$out/linux-aarch64" lib/libmeshjobs.so aarch64-linux-gnu-nm aarch64-linux-gnu-objdump \
        library c_header development ;;
    windows-x64)
      install_packages cmake ninja-build mingw-w64 zip
      build windows-x64 -DMESHJOBS_BUILD_TOOLS=OFF -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
      package windows-x64 "$out/windows-x64" bin/meshjobs.dll x86_64-w64-mingw32-nm x86_64-w64-mingw32-objdump \
        library c_header ;;
    deb)
      install_packages "${linux_packages[@]}" dpkg-dev
      [ -f "$out/linux-x86_64/CPackConfig.cmake" ] || build linux-x86_64
      cmake --build "$out/linux-x86_64" -j "$(nproc)"
      mkdir -p "$dist"
      (cd "$out/linux-x86_64" && cpack -G DEB -B "$out/cpack" >/dev/null)
      mv "$out"/cpack/meshjobs_*.deb "$dist/"
      echo "release: $(ls "$dist"/meshjobs_"$version"_*.deb)" ;;
    *)
      echo "unknown platform '$platform' (linux-x86_64 linux-aarch64 windows-x64 deb)"
      exit 2 ;;
  esac
done
