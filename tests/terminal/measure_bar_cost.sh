#!/bin/bash
# What drawing the bar costs: a container of 20,000 small stored entries extracted with
# standard output on a tmux terminal, against the same run with standard output in a file,
# in one hyperfine run inside the terminal (alternating rounds). Not a test; prints numbers.
#
#   measure_bar_cost.sh PROGRAM DECODER SAMPLE_TOOL [RUNNER]
#
# e.g. build/release/quarry build/release/tests/decoder/oo2core_8_win64.dll
#      build/release/tests/quarry_sample
# or   build/windows/Quarry.exe build/windows/tests/decoder/oo2core_8_win64.dll
#      build/windows/tests/quarry_sample.exe /usr/lib/wine/wine64
# ROUNDS and RUNS (environment) set the rounds and the runs per command in each. TMPDIR picks
# where the container and the output go: a memory file system (TMPDIR=/dev/shm) keeps the disk
# out of the numbers; on a disk mounted with online discard, removing one run's 20,000 files
# can slow the next run's creation of files by seconds.
set -euo pipefail

PROGRAM=$(realpath "$1")
DECODER=$(realpath "$2")
SAMPLE_TOOL=$(realpath "$3")
RUNNER=${4:-}
ROUNDS=${ROUNDS:-3}
RUNS=${RUNS:-10}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset TMUX

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quarry-bar-cost.XXXXXX")
SOCKET="$WORK/tmux.socket"
trap 'tmux -S "$SOCKET" kill-server 2>/dev/null || true; rm -rf "$WORK"' EXIT
cd "$WORK"
mkdir bin
cp "$PROGRAM" bin/
cp "$DECODER" bin/oo2core_8_win64.dll
run="$RUNNER bin/$(basename "$PROGRAM") small.resources out"

# 20,000 files of 1 to 4 KiB in 250 folders, the same every time.
python3 - <<'EOF'
import os, random
random.seed(7)
for k in range(20000):
    folder = os.path.join("tree", "d%03d" % (k % 250))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.bin" % k), "wb") as f:
        f.write(random.randbytes(random.randint(1024, 4096)))
EOF
$RUNNER "$SAMPLE_TOOL" pack tree small.resources >/dev/null
rm -rf tree

# hyperfine writes to the terminal too: the runs it times inherit its standard output.
cat >measure.sh <<EOF
for round in \$(seq $ROUNDS); do
  hyperfine --style basic --warmup 2 --runs $RUNS --output inherit --prepare 'rm -rf out' \\
    --export-json round-\$round.json -n terminal '$run' -n file '$run >stdout.txt' ||
    { echo failed >status; exit; }
done
echo 0 >status
EOF
tmux -S "$SOCKET" -f /dev/null new-session -d -x 160 -y 48 "bash measure.sh"
while [ ! -e status ]; do sleep 1; done
[ "$(cat status)" == 0 ] || { tmux -S "$SOCKET" capture-pane -p; exit 1; }

python3 - "$ROUNDS" <<'EOF'
import json, statistics, sys
times = {"terminal": [], "file": []}
for r in range(1, int(sys.argv[1]) + 1):
    for result in json.load(open(f"round-{r}.json"))["results"]:
        times[result["command"]] += result["times"]
for name, values in times.items():
    print(f"{name:9} median {statistics.median(values) * 1000:8.1f} ms  "
          f"min {min(values) * 1000:8.1f}  max {max(values) * 1000:8.1f}  ({len(values)} runs)")
ratio = statistics.median(times["terminal"]) / statistics.median(times["file"])
print(f"terminal / file (medians): {ratio:.3f}")
EOF
