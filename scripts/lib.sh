# Shared by the scripts: installs what the build and the Wine runs need, and
# prepares the Wine prefix the programs run in. Source it; do not run it.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
# Set by probe_32bit for this process alone: an inherited answer is never
# trusted (VEMTRELL_32BIT is the switch).
unset RUNS_32BIT WHY_NO_32BIT

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Whether this machine runs 32-bit x86 code inside 64-bit processes, as
# Wine's WoW64 mode does for every 32-bit Windows program. Some kernels refuse
# it (IA-32 emulation off): there the 32-bit build cannot run at all, and the
# WoW64 root is of no use. Sets RUNS_32BIT to yes or no and, for no,
# WHY_NO_32BIT. VEMTRELL_32BIT=no takes the 64-bit-only path on any machine.
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
  command -v gcc >/dev/null || {
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends gcc libc6-dev >/dev/null
  }
  local probe="$ROOT/build/ia32-probe" answer rc=0
  if [ ! -x "$probe" ] || [ "$ROOT/tools/ia32-probe.c" -nt "$probe" ]; then
    mkdir -p "$ROOT/build"
    gcc -O1 -no-pie -o "$probe.$$" "$ROOT/tools/ia32-probe.c" && mv -f "$probe.$$" "$probe" || {
      echo "cannot build the 32-bit probe (tools/ia32-probe.c)" >&2
      exit 2
    }
  fi
  answer=$("$probe") || rc=$?
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
  [ -x "$WINE" ] || missing+=(wine64)
  command -v xvfb-run >/dev/null || missing+=(xvfb)
  command -v xauth >/dev/null || missing+=(xauth)
  command -v localedef >/dev/null || missing+=(locales)
  [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  # Japanese file names and code page 932 under Wine need ja_JP.UTF-8; one
  # test runs in code page 1252, from en_US.UTF-8.
  for locale in ja_JP en_US; do
    if ! locale -a 2>/dev/null | grep -qix "$locale.utf8"; then
      as_root localedef -i "$locale" -f UTF-8 "$locale.UTF-8"
    fi
  done
}

# What the demo's screenshots need here: ImageMagick (the real one, /usr/bin),
# and for the 64-bit demo under the host's wine64 the Japanese font its
# message boxes are drawn with (the WoW64 root has its own).
ensure_demo_tools() {
  local missing=()
  [ -x /usr/bin/convert ] || missing+=(imagemagick)
  [ -f /usr/share/fonts/opentype/ipafont-gothic/ipag.ttf ] || missing+=(fonts-ipafont-gothic)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# The host's wine64 prefix of the 64-bit build, in a Japanese locale so the ANSI code page
# is 932, as for Padmorph's users.
wine_env() {
  export WINEPREFIX="$ROOT/build/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
}

# The settings prepare_prefix makes; a prefix made with others is set again.
PREFIX_SETTINGS=2

# A new prefix at $WINEPREFIX, for $WINE.
prepare_prefix() {
  mkdir -p "$WINEPREFIX"
  "$WINE" wineboot -i >/dev/null 2>&1
  # Without a window manager every closing window would wait 2 s for one.
  "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  # The Japanese UI fonts the message boxes ask for, from fonts-ipafont-gothic:
  # without them Wine draws the Japanese as empty boxes.
  for font in "MS UI Gothic" "MS Gothic"; do
    "$WINE" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /d IPAGothic /f >/dev/null 2>&1
  done
  "$WINE" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "MS PGothic" /d IPAPGothic /f >/dev/null 2>&1
}

ensure_prefix() {
  wine_env
  if [ "$(cat "$WINEPREFIX/.vemtrell-prefix" 2>/dev/null)" != "$PREFIX_SETTINGS" ]; then
    echo "preparing the Wine prefix $WINEPREFIX"
    prepare_prefix
    "$WINESERVER" -w
    echo "$PREFIX_SETTINGS" >"$WINEPREFIX/.vemtrell-prefix"
  fi
}

build_preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$(nproc)"
}

# Runs "$@" on a virtual display with one wine server ($WINESERVER) kept alive
# throughout. Wine's service processes start first, with no terminal or pipe
# of ours: a test runner would otherwise wait on the output they inherited.
on_wine_display() {
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    "$0" -p 30 &
    "$1" cmd /c exit </dev/null >/dev/null 2>&1
    shift
    "${@}"; rc=$?
    "$0" -k 2>/dev/null || true
    exit $rc' "$WINESERVER" "$WINE" "$@"
}

with_wine_display() {
  wine_env
  on_wine_display "$@"
}
