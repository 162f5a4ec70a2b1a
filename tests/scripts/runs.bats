#!/usr/bin/env bats
# The launcher, scripts/sandbox, through CTest's emulators (cmake/wine-run,
# cmake/wow64-run): what a Windows program in its sandbox sees and may do,
# the lock on a Wine prefix, and a run killed in the middle.

# shellcheck source=helpers.bash
source "$BATS_TEST_DIRNAME/helpers.bash"

setup_file() {
  winprog "$ROOT/build/script-tests"
}

# A Linux path as the programs under Wine see it.
winpath() {
  local path=${1//\//\\}
  echo "Z:$path"
}

# view_of_sandbox EMULATOR EXE CHECKOUT: a run in CHECKOUT sees its arguments
# whole, writes to the build folder only, and finds the full and the
# read-only disk where the tests look; its exit code is the run's.
view_of_sandbox() {
  local emulator=$1 exe=$2 checkout=$3
  local out text
  out=$(winpath "$checkout/build/t/out.txt")
  run "$checkout/cmake/$emulator" "$exe" args 2 "a b" "c  d" write "$out" 100 \
    write-in VEMTRELL_FULL_DISK_DIR f 8192 write-in VEMTRELL_READ_ONLY_DIR f 10 \
    write "$(winpath "$checkout/scripts/new")" 10 exit 3
  text=${output//$'\r'/}
  echo "$text"
  [ "$status" -eq 3 ]
  grep -qxF '[a b]' <<<"$text"
  grep -qxF '[c  d]' <<<"$text"
  grep -qxF "write $out: 100 of 100" <<<"$text"
  [ "$(stat -c %s "$checkout/build/t/out.txt")" -eq 100 ]
  # Full after 4 KiB: some of it written, never all.
  grep -qE '^write Z:\\tmp\\vemtrell-full-disk\\f: [0-9]{1,4} of 8192$' <<<"$text"
  grep -qxF 'write Z:\tmp\vemtrell-read-only\f: 0 of 10' <<<"$text"
  grep -qF 'scripts\new: 0 of 10' <<<"$text"
  [ ! -e "$checkout/scripts/new" ]
  # The two folders exist only inside the sandbox.
  [ ! -e /tmp/vemtrell-full-disk ] && [ ! -e /tmp/vemtrell-read-only ]
}

@test "a checkout whose path holds a blank runs Windows programs in the sandbox the tests expect" {
  # Under /tmp as well, which each sandbox replaces with a /tmp of its own.
  local checkout="$BATS_TEST_TMPDIR/my proj"
  mkdir -p "$checkout"
  cp -r "$ROOT/scripts" "$ROOT/cmake" "$checkout/"
  winprog "$checkout/build/t"
  view_of_sandbox wine-run "$checkout/build/t/winprog64.exe" "$checkout"
  if runs_32bit; then
    view_of_sandbox wow64-run "$checkout/build/t/winprog32.exe" "$checkout"
  else
    run "$checkout/cmake/wow64-run" "$checkout/build/t/winprog32.exe" exit 0
    [ "$status" -eq 77 ]
    [[ "$output" == *"skipped: $WHY_NOT"* ]]
  fi
}

# The second run waits for the first and both pass; a third that may wait
# 1 s gives up, naming the run that holds the prefix. The lock is the same
# code for both Wines: the host's, the quicker, is used.
@test "two runs at once on one prefix both pass, one after the other" {
  local exe=$ROOT/build/script-tests/winprog64.exe first second
  local a=$BATS_TEST_TMPDIR/first b=$BATS_TEST_TMPDIR/second
  "$ROOT/cmake/wine-run" "$exe" time sleep 2000 time >"$a" 2>&1 3>&- &
  first=$!
  wait_for 60 grep -q '^time' "$a"
  "$ROOT/cmake/wine-run" "$exe" time sleep 100 time >"$b" 2>&1 3>&- &
  second=$!
  VEMTRELL_LOCK_WAIT=1 run "$ROOT/cmake/wine-run" "$exe" exit 0
  echo "$output"
  [ "$status" -eq 1 ]
  [[ "$output" == *"waited 1s for the Wine prefix"* ]]
  [[ "$output" == *"sandbox run of: $exe time sleep 2000 time"* ]]
  wait "$first" || { cat "$a" && false; }
  wait "$second" || { cat "$b" && false; }
  local times
  times=$(tr -d '\r' <"$a" | sed -n 's/^time //p'; tr -d '\r' <"$b" | sed -n 's/^time //p')
  echo "times: $times"
  # Start and end of the first, then of the second: one after the other.
  sort -n -c <<<"$times"
}

no_marked_processes() {
  [ -z "$(marked_processes "$1")" ]
}

@test "a run killed in the middle leaves no process and no mount behind" {
  local before token=script-test-$$-$RANDOM out=$BATS_TEST_TMPDIR/out launcher
  before=$(sandbox_mount_points)
  VEMTRELL_SCRIPT_TEST=$token "$ROOT/cmake/wine-run" "$ROOT/build/script-tests/winprog64.exe" time sleep 60000 \
    >"$out" 2>&1 3>&- &
  launcher=$!
  wait_for 60 grep -q '^time' "$out"
  # In the middle: the run's processes are there, and nothing is mounted on
  # the host.
  [ -n "$(marked_processes "$token")" ]
  [ "$(sandbox_mount_points)" = "$before" ]
  kill -KILL "$launcher"
  wait "$launcher" || true
  wait_for 10 no_marked_processes "$token"
  [ "$(sandbox_mount_points)" = "$before" ]
  # Nothing holds the prefix any more.
  flock -n -x "$ROOT/build/wineprefix.lock" true
}

@test "whether 32-bit code runs is the machine's answer, never RUNS_32BIT from the environment" {
  if runs_32bit; then
    RUNS_32BIT=no WHY_NO_32BIT="the environment says so" run "$ROOT/cmake/wow64-run" \
      "$ROOT/build/script-tests/winprog32.exe" exit 0
    [ "$status" -eq 0 ]
  else
    RUNS_32BIT=yes run "$ROOT/cmake/wow64-run" "$ROOT/build/script-tests/winprog32.exe" exit 0
    [ "$status" -eq 77 ]
    # RUNS_32BIT=no alone once stopped the scripts on an unbound variable.
    RUNS_32BIT=no run "$ROOT/cmake/wow64-run" "$ROOT/build/script-tests/winprog32.exe" exit 0
    [ "$status" -eq 77 ]
    [[ "$output" == *"skipped: $WHY_NOT"* ]]
  fi
}
