#!/usr/bin/env bash
# Mutation testing: how many small, plausible faults of tests/mutants.tsv the suite catches.
#
#   scripts/mutate.sh [-j N] [--fresh] [--no-broader] [ID...]
#   scripts/mutate.sh --check [BUILD_DIR]
#
# The first form copies the tracked files of HEAD into a scratch tree, configures and builds it
# once, then for each mutant (all of them, or the IDs given): replaces the mutant's text in its
# file, rebuilds what the mutant's CTest entries need, runs them, and when they all pass runs the
# broader entries of the file's folder as well; then puts the file back. It prints one line per
# mutant (killed ID by ENTRY, survived ID, did not build ID, not applied ID), then the score
# killed / (killed + survived) and the survivors. The clone itself is never written.
#
# The scratch folder is DAXINST_MUTATE_DIR, or build-mutate in the clone, or a folder of the
# user's cache when a folder above the clone lets others write (the program refuses packages
# staged below such a folder, as ./run-tests explains). It is kept: a second run brings it to
# HEAD, copying only the files that differ, and rebuilds only what they touch. --fresh starts it
# again. Every mutant's build and test output is kept in <scratch>/logs/ID.log.
#
# --check only checks the table against the clone: every original text occurs exactly once in
# its file, every folder of src/ has a mutant, and every regex names a CTest entry of BUILD_DIR.
#
# Table (tab-separated, one header line): id, file, original, replacement, entries, description.
# In original and replacement, \t, \n and \\ stand for a tab, a line end and a backslash.
set -euo pipefail
# Everything runs from main, which bash reads whole before it starts: the clone's copy of this
# script may be edited while it runs.
main() {
clone=$(cd "$(dirname "$0")/.." && pwd)
table=$clone/tests/mutants.tsv

# The mutant text handling: decoding the escapes, counting and replacing.
mutant_tool() {
  python3 - "$@" <<'PYTHON'
import csv, os, re, sys

def decode(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text) and text[i + 1] in "tn\\":
            out.append({"t": "\t", "n": "\n", "\\": "\\"}[text[i + 1]])
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)

def rows(path):
    with open(path, newline="", encoding="utf-8") as handle:
        lines = [l.rstrip("\n") for l in handle if l.strip() and not l.startswith("#")]
    header = lines[0].split("\t")
    for number, line in enumerate(lines[1:], start=2):
        cells = line.split("\t")
        if len(cells) != len(header):
            sys.exit(f"mutants.tsv line {number}: {len(cells)} cells, the header has {len(header)}")
        yield dict(zip(header, cells))

command, path = sys.argv[1], sys.argv[2]
if command == "list":
    # id <TAB> file <TAB> entries, one mutant a line
    for row in rows(path):
        print("\t".join([row["id"], row["file"], row["entries"]]))
elif command == "apply":
    # apply TABLE ID TREE: exit 3 when the original is not there exactly once
    wanted, tree = sys.argv[3], sys.argv[4]
    row = next(r for r in rows(path) if r["id"] == wanted)
    target = os.path.join(tree, row["file"])
    try:
        with open(target, encoding="utf-8", newline="") as handle:
            text = handle.read()
    except OSError:
        sys.exit(3)
    original, replacement = decode(row["original"]), decode(row["replacement"])
    if text.count(original) != 1:
        sys.exit(3)
    with open(target, "w", encoding="utf-8", newline="") as handle:
        handle.write(text.replace(original, replacement))
elif command == "check":
    # check TABLE CLONE ENTRIES_FILE
    clone, entries_file = sys.argv[3], sys.argv[4]
    entries = open(entries_file).read().split()
    faults, ids, folders = [], set(), set()
    for row in rows(path):
        name = row["id"]
        if name in ids:
            faults.append(f"{name}: the id is used twice")
        ids.add(name)
        try:
            text = open(os.path.join(clone, row["file"]), encoding="utf-8", newline="").read()
        except OSError:
            faults.append(f"{name}: {row['file']} does not exist")
            continue
        original = decode(row["original"])
        count = text.count(original)
        if count != 1:
            faults.append(f"{name}: the original text occurs {count} times in {row['file']}")
        if decode(row["replacement"]) == original:
            faults.append(f"{name}: the replacement is the original")
        try:
            regex = re.compile(row["entries"])
        except re.error as error:
            faults.append(f"{name}: bad regex {row['entries']!r}: {error}")
            continue
        if not any(regex.search(entry) for entry in entries):
            faults.append(f"{name}: {row['entries']!r} names no CTest entry")
        parts = row["file"].split("/")
        if len(parts) > 2 and parts[0] == "src":
            folders.add(parts[1])
    source = os.path.join(clone, "src")
    for folder in sorted(os.listdir(source)):
        if os.path.isdir(os.path.join(source, folder)) and folder not in folders:
            faults.append(f"src/{folder} has no mutant")
    for fault in faults:
        print(f"mutants.tsv: {fault}")
    sys.exit(1 if faults else 0)
elif command == "sync":
    # sync FROM TO KEEP: makes TO hold FROM's files, writing only those whose bytes differ, so
    # that an incremental build rebuilds only what changed; TO's folder KEEP stays as it is
    source, target, keep = sys.argv[2], sys.argv[3], sys.argv[4]
    seen = set()
    for root, dirs, files in os.walk(source):
        relative = os.path.relpath(root, source)
        os.makedirs(os.path.join(target, relative), exist_ok=True)
        for name in files:
            path_in = os.path.join(root, name)
            path_out = os.path.normpath(os.path.join(target, relative, name))
            seen.add(path_out)
            data = open(path_in, "rb").read()
            if not os.path.exists(path_out) or open(path_out, "rb").read() != data:
                with open(path_out, "wb") as handle:
                    handle.write(data)
                os.chmod(path_out, os.stat(path_in).st_mode & 0o777)
    for root, dirs, files in os.walk(target):
        if root == target and keep in dirs:
            dirs.remove(keep)
        for name in files:
            path_out = os.path.normpath(os.path.join(root, name))
            if path_out not in seen:
                os.remove(path_out)
PYTHON
}

ctest_entries() {
  ctest --test-dir "$1" -N 2>/dev/null | sed -n 's/^ *Test *#[0-9]*: //p'
}

if [ "${1:-}" = --check ]; then
  build_dir=${2:-${DAXINST_BUILD_DIR:-$clone/build}}
  listed=$(mktemp)
  trap 'rm -f "$listed"' EXIT
  ctest_entries "$build_dir" >"$listed"
  if [ ! -s "$listed" ]; then
    echo "mutate.sh: no CTest entries in $build_dir" >&2
    exit 2
  fi
  mutant_tool check "$table" "$clone" "$listed"
  echo "mutants.tsv: $(mutant_tool list "$table" | wc -l) mutants, every one applies"
  exit 0
fi

jobs=3
fresh=0
broader=1
ids=()
while [ $# -gt 0 ]; do
  case $1 in
    -j) jobs=$2; shift 2 ;;
    -j*) jobs=${1#-j}; shift ;;
    --fresh) fresh=1; shift ;;
    --no-broader) broader=0; shift ;;
    -h | --help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "mutate.sh: unknown option $1" >&2; exit 2 ;;
    *) ids+=("$1"); shift ;;
  esac
done

open_to_others() {
  local dir=$1
  while :; do
    [ -n "$(find "$dir" -maxdepth 0 -perm /022 2>/dev/null)" ] && return 0
    [ "$dir" = / ] && return 1
    dir=$(dirname "$dir")
  done
}
if [ -n "${DAXINST_MUTATE_DIR:-}" ]; then
  scratch=$DAXINST_MUTATE_DIR
elif open_to_others "$clone"; then
  scratch=${XDG_CACHE_HOME:-$HOME/.cache}/daxinst/mutate-$(printf '%s' "$clone" | sha256sum | cut -c1-12)
else
  scratch=$clone/build-mutate
fi
(umask 022 && mkdir -p "$scratch")
scratch=$(cd "$scratch" && pwd)
if open_to_others "$scratch"; then
  echo "mutate.sh: $scratch lies below a folder that others may write; set DAXINST_MUTATE_DIR" >&2
  exit 2
fi
# The build folder lies in the tree as the clone's own does, so that the compiler cache, with
# CCACHE_BASEDIR above both, serves the scratch build from the clone's builds.
tree=$scratch/tree
build=$tree/build
logs=$scratch/logs
[ "$fresh" = 1 ] && rm -rf "$tree"
mkdir -p "$tree" "$logs"

# The scratch tree is brought to HEAD, whatever an interrupted run left in it.
export_dir=$scratch/export
rm -rf "$export_dir"
mkdir -p "$export_dir"
git -C "$clone" archive HEAD | tar -x -C "$export_dir"
mutant_tool sync "$export_dir" "$tree" build
rm -rf "$export_dir"
commit=$(git -C "$clone" rev-parse --short HEAD)

applied_file=
restore() {
  if [ -n "$applied_file" ] && [ -f "$applied_file.original" ]; then
    mv -f "$applied_file.original" "$applied_file"
  fi
  applied_file=
}
trap 'restore; echo "mutate.sh: interrupted; the scratch tree is restored" >&2; exit 130' INT TERM HUP
trap restore EXIT

if [ -z "${CCACHE_BASEDIR:-}" ]; then
  base=$(python3 -c 'import os, sys; print(os.path.commonpath(sys.argv[1:]))' "$clone" "$scratch")
  [ "$base" != / ] && export CCACHE_BASEDIR=$base
fi
launchers=()
if command -v ccache >/dev/null 2>&1; then
  launchers=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
started=$SECONDS
echo "mutate.sh: HEAD $commit in $tree; building $build"
if ! { nice cmake -S "$tree" --preset tests -B "$build" "${launchers[@]}" &&
  nice cmake --build "$build" -j"$(nproc)"; } >"$logs/build.log" 2>&1; then
  echo "mutate.sh: the unchanged tree does not build; see $logs/build.log" >&2
  exit 1
fi
export DAXINST_BUILD_DIR=$build
all_entries=$(ctest_entries "$build")
targets=$(cmake --build "$build" --target help 2>/dev/null | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p')

# The entries whose names the regex matches.
entries_matching() {
  grep -E -- "$1" <<<"$all_entries" || true
}

# The targets that build an entry: the entry's name up to its first dot, when that is a target;
# anything else (a script entry) is served by building everything.
targets_for() {
  local entry target list=()
  for entry in "$@"; do
    target=${entry%%.*}
    if grep -qx -- "$target" <<<"$targets"; then
      list+=("$target")
    else
      echo all
      return
    fi
  done
  printf '%s\n' "${list[@]}" | sort -u
}

# Builds and runs ENTRIES...; prints the first failed entry, or nothing when all pass.
# Returns 2 when the build fails.
build_and_run() {
  local log=$1
  shift
  local -a build_targets
  mapfile -t build_targets < <(targets_for "$@")
  if ! nice cmake --build "$build" -j"$(nproc)" --target "${build_targets[@]}" >>"$log" 2>&1; then
    return 2
  fi
  local regex
  regex="^($(printf '%s\n' "$@" | sed 's/[].[^$*+?(){}|\\]/\\&/g' | paste -sd'|'))\$"
  rm -f "$build/Testing/Temporary/LastTestsFailed.log"
  if nice xvfb-run -a -s "-screen 0 1024x768x24" \
    ctest --test-dir "$build" --output-on-failure -j"$jobs" -R "$regex" >>"$log" 2>&1; then
    return 0
  fi
  if [ -s "$build/Testing/Temporary/LastTestsFailed.log" ]; then
    sed -n '1s/^[0-9]*://p' "$build/Testing/Temporary/LastTestsFailed.log"
  else
    echo "ctest"
  fi
}

# The entries that stand for a folder of src/ as a whole.
broader_regex() {
  case $1 in
    src/sharedlib/*) echo '^(sharedlib|trust)_tests$' ;;
    src/upgrade/*) echo '^(upgrade|setup_verifier_nobundle)_tests$' ;;
    src/daxinst/*) echo '^e2e_tests$' ;;
    src/*/*) local folder=${1#src/}; echo "^${folder%%/*}_tests$" ;;
    *) echo '^$' ;;
  esac
}

mapfile -t table_rows < <(mutant_tool list "$table")
# The IDs given, in the order given; without any, the whole table in its order.
if [ ${#ids[@]} -gt 0 ]; then
  chosen=()
  for id in "${ids[@]}"; do
    row=$(printf '%s\n' "${table_rows[@]}" | awk -F'\t' -v id="$id" '$1 == id' | head -n 1)
    chosen+=("${row:-$id}")
  done
  table_rows=("${chosen[@]}")
fi
killed=0 survived=0 unbuilt=0 unapplied=0
survivors=()
for row in "${table_rows[@]}"; do
  IFS=$'\t' read -r id file regex <<<"$row"
  log=$logs/$id.log
  : >"$log"
  mutant_started=$SECONDS
  target_file=$tree/$file
  if [ -z "$file" ] || [ ! -f "$target_file" ]; then
    echo "not applied $id"
    unapplied=$((unapplied + 1))
    continue
  fi
  cp -p "$target_file" "$target_file.original"
  applied_file=$target_file
  if ! mutant_tool apply "$table" "$id" "$tree" 2>>"$log"; then
    restore
    echo "not applied $id"
    unapplied=$((unapplied + 1))
    continue
  fi
  mapfile -t named < <(entries_matching "$regex")
  status=0
  first=$(build_and_run "$log" "${named[@]}") || status=$?
  if [ $status -eq 0 ] && [ -z "$first" ] && [ "$broader" = 1 ]; then
    mapfile -t wider < <(entries_matching "$(broader_regex "$file")" | grep -vxF -f <(printf '%s\n' "${named[@]}") || true)
    if [ ${#wider[@]} -gt 0 ]; then
      first=$(build_and_run "$log" "${wider[@]}") || status=$?
    fi
  fi
  restore
  seconds=$((SECONDS - mutant_started))
  if [ $status -eq 2 ]; then
    echo "did not build $id (${seconds} s)"
    unbuilt=$((unbuilt + 1))
  elif [ -n "$first" ]; then
    echo "killed $id by $first (${seconds} s)"
    killed=$((killed + 1))
  else
    echo "survived $id (${seconds} s)"
    survived=$((survived + 1))
    survivors+=("$id")
  fi
done

# The tree as HEAD has it, built again, so that the next run starts from a sound build.
nice cmake --build "$build" -j"$(nproc)" >>"$logs/build.log" 2>&1 || true

tested=$((killed + survived))
if [ $tested -gt 0 ]; then
  percent=$(awk -v k=$killed -v t=$tested 'BEGIN { printf "%.1f", 100 * k / t }')
else
  percent=0
fi
echo "score: $killed/$tested killed ($percent%), $survived survived, $unbuilt did not build," \
  "$unapplied not applied; HEAD $commit, $((SECONDS - started)) s"
if [ ${#survivors[@]} -gt 0 ]; then
  echo "survivors: ${survivors[*]}"
fi
}

main "$@"
