#!/usr/bin/env bash
# Set up, build and run the whole test suite, on every platform CI covers:
#   native   Linux x86-64, exhaustive proofs included
#   portable Linux x86-64 with the portable kernels forced (no AVX2 in the library)
#   avx2     Linux x86-64 with the AVX2 kernels forced (no AVX-512 in the library)
#   windows  Windows x64 (mingw-w64 cross build) under wine64
#   arm64    Linux ARM64 (cross build) under qemu-user
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer (clang)
#   tsan     ThreadSanitizer (GCC)
#   fuzz     every job's libFuzzer target for a bounded time (asan build)
#   release  the Linux x86-64 packages: installed and used, unpacked and checked,
#            the library rebuilt in another folder to the same bytes (the
#            windows and arm64 stages check their platforms' archives)
# MESHJOBS_STAGES picks stages (default: all of them), e.g.
#   MESHJOBS_STAGES=native scripts/test.sh
# MESHJOBS_FUZZ_SECONDS sets each fuzz target's time (default 45).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
stages=${MESHJOBS_STAGES:-native release portable avx2 windows arm64 asan tsan fuzz}
fuzz_seconds=${MESHJOBS_FUZZ_SECONDS:-45}
jobs=$(nproc)
fuzz_targets=(mark_used_vertices compact_vertices remap_indices count_vertex_references convert_vertex_layout)
# Any sanitizer report fails the run.
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# Known faults, left out by name until mended; each run says so. Delete an
# entry once its fault is mended. None are known now.
known_arm64=()
known_asan=()

leave_out() {  # stage test-names...; prints a GoogleTest filter
  local stage=$1
  shift
  [ $# -gt 0 ] || {
    echo "*"
    return
  }
  echo "$stage: KNOWN FAILURES LEFT OUT: $*" >&2
  local IFS=:
  echo "-$*"
}

configure() {  # build-dir cmake-arguments...
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

# setup.sh installs the glTF validator too, which the tool's tests run.
stage_native() {
  "$root/scripts/setup.sh" "$build"
  ctest --test-dir "$build" --output-on-failure -j "$jobs"
}

version=$(sed -n 's/^project(meshjobs VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
dist=$root/build-release/dist

# The 21 export names, from the C header.
expected_exports() {
  local hash
  {
    echo burst.initialize
    for hash in $(sed -n 's/^#define MESHJOBS_HASH_[A-Z_]* "\(.*\)"$/\1/p' "$root/include/meshjobs/meshjobs.h"); do
      printf '%s\n' "$hash" "burst.initialize.$hash" "burst.initialize.externals.$hash" "burst.initialize.statics.$hash"
    done
  } | LC_ALL=C sort
}

# Unpacks a release archive into DIR and checks it: every checksum holds, the
# manifest is what the platform's binutils read from the library file now, and
# it lists the 21 exports and no import.
check_archive() {  # platform nm objdump dir
  local platform=$1 nm=$2 objdump=$3 dir=$4 name=meshjobs-$version-$1
  rm -rf "$dir" && mkdir -p "$dir"
  case $platform in
    windows-*) unzip -q "$dist/$name.zip" -d "$dir" ;;
    *) tar -C "$dir" -xzf "$dist/$name.tar.gz" ;;
  esac || return 1
  # Each check returns on failure itself: the windows stage calls this where set -e does not hold.
  (cd "$dir/$name" && sha256sum --quiet -c SHA256SUMS) || return 1
  local manifest=$dir/$name/MANIFEST.txt library
  library=$(sed -n 's/^library: //p' "$manifest")
  diff "$manifest" <("$root/scripts/manifest.sh" "$version" "$platform" "$library" "$dir/$name/$library" "$nm" "$objdump") ||
    return 1
  diff <(expected_exports) <(sed -n '/^exports/,/^imports/s/^  //p' "$manifest") || return 1
  grep -qx "imports: none" "$manifest" || return 1
  echo "$platform: $name checked: $(grep -c . "$dir/$name/SHA256SUMS") files, 21 exports, no import"
}

# Builds the library alone in a second, differently named folder and compares
# its bytes with the release build's.
check_same_bytes() {  # platform library-file cmake-arguments...
  local platform=$1 file=$2 dir=$root/build-release/again/$1
  shift 2
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMESHJOBS_BUILD_TESTS=OFF \
    -DMESHJOBS_BUILD_BENCH=OFF -DMESHJOBS_BUILD_TOOLS=OFF "$@" >/dev/null || return 1
  cmake --build "$dir" -j "$jobs" --target meshjobs_library >/dev/null || return 1
  cmp "$root/build-release/$platform/bin/$file" "$dir/bin/$file" || return 1
  echo "$platform: $file is the same in two build folders"
}

# Runs a command and prints the line of its output that matches, or fails.
expect_line() {  # regex command...
  local pattern=$1 output
  shift
  output=$("$@")
  grep -E -- "$pattern" <<<"$output" || {
    printf '%s\n' "$output" "expected a line matching: $pattern"
    return 1
  }
}

# An installed tool finds its modules: a file of another format through the
# importer's, a Draco-compressed glTF through the decoder's.
uses_modules() {  # tool output-folder
  local models=/usr/share/assimp/models
  expect_line "spider.glb: 19 meshes" "$1" strip "$models/OBJ/spider.obj" "$2/spider.glb"
  expect_line "KHR_draco_mesh_compression: 34 primitives decoded" "$1" strip "$models/glTF2/draco/2CylinderEngine.gltf" \
    "$2/engine.glb"
}

# Installed into a prefix and used from outside: a CMake project with
# find_package, a C host through pkg-config, the installed tool; then the
# archive, the Debian package and the library's bytes.
stage_release() {
  "$root/scripts/install-packages.sh" pkg-config dpkg-dev unzip
  "$root/scripts/release.sh" linux-x86_64 deb
  local work=$root/build-release/check prefix
  prefix=$work/prefix
  rm -rf "$work"
  cmake --install "$root/build-release/linux-x86_64" --prefix "$prefix" >/dev/null

  cmake -S "$root/tests/release" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DMESHJOBS_C_EXAMPLE="$prefix/share/doc/meshjobs/examples/c_host.c" >/dev/null
  cmake --build "$work/consumer"
  expect_line "^libmeshjobs $version, reference counts: 1 2 2 1 0$" "$work/consumer/consumer"
  expect_line "^reference counts: 1 2 2 1 0$" "$work/consumer/c_host" "$prefix/lib/libmeshjobs.so"

  export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Werror -pedantic $(pkg-config --cflags meshjobs) "$prefix/share/doc/meshjobs/examples/c_host.c" \
    -o "$work/c_host_pc" -ldl
  expect_line "^reference counts: 1 2 2 1 0$" "$work/c_host_pc" "$(pkg-config --variable=library meshjobs)"

  expect_line "^libmeshjobs $version $prefix/lib/libmeshjobs.so$" "$prefix/bin/meshjobs" --version
  expect_line "^verified:" "$prefix/bin/meshjobs" demo --repeat 1
  uses_modules "$prefix/bin/meshjobs" "$work/prefix-out"

  check_archive linux-x86_64 nm objdump "$work/archive"
  uses_modules "$work/archive/meshjobs-$version-linux-x86_64/bin/meshjobs" "$work/archive-out"
  local deb
  deb=$(ls "$dist"/meshjobs_"$version"_amd64.deb)
  expect_line "libassimp5" dpkg-deb -f "$deb" Depends
  dpkg-deb -x "$deb" "$work/deb"
  expect_line "^verified:" "$work/deb/usr/bin/meshjobs" demo --repeat 1
  uses_modules "$work/deb/usr/bin/meshjobs" "$work/deb-out"
  echo "release: $(basename "$deb") unpacked, its tool's demo verified, its modules found"
  check_same_bytes linux-x86_64 libmeshjobs.so
}

# One kernel set forced: the library built with it, proven to hold no
# register of a wider set, and the whole suite run against it natively.
forced_kernels() {  # set register-prefix what-it-must-not-hold
  local dir=$root/build-$1
  configure "$dir" -DCMAKE_BUILD_TYPE=Release -DMESHJOBS_BUILD_TOOLS=OFF -DMESHJOBS_BUILD_BENCH=OFF \
    -DMESHJOBS_KERNELS="$1"
  if objdump -d "$dir/bin/libmeshjobs.so" | grep -q "%$2"; then
    echo "the $1 build of libmeshjobs.so holds $3 instructions"
    return 1
  fi
  "$dir/bin/meshjobs_tests" --gtest_brief=1
}

# The kernels a processor without AVX2 runs (and ARM64 runs, as NEON).
stage_portable() { forced_kernels portable ymm AVX; }

# The kernels a processor with AVX2 but without AVX-512 runs. The native stage
# runs the AVX-512 ones where the processor has them.
stage_avx2() { forced_kernels avx2 zmm AVX-512; }

# The tool reads mesh files through a library Debian packages for the build
# machine only, so cross builds carry the library, host emulator and tests.
cross_options=(-DCMAKE_BUILD_TYPE=Release -DMESHJOBS_BUILD_TOOLS=OFF -DMESHJOBS_BUILD_BENCH=OFF)

stage_windows() {
  "$root/scripts/install-packages.sh" cmake ninja-build googletest mingw-w64 wine64 zip unzip
  local dir=$root/build-win
  configure "$dir" "${cross_options[@]}" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
  if x86_64-w64-mingw32-objdump -p "$dir/bin/meshjobs.dll" | grep "DLL Name"; then
    echo "meshjobs.dll imports a DLL"
    return 1
  fi
  # A prefix of its own, no display, and its wine server stopped afterwards.
  export WINEPREFIX=$dir/wineprefix WINEDEBUG=-all DISPLAY=
  local status=0
  (cd "$dir/bin" &&
    timeout 900 /usr/lib/wine/wine64 meshjobs_tests.exe --gtest_brief=1 &&
    timeout 900 /usr/lib/wine/wine64 meshjobs_exhaustive_tests.exe --gtest_brief=1) || status=$?
  # The release archive: checked, and its DLL driven by the C host.
  # (An && chain: set -e does not hold on the left of ||.)
  [ $status -ne 0 ] || {
    "$root/scripts/release.sh" windows-x64 &&
      check_archive windows-x64 x86_64-w64-mingw32-nm x86_64-w64-mingw32-objdump "$dir/archive" &&
      expect_line "^reference counts: 1 2 2 1 0" timeout 300 /usr/lib/wine/wine64 "$dir/bin/meshjobs_c_host.exe" \
        "$dir/archive/meshjobs-$version-windows-x64/bin/meshjobs.dll" &&
      check_same_bytes windows-x64 meshjobs.dll -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
  } || status=$?
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  unset WINEPREFIX
  return $status
}

# Under qemu the library and tests run in full; of the exhaustive proofs only
# the 65536-half decoding, since the two 2^32-input sweeps take a quarter of
# an hour each there (they run natively and under wine).
stage_arm64() {
  "$root/scripts/install-packages.sh" cmake ninja-build googletest g++-aarch64-linux-gnu qemu-user
  local dir=$root/build-arm64
  configure "$dir" "${cross_options[@]}" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake"
  local undefined
  undefined=$(aarch64-linux-gnu-nm -D --undefined-only "$dir/bin/libmeshjobs.so")
  if [ -n "$undefined" ]; then
    echo "libmeshjobs.so imports: $undefined"
    return 1
  fi
  local run=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
  "${run[@]}" "$dir/bin/meshjobs_tests" --gtest_brief=1 --gtest_filter="$(leave_out arm64 "${known_arm64[@]}")"
  "${run[@]}" "$dir/bin/meshjobs_exhaustive_tests" --gtest_brief=1 --gtest_filter='HalfConversionExhaustive.EveryHalf*'
  "$root/scripts/release.sh" linux-aarch64
  check_archive linux-aarch64 aarch64-linux-gnu-nm aarch64-linux-gnu-objdump "$dir/archive"
  expect_line "^reference counts: 1 2 2 1 0$" "${run[@]}" "$dir/bin/meshjobs_c_host" \
    "$dir/archive/meshjobs-$version-linux-aarch64/lib/libmeshjobs.so"
}

clang_packages=(clang libclang-rt-14-dev cmake ninja-build libgtest-dev libgmock-dev libassimp-dev assimp-testmodels
                libmeshoptimizer-dev libdraco-dev libcli11-dev nlohmann-json3-dev)

# Every test but the exhaustive sweeps: those are plain arithmetic on local
# arrays, proven natively.
stage_asan() {
  "$root/scripts/install-packages.sh" "${clang_packages[@]}"
  CC=clang CXX=clang++ configure "$root/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMESHJOBS_BUILD_BENCH=OFF \
    -DMESHJOBS_SANITIZE=address,undefined -DMESHJOBS_BUILD_FUZZ=ON
  "$root/scripts/install-validator.sh" "$root/build-asan"
  "$root/build-asan/bin/meshjobs_tests" --gtest_brief=1 --gtest_filter="$(leave_out asan "${known_asan[@]}")"
}

# GCC here and clang for asan, so that both compilers' builds of the library
# are checked by a sanitizer.
stage_tsan() {
  "$root/scripts/install-packages.sh" g++ cmake ninja-build libgtest-dev libgmock-dev
  configure "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMESHJOBS_BUILD_BENCH=OFF \
    -DMESHJOBS_BUILD_TOOLS=OFF -DMESHJOBS_SANITIZE=thread
  "$root/build-tsan/bin/meshjobs_tests" --gtest_brief=1
}

# The seeds and every input that once crashed run first; then each target
# explores for a bounded time in a scratch corpus beside the build.
stage_fuzz() {
  local dir=$root/build-asan
  [ -x "$dir/bin/fuzz_${fuzz_targets[0]}" ] || stage_asan >/dev/null
  cmake --build "$dir" -j "$jobs"
  for target in "${fuzz_targets[@]}"; do
    local corpus=$dir/fuzz-corpus/$target
    mkdir -p "$corpus"
    local inputs=("$root/fuzz/corpus/$target")
    [ -d "$root/fuzz/regressions/$target" ] && inputs+=("$root/fuzz/regressions/$target")
    local log=$dir/fuzz-$target.log status=0
    "$dir/bin/fuzz_$target" -max_total_time="$fuzz_seconds" -timeout=20 -rss_limit_mb=4096 \
      -artifact_prefix="$dir/fuzz-crash-$target-" "$corpus" "${inputs[@]}" >"$log" 2>&1 || status=$?
    if [ $status -ne 0 ]; then
      grep -v "^#[0-9]" "$log" | tail -n 60
      echo "fuzz_$target: failed, the input is kept as $dir/fuzz-crash-$target-*"
      return 1
    fi
    echo "fuzz_$target: $(grep -E "^Done [0-9]+ runs" "$log" || tail -n 1 "$log")"
  done
}

summary=()
failed=0
for stage in $stages; do
  declare -F "stage_$stage" >/dev/null || {
    echo "unknown stage '$stage' (native release portable avx2 windows arm64 asan tsan fuzz)"
    exit 2
  }
  echo "=== $stage"
  start=$(date +%s)
  status=ok
  # In a process of its own so that set -e holds inside the stage.
  ("stage_$stage") &
  wait $! || status=FAILED
  summary+=("$(printf '%-8s %-6s %4ds' "$stage" "$status" $(($(date +%s) - start)))")
  [ "$status" = ok ] || failed=1
done

echo "=== stages"
printf '%s\n' "${summary[@]}"
passed=$(printf '%s\n' "${summary[@]}" | grep -c " ok ") || true
echo "stages: $passed passed, $((${#summary[@]} - passed)) failed"
exit $failed
