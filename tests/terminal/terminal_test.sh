#!/bin/bash
# Runs the program on a real terminal (a detached tmux pane of a chosen size) and checks what
# the screen shows, characters and colours, cell by cell.
#
#   terminal_test.sh CASE PROGRAM DECODER SAMPLE_TOOL [RUNNER]
#
# RUNNER runs the Windows build's executables (Wine); empty for the native build. The cases:
#   bar         the count line, then the bar below it at the expected fill, for several widths
#   narrow      a terminal too narrow for the bar shows only the label
#   errors      failing entries' lines stay readable, in order, above the bar; also when the
#               run starts on the screen's last row and everything scrolls
#   redirected  standard output to a file: no bar, no escape sequences, just the count line
#   errors_file standard error to a file: the bar on the screen, the plain lines in the file
#   interrupt   Ctrl+C during a long run: the bar's line ended, one line below it, the
#               interrupt's status, and no file left half-made
set -u

CASE=$1
PROGRAM=$(realpath "$2")
DECODER=$(realpath "$3")
SAMPLE_TOOL=$(realpath "$4")
RUNNER=${5:-}

command -v tmux >/dev/null || { echo "tmux is needed (scripts/install-deps.sh installs it)"; exit 1; }
if [ -n "$RUNNER" ] && [ ! -x "$RUNNER" ]; then echo "$RUNNER is needed"; exit 1; fi

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset TMUX

# Wine's first start in a fresh prefix can take long; a run normally ends within seconds.
WAIT_SECONDS=120
ESC=$'\e'
LABEL_SGR="${ESC}[91m"  # bright red, as tmux reports it for both builds
BAR_SGR="${ESC}[92m"    # bright green
if [ -n "$RUNNER" ]; then EOL=$'\r\n'; else EOL=$'\n'; fi

SANDBOX=$(mktemp -d "${TMPDIR:-/tmp}/quarry-terminal.XXXXXX")
SOCKET="$SANDBOX/tmux.socket"  # a server of its own, gone with the sandbox
cleanup() {
  tmux -S "$SOCKET" kill-server 2>/dev/null
  rm -rf "$SANDBOX"
}
trap cleanup EXIT

mkdir -p "$SANDBOX/bin"
cp "$PROGRAM" "$SANDBOX/bin/"
cp "$DECODER" "$SANDBOX/bin/oo2core_8_win64.dll"
PROGRAM_NAME=$(basename "$PROGRAM")
cd "$SANDBOX" || exit 1

SCREEN_PLAIN=()  # the rows of the last capture, characters only
SCREEN_SGR=()    # the same rows with their SGR sequences
FAILED=0

fail() {
  echo "FAIL [$CASE${LABEL:+, $LABEL}]: $*"
  echo "--- screen (escape sequences shown as ^[) ---"
  local row
  for row in "${!SCREEN_SGR[@]}"; do printf '%2d|%s\n' "$row" "${SCREEN_SGR[$row]}" | cat -v; done
  echo "---"
  FAILED=1
}

# Containers, written by the build's own sample tool (relative paths: Wine maps them as-is).
sample() {
  $RUNNER "$SAMPLE_TOOL" "$@" >/dev/null || { echo "sample tool failed: $*"; exit 1; }
}

make_tree() {  # make_tree FOLDER COUNT: COUNT small files
  local k
  mkdir -p "$1"
  for ((k = 0; k < $2; ++k)); do printf 'file %d\n' "$k" >"$1/f$k.txt"; done
}

# start_on_terminal WIDTH HEIGHT CONTAINER [REDIRECTIONS]
# Types the run into a shell on a fresh WIDTHxHEIGHT terminal, after clearing the screen;
# "[after]" is printed on a new line once the program is done. (The script's own shell lives
# through a Ctrl+C, which its child takes with the default action as any program would.)
start_on_terminal() {
  local width=$1 height=$2 container=$3 redirections=${4:-}
  rm -rf out status status.tmp
  cat >run.sh <<EOF
trap : INT
printf '\\033[H\\033[2J'
$RUNNER bin/$PROGRAM_NAME $container out $redirections
s=\$?
printf '\\n[after]'
echo \$s >status.tmp && mv status.tmp status
EOF
  tmux -S "$SOCKET" kill-server 2>/dev/null
  tmux -S "$SOCKET" -f /dev/null new-session -d -s quarry -x "$width" -y "$height" \
    "env PS1='$ ' ENV= sh" || { echo "cannot start tmux"; exit 1; }
  tmux -S "$SOCKET" send-keys -t quarry "sh run.sh" Enter
}

# Waits for the run that start_on_terminal began. Leaves the program's status in STATUS and
# the screen in SCREEN_PLAIN / SCREEN_SGR.
finish_on_terminal() {
  local waited=0
  while [ ! -e status ]; do
    if ((waited >= WAIT_SECONDS * 10)); then
      capture
      fail "the run did not finish within $WAIT_SECONDS s"
      exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  STATUS=$(cat status)
  # Wine's console host may still be painting: wait for a settled screen showing [after].
  local previous="" now
  for ((waited = 0; waited < 100; ++waited)); do
    now=$(tmux -S "$SOCKET" capture-pane -p -e -J -t quarry)
    [[ "$now" == *"[after]"* && "$now" == "$previous" ]] && break
    previous=$now
    sleep 0.1
  done
  capture
  tmux -S "$SOCKET" kill-server 2>/dev/null
}

run_on_terminal() {
  start_on_terminal "$@"
  finish_on_terminal
}

# Each row on its own, so that its SGR sequences tell its colours from its first cell on; the
# rows scrolled off the top come first, the screen's first row is at index HISTORY.
capture() {
  SCREEN_PLAIN=()
  SCREEN_SGR=()
  local height row
  height=$(tmux -S "$SOCKET" display-message -p -t quarry '#{pane_height}')
  HISTORY=$(tmux -S "$SOCKET" display-message -p -t quarry '#{history_size}')
  for ((row = -HISTORY; row < height; ++row)); do
    SCREEN_PLAIN+=("$(tmux -S "$SOCKET" capture-pane -p -t quarry -S "$row" -E "$row")")
    SCREEN_SGR+=("$(tmux -S "$SOCKET" capture-pane -p -e -t quarry -S "$row" -E "$row")")
  done
}

repeat() {  # repeat TEXT COUNT
  local out="" k
  for ((k = 0; k < $2; ++k)); do out+=$1; done
  printf '%s' "$out"
}

# Sets ROW to the first row of the one place where TEXT shows, wrapped at the terminal's
# width over as many rows as it takes, and LAST to its last row; fails (ROW -1) unless the
# text shows exactly once.
find_text() {
  local text=$1 width=$2 row k count=0
  local chunks=()
  for ((k = 0; k < ${#text}; k += width)); do
    local chunk=${text:k:width}
    chunks+=("${chunk%"${chunk##*[! ]}"}")  # a row is captured without its trailing blanks
  done
  ROW=-1
  for ((row = 0; row + ${#chunks[@]} <= ${#SCREEN_PLAIN[@]}; ++row)); do
    for ((k = 0; k < ${#chunks[@]}; ++k)); do
      [ "${SCREEN_PLAIN[row + k]}" == "${chunks[k]}" ] || continue 2
    done
    ROW=$row
    LAST=$((row + ${#chunks[@]} - 1))
    count=$((count + 1))
  done
  if ((count != 1)); then
    fail "expected '$text' to show once, found it $count times"
    ROW=-1
  fi
}

# A wrapped text in the terminal's own colours, every row of it.
expect_text_default_colours() {
  local row
  for ((row = $1; row <= $2; ++row)); do expect_default_colours "$row" "$3"; done
}

rows_containing() {  # how many rows contain TEXT
  local row count=0
  for row in "${SCREEN_PLAIN[@]}"; do [[ "$row" == *"$1"* ]] && count=$((count + 1)); done
  echo "$count"
}

# A row in the terminal's own colours: no SGR sequence other than a reset to the defaults.
expect_default_colours() {
  local row=$1 what=$2 line=${SCREEN_SGR[$1]}
  line=${line//"${ESC}[39m"/}
  line=${line//"${ESC}[49m"/}
  line=${line//"${ESC}[0m"/}
  [[ "$line" == *"$ESC"* ]] && fail "$what (row $row) is not in the default colours"
}

# The bar row for a terminal WIDTH cells wide at FILL '#' cells: the red label, the green
# frame and cells, the whole row to the right edge; or the label alone when there is no room.
expect_bar_row() {
  local row=$1 width=$2 fill=$3
  local space=$((width - 9)) plain sgr
  if ((space > 3)); then
    local inner=$((space - 3))
    local cells
    cells="$(repeat '#' "$fill")$(repeat '_' $((inner - fill)))"
    plain="Progress: [$cells]"
    sgr="${LABEL_SGR}Progress:${BAR_SGR} [$cells]"
    ((${#plain} == width)) || { fail "bad expectation: ${#plain} cells for width $width"; return; }
  else
    plain="Progress:"
    sgr="${LABEL_SGR}Progress:"
  fi
  if [ "${SCREEN_PLAIN[$row]-}" != "$plain" ]; then
    fail "row $row should read '$plain' (${#plain} cells), reads '${SCREEN_PLAIN[$row]-}'"
  elif [ "${SCREEN_SGR[$row]-}" != "$sgr" ]; then
    fail "row $row has the right characters but not label red (91) and bar green (92)"
  fi
}

# After the bar, the shell's "[after]" comes in the terminal's own colours: the bar put them
# back. Rows between the two (the Windows console moves past a full row) are blank. Wine's
# console host sends a colour to the terminal only with the next cell it paints, so there the
# terminal keeps the last painted colour when the program ends, whatever the console's
# attributes were left at; on Windows the program's own later lines show them (see errors).
expect_after_below() {
  local bar=$1 row
  for ((row = bar + 1; row < ${#SCREEN_PLAIN[@]}; ++row)); do
    [[ "${SCREEN_PLAIN[$row]}" == "[after]"* ]] && break
    [ -n "${SCREEN_PLAIN[$row]}" ] && fail "row $row below the bar should be blank"
  done
  if ((row >= ${#SCREEN_PLAIN[@]} || row > bar + 2)); then
    fail "the shell's [after] line is missing below the bar"
    return
  fi
  [ -n "$RUNNER" ] || expect_default_colours "$row" "the line printed after the run"
}

# expect_bar_below ROW WIDTH FILL WHY: the bar on the row after ROW with FILL '#' cells, the
# shell's line after it, and no other row with a label (WHY says what a second one means)
expect_bar_below() {
  local above=$1 width=$2 fill=$3 why=$4
  expect_bar_row $((above + 1)) "$width" "$fill"
  expect_after_below $((above + 1))
  (($(rows_containing "Progress:") == 1)) || fail "$why"
}

expect_status() {
  [ "$STATUS" == "$1" ] || fail "exit status $STATUS, expected $1"
}

expect_extracted() {  # how many files the run wrote
  local count
  count=$(find out -type f 2>/dev/null | wc -l)
  ((count == $1)) || fail "$count files extracted, expected $1"
}

expect_file() {  # expect_file FILE CONTENT: byte for byte
  local expected=$2 actual
  actual=$(cat "$1"; printf x)
  actual=${actual%x}
  if [ "$actual" != "$expected" ]; then
    fail "$1 holds $(printf '%s' "$actual" | od -c | head -5 | tr -s ' ')"
  fi
}

DEMO_COUNT="Found 6 files, extracting..."
ERROR_1="File #1 has a name index past the end of the string table"
ERROR_3="File #3 \"../escaped.raw\" is refused: its name has a '..' component"

# The last redraw is for index N-1 of N: percent floor((N-1)/N*100), at least 1; the cells
# are floor(inner/100 * percent) in single precision.
case_bar() {
  sample demo demo.res
  make_tree one 1 && sample pack one one.res
  make_tree three 3 && sample pack three three.res
  # container, entries, width, height, expected '#' cells
  local table=(
    "demo.res 6 80 24 56"    # percent 83, 68 cells
    "demo.res 6 13 10 0"     # the narrowest bar: one cell, " [_]"
    "one.res 1 112 10 1"     # percent 0 is drawn as 1: one of 100 cells
    "three.res 3 50 10 25"   # percent 66, 38 cells
  )
  local entry container entries width height fill
  for entry in "${table[@]}"; do
    read -r container entries width height fill <<<"$entry"
    LABEL="$container at width $width"
    run_on_terminal "$width" "$height" "$container"
    expect_status 0
    expect_extracted "$entries"
    find_text "Found $entries files, extracting..." "$width"
    if ((ROW >= 0)); then
      ((ROW == HISTORY)) || fail "the count line should be the screen's first row"
      expect_text_default_colours "$ROW" "$LAST" "the count line"
      expect_bar_below "$LAST" "$width" "$fill" "the label shows more than once"
    fi
  done
}

case_narrow() {
  sample demo demo.res
  local width
  for width in 12 10 9; do
    LABEL="width $width"
    run_on_terminal "$width" 12 demo.res
    expect_status 0
    expect_extracted 6
    find_text "$DEMO_COUNT" "$width"
    if ((ROW >= 0)); then
      expect_bar_row $((LAST + 1)) "$width" 0
      expect_after_below $((LAST + 1))
      (($(rows_containing "[") == 1)) || fail "a bar frame shows beside the label"
    fi
  done
}

case_errors() {
  sample failing failing.res
  # width, height, expected '#' cells (percent 83): room for every line, then screens so low
  # that the lines scroll them, the bar reaching the last row's edge (wrapped error lines too)
  local table=("80 24 56" "40 24 23" "80 4 56" "80 3 56" "40 5 23")
  local entry width height fill
  for entry in "${table[@]}"; do
    read -r width height fill <<<"$entry"
    LABEL="width $width, height $height"
    run_on_terminal "$width" "$height" failing.res
    expect_status 1
    expect_extracted 4
    local count=-1 first=-1 first_last second=-1 second_last
    find_text "$DEMO_COUNT" "$width" && count=$LAST
    find_text "$ERROR_1" "$width" && first=$ROW first_last=$LAST
    find_text "$ERROR_3" "$width" && second=$ROW second_last=$LAST
    if ((count >= 0 && first >= 0 && second >= 0)); then
      ((first == count + 1)) || fail "the first error line should follow the count line"
      ((second == first_last + 1)) || fail "the second error line should follow the first"
      expect_text_default_colours "$first" "$first_last" "the first error line"
      expect_text_default_colours "$second" "$second_last" "the second error line"
      expect_bar_below "$second_last" "$width" "$fill" "a bar was left behind"
    fi
  done
}

case_redirected() {
  sample failing failing.res
  LABEL="standard output to a file"
  run_on_terminal 80 24 failing.res ">log.txt"
  expect_status 1
  expect_extracted 4
  expect_file log.txt "$DEMO_COUNT$EOL"
  find_text "$ERROR_1" 80
  ((ROW == HISTORY)) || fail "the first error line should be the screen's first row"
  find_text "$ERROR_3" 80
  ((ROW == HISTORY + 1)) || fail "the second error line should be the screen's second row"
  (($(rows_containing "Progress:") == 0)) || fail "a bar shows though standard output is a file"
  local row
  for row in "${!SCREEN_SGR[@]}"; do
    [[ "${SCREEN_SGR[$row]}" == *"$ESC"* ]] && fail "row $row carries escape sequences"
  done
}

case_errors_file() {
  sample failing failing.res
  LABEL="standard error to a file"
  run_on_terminal 80 24 failing.res "2>errors.txt"
  expect_status 1
  expect_extracted 4
  expect_file errors.txt "$ERROR_1$EOL$ERROR_3$EOL"
  find_text "$DEMO_COUNT" 80
  if ((ROW >= 0)); then
    expect_bar_row $((LAST + 1)) 80 56
    expect_after_below $((LAST + 1))
  fi
  (($(rows_containing "File #") == 0)) || fail "an error line reached the screen"
}

case_interrupt() {
  local count=100000 line="Interrupted by SIGINT; the run stops here" status=130
  if [ -n "$RUNNER" ]; then  # Wine turns the terminal's Ctrl+C into the console's event
    count=30000 line="Interrupted by Ctrl+C; the run stops here" status=$((0xC000013A & 0xFF))
  fi
  sample many many.res "$count"
  LABEL="Ctrl+C during the run"
  start_on_terminal 80 24 many.res
  local waited=0
  until tmux -S "$SOCKET" capture-pane -p -t quarry | grep -q "Progress:"; do
    ((waited++ < WAIT_SECONDS * 10)) || { fail "the bar never showed"; exit 1; }
    sleep 0.1
  done
  tmux -S "$SOCKET" send-keys -t quarry C-c
  finish_on_terminal
  expect_status "$status"
  find_text "$line" 80
  if ((ROW >= 0)); then
    local above=$((ROW - 1))
    [ "${SCREEN_PLAIN[above]}" == "^C" ] && above=$((above - 1))  # the terminal's own echo
    [[ "${SCREEN_PLAIN[above]}" == "Progress: ["* ]] || fail "the line should follow the bar"
    expect_default_colours "$ROW" "the interrupt's line"
  fi
  local made
  made=$(find out -type f | wc -l)
  ((made < count)) || fail "the run was not interrupted: $made files"
  [ -z "$(find out -name '*.part')" ] || fail "a temporary file was left behind"
}

case "$CASE" in
  bar | narrow | errors | redirected | errors_file | interrupt) "case_$CASE" ;;
  *)
    echo "unknown case $CASE"
    exit 2
    ;;
esac
if ((FAILED)); then exit 1; fi
echo "terminal $CASE: passed"
