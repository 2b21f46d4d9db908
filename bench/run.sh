#!/usr/bin/env bash
# Times Quarry against tar -x on the same trees (native release build, Linux).
# Each workload is written once as an uncompressed tar and as a Quarry container; then both
# are extracted, alternating in rounds, after a warm-up, and the medians, their ratio and each
# tool's peak resident memory are printed.
# Every run extracts onto a freshly made ext4 file system (a loop-mounted image, made anew
# before each run): on a file system where tens of thousands of files were just deleted,
# ext4 spends most of a run looking for inodes that were not deleted recently, whoever runs,
# and the numbers would say more about the previous run than about the extractor.
#   QUARRY_BENCH_DIR (default build/bench), QUARRY_BENCH_ROUNDS (3), QUARRY_BENCH_RUNS (3)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
scripts/install-deps.sh bench

work=$(realpath -m "${QUARRY_BENCH_DIR:-build/bench}")
rounds=${QUARRY_BENCH_ROUNDS:-3}
runs=${QUARRY_BENCH_RUNS:-3}

cmake --preset release >/dev/null
cmake --build --preset release --target quarry quarry_sample test_decoder >/dev/null
mkdir -p "$work/bin" "$work/results"
cp build/release/quarry build/release/tests/decoder/oo2core_8_win64.dll "$work/bin/"
rm -f "$work"/results/*.json "$work"/results/*.rss

# make_workload NAME TREE-KIND COMPRESS-EVERY
make_workload() {
  local name=$1 kind=$2 every=$3
  [ -f "$work/$name.tar" ] && [ -f "$work/$name.resources" ] && return
  echo "Writing the $name workload..."
  rm -rf "$work/tree"
  python3 bench/make_tree.py "$kind" "$work/tree"
  tar -cf "$work/$name.tar" -C "$work/tree" .
  build/release/tests/quarry_sample pack "$work/tree" "$work/$name.resources" "$every" >/dev/null
  rm -rf "$work/tree"
}

# The output file system: made anew before every timed run (root is needed to mount it).
image=$work/output.img
mnt=$work/mnt
mkdir -p "$mnt"
cat >"$work/fresh-output.sh" <<SCRIPT
set -e
umount "$mnt" 2>/dev/null || true
truncate -s 4G "$image"
mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$image"
sync
mount -o loop "$image" "$mnt"
mkdir "$mnt/out-tar"
SCRIPT
prepare="bash $work/fresh-output.sh"
cleanup() { umount "$mnt" 2>/dev/null || true; rm -f "$image"; }
trap cleanup EXIT

quarry_cmd() { echo "$work/bin/quarry $work/$1.resources $mnt/out-quarry"; }
tar_cmd() { echo "tar -xf $work/$1.tar -C $mnt/out-tar"; }

# time_pair WORKLOAD: quarry against tar, in alternating rounds.
time_pair() {
  local name=$1
  for round in $(seq "$rounds"); do
    hyperfine --style basic --warmup 1 --runs "$runs" --prepare "$prepare" \
      --export-json "$work/results/$name-$round.json" \
      -n quarry "$(quarry_cmd "$name")" -n tar "$(tar_cmd "$name")" >/dev/null
  done
}

# peak_memory WORKLOAD: the maximum resident set of one run of each.
peak_memory() {
  local name=$1
  eval "$prepare"
  /usr/bin/time -f %M -o "$work/results/$name-quarry.rss" $(quarry_cmd "$name") >/dev/null
  eval "$prepare"
  /usr/bin/time -f %M -o "$work/results/$name-tar.rss" $(tar_cmd "$name")
}

# time_terminal: the small workload with standard output on a tmux terminal, against the
# same run with standard output in a file, in one hyperfine run inside the terminal.
time_terminal() {
  local session=quarry-bench
  tmux kill-session -t "$session" 2>/dev/null || true
  local script="$work/terminal.sh"
  cat >"$script" <<SCRIPT
for round in \$(seq $rounds); do
  hyperfine --style basic --warmup 1 --runs $runs --output inherit --prepare "$prepare" \\
    --export-json "$work/results/terminal-\$round.json" \\
    -n terminal "$(quarry_cmd small)" -n file "$(quarry_cmd small) > $work/stdout.txt"
done
tmux wait-for -S $session-done
SCRIPT
  tmux new-session -d -s "$session" -x 160 -y 48 "bash $script"
  tmux wait-for "$session-done"
  tmux kill-session -t "$session" 2>/dev/null || true
}

make_workload small small 0
make_workload large large 0
make_workload mixed mixed 3
largest_decoded=$(build/release/tests/quarry_sample largest "$work/mixed.resources")

for name in small large mixed; do
  echo "Timing $name..."
  time_pair "$name"
  peak_memory "$name"
done
echo "Timing small on a terminal..."
time_terminal
python3 bench/summarise.py "$work/results" "$rounds" "$largest_decoded"
