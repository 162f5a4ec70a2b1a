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
  # Another user's, and closed to others: as root it is seen all the same.
  chown -R 65534:65534 "$dir/private"
  chmod 700 "$dir/private"
  ln -s "$dir" "$BATS_TEST_TMPDIR/link-to-theirs"
  before=$(fingerprint "$dir")
  for root in "$dir" "$dir/" "$BATS_TEST_TMPDIR/link-to-theirs"; do
    VEMTRELL_WOW64_ROOT=$root run "$ROOT/scripts/wow64" ensure
    echo "$output"
    [ "$status" -eq 1 ]
    [[ "$output" == *"$dir is not a root scripts/wow64 made"*"it is left as it is"* ]]
    VEMTRELL_WOW64_ROOT=$root run "$ROOT/cmake/wow64-run" "$ROOT/build/script-tests/winprog32.exe" exit 0
    echo "$output"
    [ "$status" -eq 77 ] || [[ "$status" -eq 1 && "$output" == *"no WoW64 root at $dir that scripts/wow64 made"* ]]
  done
  [ "$(fingerprint "$dir")" = "$before" ]
  [ -z "$(compgen -G "$dir.staging.*" || true)" ]
}
