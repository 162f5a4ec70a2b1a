#!/usr/bin/env bats
# scripts/wow64 and the launcher never touch a folder named as the WoW64 root
# that they did not make.

# shellcheck source=helpers.bash
source "$BATS_TEST_DIRNAME/helpers.bash"

# Every entry's path, type, mode, owner, size, time and link, and every
# file's contents.
fingerprint() (
  cd "$1" || exit 1
  find . -printf '%p %y %m %U:%G %s %T@ %l\n' | sort
  find . -type f -exec sha256sum {} + | sort
)

@test "a VEMTRELL_WOW64_ROOT naming a folder with files of its own is left as it was" {
  local dir=$BATS_TEST_TMPDIR/theirs before root
  mkdir -p "$dir/private"
  echo notes >"$dir/notes.txt"
  echo key >"$dir/private/key"
  ln -s notes.txt "$dir/link"
  # As it happened to root: the folder itself another user's and closed to
  # others, and sudo's user one who cannot read it, so a look as that user
  # would find it empty. Every look must be root's.
  if [ "$(id -u)" -eq 0 ]; then
    chown -R 65534:65534 "$dir"
    chmod 700 "$dir" "$dir/private"
    run su -s /bin/sh -c "ls -A '$dir'" daemon
    [ "$status" -ne 0 ]
  fi
  ln -s "$dir" "$BATS_TEST_TMPDIR/link-to-theirs"
  before=$(fingerprint "$dir")
  for root in "$dir" "$dir/" "$BATS_TEST_TMPDIR/link-to-theirs"; do
    SUDO_USER=daemon SUDO_UID=1 SUDO_GID=1 VEMTRELL_WOW64_ROOT=$root run "$ROOT/scripts/wow64" ensure
    echo "$output"
    [ "$status" -eq 1 ]
    [[ "$output" == *"$dir is not a root scripts/wow64 made"*"it is left as it is"* ]]
    SUDO_USER=daemon SUDO_UID=1 SUDO_GID=1 VEMTRELL_WOW64_ROOT=$root run "$ROOT/cmake/wow64-run" \
      "$ROOT/build/script-tests/winprog32.exe" exit 0
    echo "$output"
    [ "$status" -eq 77 ] || [[ "$status" -eq 1 && "$output" == *"no WoW64 root at $dir that scripts/wow64 made"* ]]
  done
  [ "$(fingerprint "$dir")" = "$before" ]
  [ -z "$(compgen -G "$dir.staging.*" || true)" ]
  # A relative name is another folder from every place that uses it: refused.
  (cd "$BATS_TEST_TMPDIR" && VEMTRELL_WOW64_ROOT=theirs run "$ROOT/scripts/wow64" ensure &&
    echo "$output" && [ "$status" -eq 1 ] && [[ "$output" == *"give an absolute path"* ]])
}

# A make killed between moving the old root aside and the new one in: the
# next ensure puts the old one back instead of making a new one.
@test "a root moved aside by an interrupted replacement is put back, not made again" {
  local root=$BATS_TEST_TMPDIR/root packages
  packages=$(bash -c 'source "$1/scripts/lib.sh" && echo "$ROOT_MARK"' lib "$ROOT")
  mkdir -p "$root.staging.abc/old/usr"
  touch "$root.staging.abc/.vemtrell-staging"
  printf '%s\nchecked: wine-10.0, bits=32 wow64=1\n' "$packages" >"$root.staging.abc/old/.vemtrell-root"
  VEMTRELL_WOW64_ROOT=$root run "$ROOT/scripts/wow64" ensure
  echo "$output"
  [ "$status" -eq 0 ]
  [[ "$output" == *"root ready at $root (put back after an interrupted replacement)"* ]]
  [ -f "$root/.vemtrell-root" ] && [ ! -e "$root.staging.abc" ]
}
