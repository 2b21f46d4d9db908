#!/usr/bin/env bash
# Times Quarry against its peers and against the machine's limit on the same trees (native
# release build, Linux), and prints the table with the verdicts.
#
# Each workload is written once (cached in QUARRY_BENCH_DIR) as a Quarry container, an
# uncompressed tar and a store-only 7-Zip archive. The rows:
#   quarry     the build of this work tree
#   limit      bench/limit.c: open, copy the bytes from the tar, close, one thread, into
#              folders made before the timed region; its copy method is the fastest of those
#              it knows, measured per workload before the timed rounds
#   tar        GNU tar --no-same-owner --no-same-permissions -m (no owner, mode or mtime)
#   tar-plain  GNU tar -xf, which as root also restores the owner, mode and mtime of every file
#   bsdtar     libarchive's bsdtar, with the same three options as the tar row
#   7zip       7-Zip on a store-only archive (-mx=0) that keeps no times and no attributes
# Every tool's output is compared with Quarry's by diff -r once per workload before it is
# timed. Then each round runs every tool once, the order rotating from round to round, each
# run onto a freshly made ext4 file system (a loop-mounted image, made anew in hyperfine's
# --prepare, outside the timed region): on a file system where tens of thousands of files
# were just deleted, ext4 spends most of a run looking for inodes that were not deleted
# recently, and the numbers would say more about the previous run than about the extractor.
# Every run is wrapped in /usr/bin/time for its peak resident memory.
#
# Two more workloads, 10,000 and 300,000 stored files of the small kind, time Quarry and the
# limit only, for the time per entry and the peak memory. Two time Quarry against tar alone,
# on the same files in the same order, an order unrelated to the folders: random (20,000
# files of 4 KiB over four levels) and deep (20,000 entries alternating between two folders
# 1,000 levels deep). A last row times the small workload with standard output on a tmux
# terminal against standard output in a file.
#
# A game's folder (bench/make_tree.py game: a base, two patches that replace a third of its
# bytes, two levels; a third of the entries compressed) times Quarry on the folder against
# Quarry on one container of the winners alone, and against one run per container in order.
#
# Then what a modder does with a large container: listing the 300,000 entries (quarry --list
# against tar -tf on the same files, output thrown away), and extracting one entry chosen by
# a pattern against extracting all (from the large workload and from the 300,000 entries).
#
#   QUARRY_BENCH_ONLY=order   only the two order workloads (for a quick look)
#   QUARRY_BENCH_ONLY=select  only the listing and one-entry rows
#   QUARRY_BENCH_ONLY=game    only the game folder
#   QUARRY_BENCH_ONLY=small   only the small workload (against the limit and tar)
#   QUARRY_BENCH_BASELINE     another build of quarry, timed beside this one as "baseline"
#                             on the small workload (before and after a change)
#
#   QUARRY_BENCH_DIR (default build/bench)
#   QUARRY_BENCH_RUNS         timed runs per tool and workload (default 15)
#   QUARRY_BENCH_METHOD_RUNS  runs per copy method when choosing the limit's (default 5)
#   QUARRY_BENCH_ENTRY_RUNS   runs per tool of the 10,000 and 300,000 entries (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(realpath -m "${QUARRY_BENCH_DIR:-build/bench}")
runs=${QUARRY_BENCH_RUNS:-15}
method_runs=${QUARRY_BENCH_METHOD_RUNS:-5}
entry_runs=${QUARRY_BENCH_ENTRY_RUNS:-5}
results=$work/results
image=$work/output.img
mnt=$work/mnt
out=$mnt/out
methods=(cfr sendfile rw mmap)
declare -A limit_method

# --- Workloads -----------------------------------------------------------------------------

# make_workload NAME COMPRESS-EVERY PEERS|ALONE MAKE-TREE-ARGUMENT...: the container (every
# Nth file compressed), the tar, the limit's manifest and folder list, and for PEERS the
# 7-Zip archive when 7-Zip is there.
make_workload() {
  local name=$1 every=$2 seven_too=
  [ "$3" = PEERS ] && seven_too=$seven
  shift 3
  local files=("$work/$name.resources" "$work/$name.tar" "$work/$name.manifest" "$work/$name.folders")
  [ -n "$seven_too" ] && files+=("$work/$name.7z")
  local missing=0 file
  for file in "${files[@]}"; do [ -f "$file" ] || missing=1; done
  [ $missing = 0 ] && return
  echo "Writing the $name workload..."
  rm -rf "$work/tree" "${files[@]}"
  rm -f "$work/tree.order"
  python3 bench/make_tree.py "$1" "$work/tree" "${@:2}"
  if [ -f "$work/tree.order" ]; then  # the same files in the same order in both
    build/release-with-tests/tests/quarry_sample pack-order "$work/tree" "$work/tree.order" \
      "$work/$name.resources.part" >/dev/null
    tar --no-recursion -cf "$work/$name.tar.part" -C "$work/tree" -T "$work/tree.order"
  else
    build/release-with-tests/tests/quarry_sample pack "$work/tree" "$work/$name.resources.part" "$every" >/dev/null
    tar --sort=name -cf "$work/$name.tar.part" -C "$work/tree" .
  fi
  python3 bench/manifest.py "$work/$name.tar.part" "$work/$name.manifest" "$work/$name.folders"
  if [ -n "$seven_too" ]; then
    if (cd "$work/tree" && "$seven" a -bd -mx=0 -mtm=off -mtc=off -mta=off -mtr=off \
      "$work/$name.7z.part" . >"$results/7zip.log" 2>&1); then
      mv "$work/$name.7z.part" "$work/$name.7z"
    else
      skip_7zip "$seven could not write a store-only archive: $(tail -1 "$results/7zip.log")"
    fi
  fi
  mv "$work/$name.tar.part" "$work/$name.tar"
  mv "$work/$name.resources.part" "$work/$name.resources"
  rm -rf "$work/tree" "$work/tree.order"
}

# make_game_workload: the game folder of containers (work/game) and the winners alone in one
# container (work/game-winners.resources), every third entry compressed in both.
make_game_workload() {
  [ -d "$work/game" ] && [ -f "$work/game-winners.resources" ] && return
  echo "Writing the game workload..."
  rm -rf "$work/game-tree" "$work/game" "$work/game.part" "$work/game-winners.resources"
  python3 bench/make_tree.py game "$work/game-tree"
  local part
  for part in $(cd "$work/game-tree/parts" && find . -mindepth 1 -maxdepth 2 -type d -name '*.resources'); do
    mkdir -p "$(dirname "$work/game.part/$part")"
    build/release-with-tests/tests/quarry_sample pack "$work/game-tree/parts/$part" "$work/game.part/$part" 3 >/dev/null
  done
  build/release-with-tests/tests/quarry_sample pack "$work/game-tree/winners" "$work/game-winners.resources" 3 >/dev/null
  mv "$work/game.part" "$work/game"
  rm -rf "$work/game-tree"
}

# --- Tools ---------------------------------------------------------------------------------

# skip_7zip WHY: the 7-Zip row is left out, and says why.
skip_7zip() {
  echo "7zip: $1" >>"$results/skipped.txt"
  seven=
  local kept=() peer
  for peer in "${peers[@]}"; do [ "$peer" = 7zip ] || kept+=("$peer"); done
  peers=("${kept[@]}")
}

# command_for WORKLOAD TOOL OUTPUT: the command line that extracts WORKLOAD into OUTPUT.
command_for() {
  local name=$1 tool=$2 to=$3
  local fair=(--no-same-owner --no-same-permissions -m)
  case $tool in
    quarry) printf '%q ' "$work/bin/quarry" "$work/$name$([ "$name" = game ] || echo .resources)" "$to" ;;
    baseline) printf '%q ' "$work/bin/quarry-baseline" "$work/$name.resources" "$to" ;;
    quarry-winners) printf '%q ' "$work/bin/quarry" "$work/game-winners.resources" "$to" ;;
    quarry-each)  # one run per container, in the order Quarry takes them
      printf '%q ' bash -c 'cd "$2" && for c in $(find . -name "*.resources" | LC_ALL=C sort); do "$1" "$c" "$3" >/dev/null || exit; done' \
        each "$work/bin/quarry" "$work/game" "$to" ;;
    quarry-one) printf '%q ' "$work/bin/quarry" "$work/$name.resources" "$to" "$(one_entry "$name")" ;;
    quarry-list) printf '%q ' "$work/bin/quarry" --list "$work/$name.resources" ;;
    tar-list) printf '%q ' tar -tf "$work/$name.tar" ;;
    limit) command_for "$name" "limit-${limit_method[$name]}" "$to" ;;
    limit-*) printf '%q ' "$work/bin/limit" "${tool#limit-}" "$work/$name.manifest" "$work/$name.tar" "$to" ;;
    tar) printf '%q ' tar "${fair[@]}" -xf "$work/$name.tar" -C "$to" ;;
    tar-plain) printf '%q ' tar -xf "$work/$name.tar" -C "$to" ;;
    bsdtar) printf '%q ' bsdtar "${fair[@]}" -xf "$work/$name.tar" -C "$to" ;;
    7zip) printf '%q ' "$seven" x -bd -y "-o$to" "$work/$name.7z" ;;
    *) echo "unknown tool $tool" >&2; exit 1 ;;
  esac
}

# one_entry WORKLOAD: a pattern that selects one entry of WORKLOAD, near its end.
one_entry() {
  case $1 in
    large) echo "big/blob5.bin" ;;
    *) tar -tf "$work/$1.tar" | grep -v '/$' | tail -1 | sed 's|^\./||' ;;
  esac
}

# needs_folders TOOL: whether the tool's folders are made for it beforehand (the limit's).
needs_folders() { [[ $1 == limit* ]]; }

# find_peers: fills peers with the peer rows that can run here; a skipped one says why.
find_peers() {
  peers=(tar tar-plain)
  : >"$results/skipped.txt"
  if command -v bsdtar >/dev/null; then
    peers+=(bsdtar)
  else
    echo "bsdtar: not installed (Debian package libarchive-tools)" >>"$results/skipped.txt"
  fi
  seven=$(command -v 7zz || command -v 7z || true)
  peers+=(7zip)
  [ -n "$seven" ] || skip_7zip "neither 7zz nor 7z is installed (Debian packages 7zip, p7zip-full)"
}

# --- Output file system --------------------------------------------------------------------

# fresh_output_script: writes the --prepare script, which makes the output file system anew
# (root is needed to mount it) with an empty folder out/, and in it the folders listed in
# the file given as its argument, if any.
fresh_output_script() {
  cat >"$work/fresh-output.sh" <<SCRIPT
set -e
umount "$mnt" 2>/dev/null || true
rm -f "$image"
truncate -s 16G "$image"  # sparse; its million inodes hold two trees of 300,000 files
mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$image"
sync
mount -o loop "$image" "$mnt"
mkdir "$out"
if [ \$# -gt 0 ]; then cd "$out" && xargs -a "\$1" -d '\n' mkdir -p; fi
SCRIPT
}

# prepare_for WORKLOAD TOOL: the --prepare command of a run of TOOL.
prepare_for() {
  if needs_folders "$2"; then
    printf '%q ' bash "$work/fresh-output.sh" "$work/$1.folders"
  else
    printf '%q ' bash "$work/fresh-output.sh"
  fi
}

cleanup() { umount "$mnt" 2>/dev/null || true; rm -f "$image"; }

# --- Timing --------------------------------------------------------------------------------

# time_one WORKLOAD FOLDER LABEL TOOL [OUTPUT]: one timed run of TOOL onto a fresh file
# system, into FOLDER/TOOL-LABEL.json; its peak resident memory is added to FOLDER/TOOL.rss.
# OUTPUT is where its standard output goes (hyperfine's --output; null by default).
time_one() {
  local name=$1 folder=$2 label=$3 tool=$4 output=${5:-null}
  mkdir -p "$folder"
  local timed
  timed="$(printf '%q ' /usr/bin/time -a -o "$folder/$tool.rss" -f %M) $(command_for "$name" "$tool" "$out")"
  local run=(hyperfine -N --runs 1 --output "$output" --prepare "$(prepare_for "$name" "$tool")"
    --export-json "$folder/$tool-$label.json" -n "$tool" "$timed")
  if [ "$output" = inherit ]; then
    "${run[@]}" --style none  # the tool's standard output is this terminal
  else
    "${run[@]}" --style basic >>"$folder/hyperfine.log"
  fi
}

# rotated K TOOL...: the tools, starting from the Kth (counted from 0, modulo their number).
rotated() {
  local k=$1
  shift
  local tools=("$@") n=$# i
  for ((i = 0; i < n; i++)); do echo "${tools[(i + k) % n]}"; done
}

# time_rounds WORKLOAD FOLDER ROUNDS TOOL...: ROUNDS rounds of one run per tool, the order
# rotating. Each tool has run just before (its check), so its input is in the page cache.
time_rounds() {
  local name=$1 folder=$2 count=$3 round tool
  shift 3
  for ((round = 1; round <= count; round++)); do
    for tool in $(rotated "$round" "$@"); do time_one "$name" "$folder" "$round" "$tool"; done
  done
}

# check_outputs WORKLOAD TOOL...: extracts WORKLOAD with Quarry and with each TOOL and stops
# the benchmark unless every TOOL's tree equals Quarry's (diff -r).
check_outputs() {
  local name=$1 tool
  shift
  bash "$work/fresh-output.sh"
  mkdir "$mnt/quarry"
  eval "$(command_for "$name" quarry "$mnt/quarry")" >/dev/null
  for tool in "$@"; do
    mkdir "$mnt/peer"
    if needs_folders "$tool"; then (cd "$mnt/peer" && xargs -a "$work/$name.folders" -d '\n' mkdir -p); fi
    eval "$(command_for "$name" "$tool" "$mnt/peer")" >/dev/null
    if ! diff -r "$mnt/quarry" "$mnt/peer" >"$results/$name-$tool.diff"; then
      echo "The $tool output of $name differs from Quarry's:" >&2
      head -20 "$results/$name-$tool.diff" >&2
      exit 1
    fi
    rm -rf "$mnt/peer" "$results/$name-$tool.diff"
    echo "$name $tool" >>"$results/checked.txt"
  done
}

# choose_limit_method WORKLOAD: runs every copy method once (which also reads the input into
# the page cache), then times those that worked in rounds and keeps the one with the lowest
# median as the limit's for WORKLOAD.
choose_limit_method() {
  local name=$1
  local folder=$results/$name/methods method usable=()
  mkdir -p "$folder"
  for method in "${methods[@]}"; do
    bash "$work/fresh-output.sh" "$work/$name.folders"
    if eval "$(command_for "$name" "limit-$method" "$out")" 2>"$folder/$method.err"; then
      usable+=("limit-$method")
    else
      echo "limit-$method: $(head -1 "$folder/$method.err")" >>"$folder/unusable.txt"
    fi
  done
  [ ${#usable[@]} -gt 0 ] || { echo "No copy method of the limit works here" >&2; exit 1; }
  time_rounds "$name" "$folder" "$method_runs" "${usable[@]}"
  limit_method[$name]=$(python3 bench/summarise.py fastest "$folder" "${usable[@]}")
  limit_method[$name]=${limit_method[$name]#limit-}
  echo "${limit_method[$name]}" >"$results/$name/method.txt"
}

# time_terminal: the small workload with standard output on a tmux terminal, against the
# same with standard output in a file, in rounds inside the terminal (this script again).
time_terminal() {
  local socket=$work/tmux.socket
  tmux -S "$socket" kill-server 2>/dev/null || true
  tmux -S "$socket" new-session -d -s bench -x 160 -y 48 -c "$PWD" \
    "$(printf '%q ' env QUARRY_BENCH_DIR="$work" QUARRY_BENCH_RUNS="$runs" \
      bash bench/run.sh --terminal-rounds "$socket")"
  tmux -S "$socket" wait-for done
  tmux -S "$socket" kill-server 2>/dev/null || true
  rm -f "$socket"
  [ -f "$results/terminal/done" ] ||
    { echo "The terminal rounds failed:" >&2; cat "$results/terminal.err" >&2; exit 1; }
}

terminal_rounds() {
  local folder=$results/terminal round tool
  for ((round = 0; round <= runs; round++)); do
    local sub=$folder label=$round
    [ $round = 0 ] && sub=$folder/warmup  # a first round in the new terminal, not counted
    for tool in $(rotated "$round" terminal file); do
      if [ "$tool" = terminal ]; then
        time_one small "$sub" "$label" quarry inherit
        mv "$sub/quarry-$label.json" "$sub/terminal-$label.json"
      else
        time_one small "$sub" "$label" quarry "$work/stdout.txt"
        mv "$sub/quarry-$label.json" "$sub/file-$label.json"
      fi
    done
  done
  touch "$folder/done"
}

# --- Main ----------------------------------------------------------------------------------

if [ "${1:-}" = --terminal-rounds ]; then
  trap 'tmux -S "$2" wait-for -S done' EXIT
  exec 2>"$results/terminal.err"
  terminal_rounds
  exit 0
fi

[ "$runs" -ge 1 ] && [ "$method_runs" -ge 1 ] && [ "$entry_runs" -ge 1 ] ||
  { echo "The run counts must be at least 1" >&2; exit 1; }
scripts/install-deps.sh native
scripts/install-deps.sh bench
mkdir -p "$work/bin" "$mnt"
rm -rf "$results"
mkdir -p "$results"
echo "$(nproc) cores; $(uptime)" >"$results/load-start.txt"
echo "Load at the start: $(cat "$results/load-start.txt")"

cmake --preset release-with-tests >/dev/null
cmake --build --preset release-with-tests --target quarry quarry_sample test_decoder >/dev/null
cp build/release-with-tests/quarry build/release-with-tests/tests/decoder/oo2core_8_win64.dll "$work/bin/"
cc -O2 -Wall -o "$work/bin/limit" bench/limit.c
find_peers
fresh_output_script
trap cleanup EXIT

# time_selection: the listing and one-entry rows.
time_selection() {
  echo "Timing the list and one entry... ($(date +%T))"
  time_rounds entries-300000 "$results/list" "$runs" quarry-list tar-list
  time_rounds large "$results/one-large" "$runs" quarry quarry-one
  time_rounds entries-300000 "$results/one-small" "$runs" quarry quarry-one
}

# time_game: the game folder against the winners alone and against one run per container.
time_game() {
  echo "Timing game... ($(date +%T))"
  make_game_workload
  check_outputs game quarry-winners quarry-each
  time_rounds game "$results/game" "$runs" quarry quarry-winners quarry-each
}

baseline=()
if [ -n "${QUARRY_BENCH_BASELINE:-}" ]; then
  cp "$QUARRY_BENCH_BASELINE" "$work/bin/quarry-baseline"
  baseline=(baseline)
fi

if [ "${QUARRY_BENCH_ONLY:-}" = small ]; then
  make_workload small 0 PEERS small
  choose_limit_method small
  check_outputs small limit tar "${baseline[@]}"
  time_rounds small "$results/small" "$runs" quarry limit tar "${baseline[@]}"
  python3 bench/summarise.py small "$results"
  exit 0
fi

if [ "${QUARRY_BENCH_ONLY:-}" = game ]; then
  time_game
  python3 bench/summarise.py game "$results"
  exit 0
fi

if [ "${QUARRY_BENCH_ONLY:-}" = select ]; then
  make_workload large 0 PEERS large
  make_workload entries-300000 0 ALONE small 300000
  time_selection
  python3 bench/summarise.py select "$results"
  exit 0
fi

make_workload random 0 ALONE random
make_workload deep 0 ALONE deep
for name in random deep; do
  echo "Timing $name... ($(date +%T))"
  check_outputs "$name" tar
  time_rounds "$name" "$results/$name" "$runs" quarry tar
done
if [ "${QUARRY_BENCH_ONLY:-}" = order ]; then
  python3 bench/summarise.py order "$results"
  exit 0
fi

make_workload small 0 PEERS small
make_workload large 0 PEERS large
make_workload mixed 3 PEERS mixed
make_workload entries-10000 0 ALONE small 10000
make_workload entries-300000 0 ALONE small 300000

for name in small large mixed; do
  echo "Timing $name... ($(date +%T))"
  choose_limit_method "$name"
  check_outputs "$name" limit "${peers[@]}"
  time_rounds "$name" "$results/$name" "$runs" quarry limit "${peers[@]}"
done
for name in entries-10000 entries-300000; do
  echo "Timing $name... ($(date +%T))"
  limit_method[$name]=${limit_method[small]}
  check_outputs "$name" limit
  time_rounds "$name" "$results/$name" "$entry_runs" quarry limit
done
time_selection
time_game
echo "Timing small on a terminal... ($(date +%T))"
time_terminal
echo "$(nproc) cores; $(uptime)" >"$results/load-end.txt"
python3 bench/summarise.py table "$results"
