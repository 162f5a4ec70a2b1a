# shellcheck shell=bash
# Shared by the scripts: installs what the build and the Wine runs need, finds
# out whether this machine runs 32-bit code, and holds the locks and the mount
# checks the launcher (scripts/sandbox) and scripts/wow64 use. Source it; do
# not run it. The scripts run as whoever calls them; root is asked for
# (through sudo) only to install what is missing.
set -euo pipefail
# What the scripts make (the build folders, the prefixes' parents) is read by
# the sandboxed programs, which, for a caller who is root, are another user.
umask 022

# The physical path, as CMake names it: the WoW64 root gets the checkout at
# this path, and a symbolic link in it would lead nowhere there.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
# The host's Wine, which runs the 64-bit build.
export HOST_WINE=/usr/lib/wine/wine64 HOST_WINESERVER=/usr/lib/wine/wineserver
# Set by probe_32bit for this process alone: an inherited answer is never
# trusted (VEMTRELL_32BIT is the switch).
unset RUNS_32BIT WHY_NO_32BIT

die() {
  echo "${0##*/}: $*" >&2
  exit 1
}

# as_root WHY COMMAND...: COMMAND as root; for another caller through sudo,
# after saying what it runs and why. Fails, without a word, when sudo is
# missing or refuses: the caller names the command to run as root instead.
as_root() {
  local why=$1
  shift
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
    return
  fi
  echo "${0##*/}: root is needed to $why; asking sudo for: $*" >&2
  command -v sudo >/dev/null && sudo "$@"
}

# Its messages to stderr: a caller may take this function's output as an answer.
apt_install() {
  echo "installing: $*" >&2
  if ! as_root "install the Debian packages $*" apt-get update -qq ||
    ! as_root "install the Debian packages $*" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
      --no-install-recommends "$@" >/dev/null; then
    die "cannot install $* without root: as root, run 'apt-get update && apt-get install --no-install-recommends $*', then run ${0##*/} again"
  fi
}

# Whether this machine runs 32-bit x86 code inside 64-bit processes, as
# Wine's WoW64 mode does for every 32-bit Windows program. Some kernels refuse
# it (IA-32 emulation off): there the 32-bit build cannot run at all, and the
# WoW64 root is of no use. Sets RUNS_32BIT to yes or no and, for no,
# WHY_NO_32BIT. VEMTRELL_32BIT=no takes the 64-bit-only path on any machine.
# shellcheck disable=SC2034 # the scripts that source this file read both
probe_32bit() {
  [ -z "${RUNS_32BIT:-}" ] || return 0
  case "${VEMTRELL_32BIT:-}" in
    no)
      RUNS_32BIT=no WHY_NO_32BIT="VEMTRELL_32BIT=no takes the 64-bit-only path"
      return 0
      ;;
    "" | auto) ;;
    *)
      echo "VEMTRELL_32BIT is '$VEMTRELL_32BIT': set it to no (64-bit only), or leave it unset" >&2
      exit 2
      ;;
  esac
  command -v gcc >/dev/null || apt_install gcc libc6-dev
  # Built and run where no run can write: a folder of this process's own.
  local dir answer rc=0
  dir=$(mktemp -d)
  if ! gcc -O1 -no-pie -o "$dir/ia32-probe" "$ROOT/scripts/probes/ia32-probe.c"; then
    rm -rf -- "$dir"
    echo "cannot build the 32-bit probe (scripts/probes/ia32-probe.c)" >&2
    exit 2
  fi
  answer=$("$dir/ia32-probe") || rc=$?
  rm -rf -- "$dir"
  case "$rc:$answer" in
    0:yes) RUNS_32BIT=yes ;;
    1:no*) RUNS_32BIT=no WHY_NO_32BIT="this machine does not run 32-bit x86 code: ${answer#no }" ;;
    *)
      echo "the 32-bit probe could not tell (exit $rc, '$answer')" >&2
      exit 2
      ;;
  esac
}

# Debian packages, installed only when missing. Never the host's wine32: these
# machines refuse 32-bit Linux code. The 32-bit build runs under the WoW64 Wine
# of scripts/wow64 instead; the host's wine64 runs the 64-bit build.
ensure_tools() {
  local missing=()
  command -v cmake >/dev/null || missing+=(cmake)
  command -v g++ >/dev/null || missing+=(g++)
  command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686-posix)
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
  [ -x "$HOST_WINE" ] || missing+=(wine64)
  command -v Xvfb >/dev/null || missing+=(xvfb)
  command -v bwrap >/dev/null || missing+=(bubblewrap)
  command -v localedef >/dev/null || missing+=(locales)
  [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
  # What an ordinary user's WoW64 root is made with (mmdebstrap in its
  # unshare mode, which maps the user's subordinate ids with newuidmap):
  # installed whoever runs the kit, so that a machine set up once, by root
  # or by a user, serves both.
  command -v mmdebstrap >/dev/null || missing+=(mmdebstrap)
  command -v newuidmap >/dev/null || missing+=(uidmap)
  [ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
  local have
  have=$(locale -a)
  for locale in $LOCALES; do
    grep -qix "$locale.utf8" <<<"$have" ||
      as_root "make the $locale.UTF-8 locale (Wine takes the code page from it)" localedef -i "$locale" -f UTF-8 \
        "$locale.UTF-8" ||
      die "cannot make the $locale.UTF-8 locale without root: as root, run 'localedef -i $locale -f UTF-8 $locale.UTF-8', then run ${0##*/} again"
  done
}

# What the demo's screenshots need here: ImageMagick (the real one, /usr/bin),
# and for the 64-bit demo under the host's wine64 the Japanese font its
# message boxes are drawn with (the WoW64 root has its own).
ensure_demo_tools() {
  local missing=()
  [ -x /usr/bin/convert ] || missing+=(imagemagick)
  [ -f /usr/share/fonts/opentype/ipafont-gothic/ipag.ttf ] || missing+=(fonts-ipafont-gothic)
  [ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
}

# convert_screenshots SCRATCH DIR: each DIR/*.bmp a run saved in its scratch
# folder SCRATCH (in build/) made a PNG beside it. ImageMagick reads what a
# run wrote, so it runs in a sandbox too (the host's, which has it), told the
# formats rather than guessing them from the bytes. A picture that does not
# convert is named. No Wine: after a 32-bit demo a prefix for the host's Wine
# would be made only for this.
convert_screenshots() {
  # shellcheck disable=SC2016 # expanded inside the sandbox
  "$ROOT/scripts/sandbox" --scratch "$1" --no-wine --cmd bash -c 'rc=0
    for bmp in "$1"/*.bmp; do
      [ -e "$bmp" ] || continue
      if /usr/bin/convert "bmp:$bmp" "png:${bmp%.bmp}.png"; then rm -f -- "$bmp"; else echo "cannot convert $bmp" >&2; rc=1; fi
    done
    exit "$rc"' convert_screenshots "$2"
}

# A build folder is configured afresh unless the values its cache holds for
# the compiler, its flags and the archiver are those this function's own last
# configure left: a cache that another configure wrote, above all one that
# failed for want of a compiler, keeps what that run cached (no Release
# flags, the host's ar) through every later configure. CMake's own re-runs
# change none of them.
build_preset() {
  local dir=$ROOT/build/$1 stamp=$ROOT/build/$1/.vemtrell-configured fresh=()
  cache_values() {
    sed -n '/^CMAKE_\(CXX_COMPILER\|CXX_FLAGS_RELEASE\|CXX_FLAGS_DEBUG\|AR\|BUILD_TYPE\):/p' "$1/CMakeCache.txt" | sort
  }
  if [ -f "$dir/CMakeCache.txt" ] && { [ ! -f "$stamp" ] || [ "$(cache_values "$dir")" != "$(cat "$stamp")" ]; }; then
    fresh=(--fresh)
  fi
  rm -f -- "$stamp"
  cmake --preset "$1" "${fresh[@]}" >/dev/null
  cache_values "$dir" >"$stamp"
  cmake --build --preset "$1" -j "$(nproc)"
}

# Who every program of a sandbox runs as. For an ordinary caller, the caller:
# the runs' files are theirs. For root, a system user of its own, made once,
# with no home, no shell and no group but its own, so that nothing of a run
# is root on the host. Sets RUN_UID, RUN_GID and RUN_USER.
SANDBOX_USER=vemtrell-sandbox
# shellcheck disable=SC2034 # the scripts that source this file read them
run_identity() {
  if [ "$(id -u)" -ne 0 ]; then
    RUN_UID=$(id -u) RUN_GID=$(id -g) RUN_USER=$(id -un 2>/dev/null || id -u)
    return 0
  fi
  RUN_USER=$SANDBOX_USER
  if ! id -u "$SANDBOX_USER" >/dev/null 2>&1; then
    # Two runs at once may both try: the second finds it made.
    useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
      "$SANDBOX_USER" 2>/dev/null || id -u "$SANDBOX_USER" >/dev/null 2>&1 ||
      die "cannot make the system user $SANDBOX_USER, whom the sandboxed programs run as"
  fi
  RUN_UID=$(id -u "$SANDBOX_USER") RUN_GID=$(id -g "$SANDBOX_USER")
  [ "$RUN_UID" -ne 0 ] || die "the user $SANDBOX_USER has uid 0: the sandboxed programs must not run as root"
}

# Whether this caller may make user namespaces, which an ordinary caller's
# sandbox is (and mmdebstrap's unshare mode uses); if not, says which
# setting of the kernel forbids it and the command as root that allows it.
user_namespaces() {
  unshare --user --map-root-user true 2>/dev/null && return 0
  local setting=user.max_user_namespaces value=15000 file
  for file in /proc/sys/kernel/unprivileged_userns_clone /proc/sys/kernel/apparmor_restrict_unprivileged_userns; do
    [ -r "$file" ] || continue
    case "$file:$(cat "$file")" in
      *clone:0) setting=kernel.unprivileged_userns_clone value=1 ;;
      *apparmor*:1) setting=kernel.apparmor_restrict_unprivileged_userns value=0 ;;
    esac
  done
  echo "${0##*/}: this kernel does not let $(id -un) make user namespaces ('unshare -U -r true' fails), and every Windows run is one: as root, run 'sysctl -w $setting=$value' (and put '$setting = $value' in /etc/sysctl.d/ to keep it), or run the scripts as root" >&2
  return 1
}

# as_run_user COMMAND...: COMMAND as that user, for host steps on what a run
# wrote; for root without capabilities and with no way back (no new
# privileges).
as_run_user() {
  if [ "$(id -u)" -ne 0 ]; then
    "$@"
    return
  fi
  setpriv --reuid="$RUN_UID" --regid="$RUN_GID" --clear-groups --inh-caps=-all --no-new-privs -- "$@"
}

# sandbox_dir DIR: DIR, in the build folder, as a folder runs may write: the
# run user's. One another user owns (a prefix made by a run of another
# caller) is made anew; a symbolic link is refused. Call it holding DIR's lock.
sandbox_dir() {
  local dir=$1 parent owner
  parent=$(dirname -- "$dir")
  mkdir -p -- "$parent"
  # Made there by this caller (and, for root, handed over): a folder above it
  # that another user owns could swap it for a link meanwhile.
  owner=$(stat -c %u -- "$parent")
  [ "$owner" = "$(id -u)" ] ||
    die "$parent belongs to $(stat -c %U -- "$parent"), not to $(id -un): the folders the runs write are made there, so it must be yours (made by another user's run? remove build/, or run the scripts as its owner)"
  [ ! -L "$dir" ] || die "$dir is a symbolic link: it cannot be a folder the runs write"
  if [ -e "$dir" ] && { [ ! -d "$dir" ] || [ "$(stat -c %u -- "$dir")" != "$RUN_UID" ]; }; then
    [ -z "$(mounts_below "$dir")" ] || die "not removing $dir: file systems are mounted below it"
    rm -rf --one-file-system -- "$dir" || die "cannot remove $dir, which another user's runs made: remove it as that user"
  fi
  if [ ! -d "$dir" ]; then
    if ! mkdir -- "$dir" || { [ "$(id -u)" -eq 0 ] && ! chown -h -- "$RUN_UID:$RUN_GID" "$dir"; }; then
      die "cannot make $dir for the runs"
    fi
  fi
}

# Seconds a run waits for a lock held by another run.
LOCK_WAIT=${VEMTRELL_LOCK_WAIT:-600}
[[ "$LOCK_WAIT" =~ ^[0-9]+$ ]] || die "VEMTRELL_LOCK_WAIT is '$LOCK_WAIT': give a number of seconds"

# open_lock VAR FILE: opens FILE (made if absent) for locking, its descriptor
# in VAR. A symbolic link is refused: as root it could name any file.
open_lock() {
  local -n fd_out=$1
  local file=$2 why
  # noclobber: a link made meanwhile is not followed; a file made meanwhile
  # by another run is as good as ours.
  if [ ! -e "$file" ] && [ ! -L "$file" ] && ! why=$( (set -C && : >"$file") 2>&1) && [ ! -e "$file" ]; then
    die "cannot make the lock file $file: $why"
  fi
  if [ ! -f "$file" ] || [ -L "$file" ]; then
    die "$file is not a plain file: it cannot be a lock"
  fi
  # shellcheck disable=SC2034 # a name reference: the caller's variable
  exec {fd_out}<"$file"
}

indent() {
  sed 's/^/  /'
}

# A process's command line, a launcher's run shown by the program it runs.
# Taken argument by argument: the checkout's path may hold blanks.
command_of() {
  local -a argv=()
  # The process may have ended since it was listed.
  [ -r "/proc/$1/cmdline" ] && mapfile -d '' -t argv <"/proc/$1/cmdline" 2>/dev/null || return 0
  local skip=0
  if [ "${#argv[@]}" -ge 2 ] && [[ "${argv[1]}" == */scripts/sandbox ]]; then
    skip=2
    # The launcher's own process inside the sandbox: _inside MODE PROGRAM...
    [ "${argv[2]:-}" != _inside ] || skip=4
  fi
  local text="${argv[*]:skip}"
  [ "$skip" -eq 0 ] || text="sandbox run of: $text"
  printf '%s' "${text//$'\n'/ }" | cut -c1-200
}

# The processes holding the lock on FILE, for a lock that is not coming free:
# each lists the lock (device:inode) in the fdinfo of the descriptor it
# holds, whoever took it (flock(1) ends once it has).
holders() {
  local id info pid
  id=$(stat -c '%Hd %Ld %i' -- "$1" | { read -r major minor inode && printf '%02x:%02x:%s' "$major" "$minor" "$inode"; })
  # find, not a glob: on a busy host the list of every fdinfo file is longer
  # than one command line takes. -s: a process may end while it is read.
  find /proc -mindepth 3 -maxdepth 3 -path '/proc/[0-9]*/fdinfo/*' -exec grep -lsF " $id " {} + 2>/dev/null |
    while read -r info; do
      pid=${info#/proc/}
      echo "${pid%%/*}"
    done | sort -un | while read -r pid; do
      printf '%s %s\n' "$pid" "$(command_of "$pid")"
    done
}

# take_lock FD FILE -s|-x WHAT: the lock on FD (open on FILE) within LOCK_WAIT
# seconds, or fails saying who holds it.
take_lock() {
  local fd=$1 file=$2 mode=$3 what=$4
  flock "$mode" -w "$LOCK_WAIT" "$fd" && return 0
  die "waited ${LOCK_WAIT}s for $what ($file); held by:
$(holders "$file" | indent)
  (the processes of another run: let it end, end it, or set VEMTRELL_LOCK_WAIT)"
}

# The mount points of this mount namespace, decoded, one a line: the table
# escapes blanks, tabs, newlines and backslashes as octal (\040).
mount_points() {
  local point
  while read -r _ _ _ _ point _; do printf '%b\n' "$point"; done </proc/self/mountinfo
}

# The mount points at or below DIR, one a line.
mounts_below() {
  local dir point
  dir=$(realpath -m -- "$1")
  while read -r point; do
    case "$point" in "$dir" | "$dir"/*) printf '%s\n' "$point" ;; esac
  done < <(mount_points)
}

# The WoW64 root (scripts/wow64), normalised: "dir/" and "dir" are one root.
# Root's is shared, in /var/cache; an ordinary user's is their own, in their
# cache folder. A relative name would be another folder from the checkout and
# from build/<preset>: refused.
wow64_root() {
  local root=${VEMTRELL_WOW64_ROOT:-}
  if [ -z "$root" ]; then
    if [ "$(id -u)" -eq 0 ]; then
      root=/var/cache/vemtrell/wow64-root
    else
      local cache=${XDG_CACHE_HOME:-}
      # XDG_CACHE_HOME counts only when absolute; a relative one is ignored.
      [[ "$cache" == /* ]] || cache=${HOME:?HOME is not set: set it, or VEMTRELL_WOW64_ROOT}/.cache
      root=$cache/vemtrell/wow64-root
    fi
  fi
  [[ "$root" == /* ]] || die "VEMTRELL_WOW64_ROOT is '$root': give an absolute path"
  realpath -m -- "$root"
}

# What the root holds.
ROOT_PACKAGES="wine,wine64,xvfb,xauth,locales,fonts-ipafont-gothic,util-linux"
# The locales Wine takes the code page from: Japanese file names and code
# page 932 need ja_JP.UTF-8; tests run in code page 1252 from en_US.UTF-8 and
# in 65001 (UTF-8) from hi_IN.UTF-8, a locale Windows gives no ANSI code page.
LOCALES="ja_JP en_US hi_IN"
# The first line of a root's marker: a root made from other packages or
# locales is made again.
ROOT_MARK="$ROOT_PACKAGES; locales: $LOCALES"

# A root scripts/wow64 made from this list and whose check passed: the marker
# is written only after the check, into the staged tree.
root_ready() {
  local marker=$1/.vemtrell-root
  [ -d "$1/usr" ] && [ -f "$marker" ] && [ "$(sed -n 1p "$marker")" = "$ROOT_MARK" ] &&
    sed -n 2p "$marker" | grep -q '^checked: '
}

# The processes other than this shell whose environment holds NAME=VALUE
# (a mark the launcher passes into its sandboxes), one a line ("PID COMMAND").
sandbox_processes() {
  local dir
  for dir in /proc/[0-9]*; do
    if [ "${dir#/proc/}" = "$$" ] || [ "${dir#/proc/}" = "$BASHPID" ]; then continue; fi
    # -s: a process may end while the list is read.
    grep -zqsxF -- "$1" "$dir/environ" || continue
    printf '%s %s\n' "${dir#/proc/}" "$(command_of "${dir#/proc/}")"
  done
}
