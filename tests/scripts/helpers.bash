# shellcheck shell=bash
# Shared by the tests of the scripts (bats, run as root by scripts/test).

ROOT=$(cd "$BATS_TEST_DIRNAME/../.." && pwd -P)

# Who the sandboxed programs run as for the caller of the tests: the caller,
# or, for root, the system user vemtrell-sandbox.
run_user() {
  if [ "$(id -u)" -eq 0 ]; then echo vemtrell-sandbox; else id -un; fi
}

# The folder under /home or /root that holds the checkout, if it lies there:
# the one entry a sandbox shows of the homes.
home_of_checkout() {
  case "$1" in
    /home/?* | /root/?*)
      local rest=${1#/*/}
      echo "${rest%%/*}"
      ;;
  esac
}

# winprog DIR: the test program (winprog.c) in DIR, as winprog64.exe and
# winprog32.exe.
winprog() {
  mkdir -p "$1"
  x86_64-w64-mingw32-gcc-posix -O1 -o "$1/winprog64.exe" "$ROOT/tests/scripts/winprog.c"
  i686-w64-mingw32-gcc-posix -O1 -o "$1/winprog32.exe" "$ROOT/tests/scripts/winprog.c"
}

# Whether this machine runs 32-bit code (or VEMTRELL_32BIT=no says not to);
# for no, the reason in WHY_NOT.
runs_32bit() {
  # shellcheck disable=SC2016 # expanded by that bash
  WHY_NOT=$(bash -c 'source "$1/scripts/lib.sh" && probe_32bit && [ "$RUNS_32BIT" = yes ] || echo "$WHY_NO_32BIT"' \
    runs_32bit "$ROOT")
  [ -z "$WHY_NOT" ]
}

# The host's mount points where a sandbox mounts or binds something, decoded.
sandbox_mount_points() {
  local point
  while read -r _ _ _ _ point _; do
    point=$(printf '%b' "$point")
    case "$point" in
      / | /tmp | /tmp/* | /run | /run/* | /dev | /dev/* | /proc | /proc/* | /sys | /sys/* | "$ROOT" | "$ROOT"/*)
        echo "$point"
        ;;
    esac
  done </proc/self/mountinfo | sort
}

# The processes, on the host, whose environment holds VEMTRELL_SCRIPT_TEST=$1.
marked_processes() {
  local dir
  for dir in /proc/[0-9]*; do
    # -s: a process may end while the list is read.
    if grep -zqsxF "VEMTRELL_SCRIPT_TEST=$1" "$dir/environ"; then echo "${dir#/proc/}"; fi
  done
}

# Whether no process on the host is marked with $1 (for wait_for).
no_marked_processes() {
  [ -z "$(marked_processes "$1")" ]
}

# wait_for SECONDS COMMAND...: until COMMAND succeeds, at most SECONDS.
wait_for() {
  local tries=$(($1 * 10))
  shift
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}
