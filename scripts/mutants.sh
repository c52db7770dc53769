#!/usr/bin/env bash
# Mutation run: plants each one-line fault of scripts/mutants.txt in turn into
# a scratch copy of the tree, rebuilds the library and the test binary there,
# runs the fast suite, and says whether the suite noticed. Run by hand, not in
# CI: on two cores a fault in one source file costs a few seconds, one in a
# widely included header about 30 s, the whole list about 17 minutes.
#
#   scripts/mutants.sh [options]
#     --only LIST     only these faults: numbers or names, comma-separated (e.g. 3,7,count-atomic)
#     --filter TEXT   only faults whose name or file contains TEXT
#     --list          print the faults with their numbers and stop
#     --tree REV      copy commit REV (e.g. HEAD) instead of the working tree
#     --no-sync       use the scratch tree as it stands (to try a test there first)
#     --no-baseline   skip the run of the unchanged tree
#     --equivalent    run the faults marked equivalent too
#     --timeout S     seconds per test run (default 300; a run past it counts as killed)
#     --work DIR      scratch folder, kept between runs (default /tmp/meshjobs-mutants)
#     --jobs N        build jobs (default 2)
#
# The scratch folder holds the copy (DIR/src) and one build folder reused by
# every fault (DIR/build: Release, no tool, no benchmarks), so each fault costs
# the files it touches, a link and the suite. Each fault's output goes to
# DIR/logs/NAME.log. Every fault is undone after its run, whatever happens.
#
# Entries of the data file, separated by blank lines ('#' starts a comment):
#   name: short-unique-name
#   file: path from the repository root
#   find: text found on exactly one line of the file
#   replace: what that text becomes (the first occurrence on the line)
#   why: what the fault means
#   equivalent: why no test can tell it apart (optional; left out of the rate)
#
# Exit status: 0 when every fault ran and was killed, 1 when one survived,
# 2 when a fault could not be planted or built, or the unchanged tree fails.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
data=$root/scripts/mutants.txt
work=/tmp/meshjobs-mutants
tree=""
only=""
filter=""
list=0
sync=1
baseline=1
run_equivalent=0
timeout_seconds=300
jobs=2

usage() {
  sed -n '2,/^set -uo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
  exit "${1:-0}"
}

while [ $# -gt 0 ]; do
  case $1 in
    --only) only=$2; shift ;;
    --filter) filter=$2; shift ;;
    --list) list=1 ;;
    --tree) tree=$2; shift ;;
    --no-sync) sync=0 ;;
    --no-baseline) baseline=0 ;;
    --equivalent) run_equivalent=1 ;;
    --timeout) timeout_seconds=$2; shift ;;
    --work) work=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    -h | --help) usage 0 ;;
    *) echo "mutants.sh: unknown option $1" >&2; usage 2 ;;
  esac
  shift
done

# ---- The data file ----

names=() files=() finds=() replaces=() whys=() equivalents=()
parse() {
  local line key value name="" file="" find="" replace="" why="" equivalent="" number=0
  flush() {
    [ -n "$name$file$find" ] || return 0
    number=$((number + 1))
    if [ -z "$name" ] || [ -z "$file" ] || [ -z "$find" ]; then
      echo "mutants.sh: entry $number lacks a name, file or find line" >&2
      exit 2
    fi
    names+=("$name") files+=("$file") finds+=("$find") replaces+=("$replace") whys+=("$why")
    equivalents+=("$equivalent")
    name="" file="" find="" replace="" why="" equivalent=""
  }
  while IFS= read -r line || [ -n "$line" ]; do
    case $line in
      '#'*) continue ;;
      '') flush; continue ;;
    esac
    key=${line%%:*}
    value=${line#*:}
    value=${value# }
    case $key in
      name) name=$value ;;
      file) file=$value ;;
      find) find=$value ;;
      replace) replace=$value ;;
      why) why=$value ;;
      equivalent) equivalent=$value ;;
      *) echo "mutants.sh: unknown key '$key' in: $line" >&2; exit 2 ;;
    esac
  done <"$data"
  flush
}
parse

selected() {  # index
  local i=$1 item
  if [ -n "$only" ]; then
    local found=0
    IFS=, read -ra items <<<"$only"
    for item in "${items[@]}"; do
      [ "$item" = "$((i + 1))" ] || [ "$item" = "${names[i]}" ] && found=1
    done
    [ $found = 1 ] || return 1
  fi
  if [ -n "$filter" ]; then
    case "${names[i]} ${files[i]}" in *"$filter"*) ;; *) return 1 ;; esac
  fi
  return 0
}

if [ $list = 1 ]; then
  for i in "${!names[@]}"; do
    selected "$i" || continue
    printf '%3d  %-34s %-44s %s%s\n' $((i + 1)) "${names[i]}" "${files[i]}" "${whys[i]}" \
      "${equivalents[i]:+  [equivalent]}"
  done
  exit 0
fi

# ---- The scratch tree and its build ----

src=$work/src
build=$work/build
logs=$work/logs
mkdir -p "$src" "$logs"

# Copies only files whose bytes changed, so the build stays incremental.
sync_tree() {
  local stage=$work/stage
  rm -rf "$stage"
  mkdir -p "$stage"
  if [ -n "$tree" ]; then
    git -C "$root" archive "$tree" | tar -x -C "$stage" || exit 2
  else
    (cd "$root" && git ls-files -z -c -o --exclude-standard | while IFS= read -r -d '' path; do
      [ -f "$path" ] && printf '%s\0' "$path"
    done | tar --null -T - -cf -) | tar -x -C "$stage" || exit 2
  fi
  (cd "$stage" && find . -type f -print0) | while IFS= read -r -d '' path; do
    if ! cmp -s "$stage/$path" "$src/$path"; then
      mkdir -p "$(dirname "$src/$path")"
      cp "$stage/$path" "$src/$path"
    fi
  done
  rm -rf "$stage"
}

build_targets() {  # log
  cmake --build "$build" -j "$jobs" --target meshjobs_library meshjobs_tests >>"$1" 2>&1
}

run_suite() {  # log; status 0 passed, 1 failed, 124 timed out
  timeout --signal=KILL "$timeout_seconds" "$build/bin/meshjobs_tests" --gtest_brief=1 --gtest_fail_fast \
    >>"$1" 2>&1
  local status=$?
  [ $status = 0 ] && return 0
  [ $status = 137 ] && return 124
  return 1
}

first_failure() {  # log
  local test
  test=$(grep -m1 -E '^\[  FAILED  \] [A-Za-z]' "$1" | sed -E 's/^\[  FAILED  \] ([^ ]+).*/\1/')
  echo "${test:-crashed}"
}

[ $sync = 1 ] && sync_tree
if [ ! -f "$build/build.ninja" ]; then
  echo "configuring $build"
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMESHJOBS_BUILD_TOOLS=OFF \
    -DMESHJOBS_BUILD_BENCH=OFF >"$logs/configure.log" 2>&1 || {
    echo "configuring failed: $logs/configure.log" >&2
    exit 2
  }
fi

# ---- Planting and undoing one fault ----

# Replaces the first occurrence of the find text on the one line that holds it.
plant() {  # index; fails when the text is not on exactly one line
  local i=$1 path=$src/${files[i]} content
  [ -f "$path" ] || return 1
  [ "$(grep -cF -- "${finds[i]}" "$path")" = 1 ] || return 1
  IFS= read -r -d '' content <"$path"
  cp -p "$path" "$work/original"
  printf '%s' "${content/"${finds[i]}"/"${replaces[i]}"}" >"$path"
  cmp -s "$path" "$work/original" && return 1
  return 0
}

undo() {  # index
  [ -f "$work/original" ] || return 0
  cp "$work/original" "$src/${files[$1]}"
  touch "$src/${files[$1]}"  # newer than the mutant's objects, so it is rebuilt
  rm -f "$work/original"
}

current=""
trap '[ -n "$current" ] && undo "$current"' EXIT
trap 'exit 130' INT TERM

if [ $baseline = 1 ]; then
  log=$logs/baseline.log
  : >"$log"
  start=$SECONDS
  if ! build_targets "$log"; then
    echo "the unchanged tree does not build: $log" >&2
    exit 2
  fi
  if ! run_suite "$log"; then
    echo "the unchanged tree fails its suite ($(first_failure "$log")): $log" >&2
    exit 2
  fi
  echo "unchanged tree: suite passes ($((SECONDS - start)) s)"
fi

killed=0 survived=0 broken=0 equivalent=0 ran=0
survivors=() brokenNames=()
total=${#names[@]}
for i in "${!names[@]}"; do
  selected "$i" || continue
  label=$(printf '[%3d/%d] %-34s' $((i + 1)) "$total" "${names[i]}")
  if [ -n "${equivalents[i]}" ] && [ $run_equivalent = 0 ]; then
    equivalent=$((equivalent + 1))
    echo "$label equivalent: ${equivalents[i]}"
    continue
  fi
  log=$logs/${names[i]}.log
  : >"$log"
  if ! plant "$i"; then
    broken=$((broken + 1)) brokenNames+=("${names[i]}")
    echo "$label NOT PLANTED: the find text is not on exactly one line of ${files[i]}"
    continue
  fi
  current=$i
  start=$SECONDS
  ran=$((ran + 1))
  if ! build_targets "$log"; then
    broken=$((broken + 1)) brokenNames+=("${names[i]}")
    echo "$label DOES NOT BUILD: $log"
  else
    run_suite "$log"
    case $? in
      0)
        survived=$((survived + 1)) survivors+=("${names[i]}")
        echo "$label SURVIVED ($((SECONDS - start)) s): ${whys[i]}" ;;
      124)
        killed=$((killed + 1))
        echo "$label killed by the time limit ($((SECONDS - start)) s)" ;;
      *)
        killed=$((killed + 1))
        echo "$label killed by $(first_failure "$log") ($((SECONDS - start)) s)" ;;
    esac
  fi
  undo "$i"
  current=""
done

# The scratch tree is left as it was copied; its next build mends the objects.
judged=$((killed + survived))
echo
if [ $judged -gt 0 ]; then
  echo "kill rate: $killed/$judged killed ($((100 * killed / judged))%), $equivalent equivalent left out"
else
  echo "no fault was judged"
fi
[ ${#survivors[@]} -gt 0 ] && echo "survived: ${survivors[*]}"
[ ${#brokenNames[@]} -gt 0 ] && echo "not planted or not built: ${brokenNames[*]}"
[ $broken -gt 0 ] && exit 2
[ $survived -gt 0 ] && exit 1
exit 0
