#!/usr/bin/env bats
# The launcher, scripts/sandbox, through CTest's emulators (cmake/wine-run,
# cmake/wow64-run): what a Windows program in its sandbox sees and may do,
# the lock on a Wine prefix, and a run killed in the middle.

# shellcheck source=helpers.bash
source "$BATS_TEST_DIRNAME/helpers.bash"

setup_file() {
  winprog "$ROOT/build/script-tests"
  # A checkout whose path holds a blank and kanji, as a maintainer's folder
  # may ("My Projects", 作業): the kit's launcher and its lock run from there.
  export ODD_CHECKOUT="$BATS_FILE_TMPDIR/my proj 作業"
  mkdir -p "$ODD_CHECKOUT"
  cp -r "$ROOT/scripts" "$ROOT/cmake" "$ODD_CHECKOUT/"
  winprog "$ODD_CHECKOUT/build/t"
}

# Whatever a test started in the background and has not waited for ends
# with it, failed or not (a variable is cleared once its process is reaped).
teardown() {
  local pid
  for pid in ${listener:-} ${first:-} ${second:-} ${launcher:-}; do kill -KILL "$pid" 2>/dev/null || true; done
  listener="" first="" second="" launcher=""
}

# A Linux path as the programs under Wine see it.
winpath() {
  local path=${1//\//\\}
  echo "Z:$path"
}

# view_of_sandbox EMULATOR EXE CHECKOUT PREFIX: a run in CHECKOUT sees its
# arguments whole, writes to its Wine prefix only (as the sandbox user, not
# root), and finds the full and the read-only disk where the tests look; its
# exit code is the run's. Its files are the run user's.
view_of_sandbox() {
  local emulator=$1 exe=$2 checkout=$3 prefix=$4
  local text
  run "$checkout/cmake/$emulator" "$exe" args 2 "a b" "c  d" write 'C:\out.txt' 100 \
    write "$(winpath "$checkout/build/t/new")" 10 write "$(winpath "$checkout/scripts/new")" 10 \
    write-in VEMTRELL_FULL_DISK_DIR f 8192 write-in VEMTRELL_READ_ONLY_DIR f 10 exit 3
  text=${output//$'\r'/}
  echo "$text"
  [ "$status" -eq 3 ]
  grep -qxF '[a b]' <<<"$text"
  grep -qxF '[c  d]' <<<"$text"
  grep -qxF 'write C:\out.txt: 100 of 100' <<<"$text"
  [ "$(stat -c '%s %U' "$prefix/drive_c/out.txt")" = "100 $(run_user)" ]
  # The build folder and the rest of the checkout are read-only to it.
  grep -qF 'build\t\new: 0 of 10' <<<"$text"
  grep -qF 'scripts\new: 0 of 10' <<<"$text"
  [ ! -e "$checkout/build/t/new" ] && [ ! -e "$checkout/scripts/new" ]
  # Full after exactly one page of 4 KiB.
  grep -qxF 'write Z:\tmp\vemtrell-full-disk\f: 4096 of 8192' <<<"$text"
  grep -qxF 'write Z:\tmp\vemtrell-read-only\f: 0 of 10' <<<"$text"
  # The two folders exist only inside the sandbox.
  [ ! -e /tmp/vemtrell-full-disk ] && [ ! -e /tmp/vemtrell-read-only ]
}

@test "a checkout whose path holds a blank and kanji runs Windows programs in the sandbox the tests expect" {
  # Under /tmp as well, which each sandbox replaces with a /tmp of its own.
  local checkout=$ODD_CHECKOUT
  view_of_sandbox wine-run "$checkout/build/t/winprog64.exe" "$checkout" "$checkout/build/wineprefix"
  # The prefix was made by this run: Wine's messages went to its log.
  [ -f "$checkout/build/wineprefix/wineboot.log" ]
  [[ "$output" != *"wine: "* ]]
  if runs_32bit; then
    view_of_sandbox wow64-run "$checkout/build/t/winprog32.exe" "$checkout" "$checkout/build/wow64-prefix"
  else
    run "$checkout/cmake/wow64-run" "$checkout/build/t/winprog32.exe" exit 0
    [ "$status" -eq 77 ]
    [[ "$output" == *"skipped: $WHY_NOT"* ]]
  fi
  # And in a folder closed to others, as a clone in a 0700 folder is: root's
  # runs, whose user could not enter it, find the checkout all the same.
  local closed=$ROOT/build/script-tests/closed
  rm -rf -- "$closed"
  mkdir -m 0700 "$closed"
  mv "$checkout" "$closed/"
  checkout="$closed/${checkout##*/}"
  view_of_sandbox wine-run "$checkout/build/t/winprog64.exe" "$checkout" "$checkout/build/wineprefix"
  mv "$checkout" "$ODD_CHECKOUT"
  rm -rf -- "$closed"
}

# What a program in the sandbox cannot do to the host, with the host's Wine
# and, where 32-bit code runs, the WoW64 root's: it is the run user, never
# root, /proc/sys is read-only, only loopback exists, the homes are hidden but
# the checkout, nothing outside its prefix takes a write, and a socket of the
# host sees its own uid.
@test "a sandboxed program is not root and reaches nothing of the host it could harm" {
  local sock=$ROOT/build/script-tests/host.sock peer=$BATS_TEST_TMPDIR/peer uid
  rm -f "$sock" "$peer"
  python3 -c 'import os, socket, sys
s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1]); os.chmod(sys.argv[1], 0o777); s.listen(1); s.settimeout(60)
c, _ = s.accept()
pid, uid, gid = __import__("struct").unpack("3i", c.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12))
open(sys.argv[2], "w").write(str(uid))' "$sock" "$peer" &
  listener=$!
  wait_for 10 test -S "$sock"
  # shellcheck disable=SC2016 # expanded inside the sandbox
  run "$ROOT/scripts/sandbox" --cmd bash -c '
    echo "uid $(id -u)"
    echo x >/proc/sys/kernel/hostname 2>/dev/null && echo "wrote /proc/sys"
    [ -w /proc/sys/kernel/core_pattern ] && echo "core_pattern writable"
    echo "homes: $(ls -A /root /home | grep -v ":$" | tr -d "
")"
    echo "links: $(tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d " 
")"
    for f in /etc/vemtrell-x /var/tmp/vemtrell-x "$1/vemtrell-x" "$1/build/vemtrell-x"; do
      : 2>/dev/null >"$f" && echo "wrote $f"
    done
    python3 -c "import socket, sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])" "$1/build/script-tests/host.sock"
    exit 0' sandbox-check "$ROOT"
  echo "$output"
  wait "$listener"
  listener=""
  [ "$status" -eq 0 ]
  uid=$(id -u "$(run_user)")
  [ "$uid" -ne 0 ]
  grep -qxF "uid $uid" <<<"$output"
  [[ "$output" != *"wrote "* && "$output" != *"core_pattern writable"* ]]
  grep -qxF "homes: $(home_of_checkout "$ROOT")" <<<"$output"
  grep -qxF "links: lo" <<<"$output"
  [ "$(cat "$peer")" = "$uid" ]
  [ ! -e /var/tmp/vemtrell-x ] && [ ! -e /etc/vemtrell-x ] && [ ! -e "$ROOT/build/vemtrell-x" ]
  if runs_32bit; then
    # shellcheck disable=SC2016 # expanded inside the sandbox
    run "$ROOT/scripts/sandbox" --wow64 --cmd bash -c 'echo "uid $(id -u)"
      echo x >/proc/sys/kernel/hostname 2>/dev/null && echo "wrote /proc/sys"
      : 2>/dev/null >"$1/build/vemtrell-x" && echo "wrote build"
      echo "links: $(tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d " \n")"' sandbox-check "$ROOT"
    echo "$output"
    [ "$status" -eq 0 ]
    grep -qxF "uid $uid" <<<"$output"
    grep -qxF "links: lo" <<<"$output"
    [[ "$output" != *"wrote "* ]]
  fi
}

# The host side never runs or follows what a run could have left: no probe is
# taken from build/, and screenshots are converted in a sandbox, so a link a
# run planted beside them writes nothing of the caller's.
@test "nothing a run could leave is run or followed by the host's next step" {
  local ran=$BATS_TEST_TMPDIR/ran scratch=$ROOT/build/script-tests/scratch target=$BATS_TEST_TMPDIR/target
  local shots=$scratch/shots
  printf '#!/bin/sh\ntouch %s\necho yes\n' "$ran" >"$ROOT/build/ia32-probe"
  chmod 0755 "$ROOT/build/ia32-probe"
  run "$ROOT/cmake/wow64-run" "$ROOT/build/script-tests/winprog32.exe" exit 0
  rm -f "$ROOT/build/ia32-probe"
  [ ! -e "$ran" ]
  [ -x /usr/bin/convert ] || skip "no ImageMagick here (/usr/bin/convert): scripts/test installs it"
  echo "the caller's" >"$target"
  # What a run in its scratch folder could leave: a picture, and a link
  # where its PNG goes.
  # shellcheck disable=SC2016 # expanded inside the sandbox
  "$ROOT/scripts/sandbox" --scratch "$scratch" --cmd bash -c \
    'mkdir -p "$1" && /usr/bin/convert -size 2x2 xc:red "bmp:$1/x.bmp" && ln -sf "$2" "$1/x.png"' planted "$shots" \
    "$target"
  [ -L "$shots/x.png" ]
  # shellcheck disable=SC2016 # expanded by that bash
  run bash -c 'source "$1/scripts/lib.sh" && convert_screenshots "$2" "$3"' step "$ROOT" "$scratch" "$shots"
  echo "$output"
  [ "$(cat "$target")" = "the caller's" ]
}

# The demo's screenshot conversion: a Linux command of the run user's,
# which neither makes a Wine prefix nor waits for one another run holds.
@test "a command run with --no-wine needs no Wine prefix" {
  local checkout=$BATS_TEST_TMPDIR/checkout held
  mkdir -p "$checkout/build"
  cp -r "$ROOT/scripts" "$checkout/"
  : >"$checkout/build/wineprefix.lock"
  exec {held}<"$checkout/build/wineprefix.lock"
  flock -x "$held"
  # shellcheck disable=SC2016 # expanded inside the sandbox
  VEMTRELL_LOCK_WAIT=1 run "$checkout/scripts/sandbox" --scratch "$checkout/build/s" --no-wine --cmd bash -c \
    'echo "uid $(id -u), prefix ${WINEPREFIX:-none}"; touch "$1/build/s/made"' step "$checkout"
  exec {held}<&-
  echo "$output"
  [ "$status" -eq 0 ]
  grep -qxF "uid $(id -u "$(run_user)"), prefix none" <<<"$output"
  [ "$(stat -c %U "$checkout/build/s/made")" = "$(run_user)" ]
  [ ! -e "$checkout/build/wineprefix" ]
}

# The second run waits for the first and both pass; a third that may wait
# 1 s gives up, naming the run that holds the prefix, whose path holds a
# blank and kanji. The lock is the same code for both Wines: the host's, the
# quicker, is used.
@test "two runs at once on one prefix both pass, one after the other" {
  local exe=$ODD_CHECKOUT/build/t/winprog64.exe run=$ODD_CHECKOUT/cmake/wine-run
  local a=$BATS_TEST_TMPDIR/first b=$BATS_TEST_TMPDIR/second
  "$run" "$exe" time sleep 2000 time >"$a" 2>&1 3>&- &
  first=$!
  wait_for 60 grep -q '^time' "$a"
  "$run" "$exe" time sleep 100 time >"$b" 2>&1 3>&- &
  second=$!
  VEMTRELL_LOCK_WAIT=1 run "$run" "$exe" exit 0
  echo "$output"
  [ "$status" -eq 1 ]
  [[ "$output" == *"waited 1s for the Wine prefix"* ]]
  [[ "$output" == *"sandbox run of: $exe time sleep 2000 time"* ]]
  wait "$first" || { cat "$a" && false; }
  first=""
  wait "$second" || { cat "$b" && false; }
  second=""
  local times
  times=$(tr -d '\r' <"$a" | sed -n 's/^time //p'; tr -d '\r' <"$b" | sed -n 's/^time //p')
  echo "times: $times"
  # Start and end of the first, then of the second: one after the other.
  sort -n -c <<<"$times"
}

@test "a run killed in the middle leaves no process and no mount behind" {
  local before token=script-test-$$-$RANDOM out=$BATS_TEST_TMPDIR/out
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
  launcher=""
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
