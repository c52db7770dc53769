#!/usr/bin/env bash
# Prints a release archive's MANIFEST.txt: the library's export names and its
# imports, as the platform's binutils read the file.
# Usage: scripts/manifest.sh VERSION PLATFORM PATH-IN-ARCHIVE FILE NM OBJDUMP
#   e.g. scripts/manifest.sh 0.9.0 linux-aarch64 lib/libmeshjobs.so FILE aarch64-linux-gnu-nm aarch64-linux-gnu-objdump
set -euo pipefail
version=$1 platform=$2 name=$3 file=$4 nm=$5 objdump=$6
export LC_ALL=C
if [ "$(head -c 2 "$file")" = MZ ]; then
  exports=$("$objdump" -p "$file" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' | sort)
  imports=$("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p' | sort)
else
  exports=$("$nm" -D --defined-only -j "$file" | sort)
  imports=$({ "$nm" -D --undefined-only -j "$file"; "$objdump" -p "$file" | sed -n 's/^\s*NEEDED\s*/needs /p'; } | sort)
fi
echo "meshjobs $version $platform"
echo "library: $name"
echo "exports ($(echo "$exports" | grep -c .)):"
echo "$exports" | sed 's/^/  /'
if [ -z "$imports" ]; then
  echo "imports: none"
else
  echo "imports:"
  echo "$imports" | sed 's/^/  /'
fi
