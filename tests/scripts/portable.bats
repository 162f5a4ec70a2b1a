#!/usr/bin/env bats
# tests/portable/without-z judges each test program by gtest's summary and
# by the exit status Wine reports. A stand-in for Wine here: the script's
# own logic is under test, not Wine.

# shellcheck source=helpers.bash
source "$BATS_TEST_DIRNAME/helpers.bash"

setup() {
  build=$BATS_TEST_TMPDIR/build prefix=$BATS_TEST_TMPDIR/prefix
  mkdir -p "$build" "$prefix/dosdevices"
  for exe in Vemtrell standin TraceFormatTest LabelEncodingTest LabelTextTest CommandTailTest sharedmem_tests e2e_tests fault_tests \
    bitness_tests; do touch "$build/$exe.exe"; done
  touch "$BATS_TEST_TMPDIR/Vemtrell.cpp"
  ln -s / "$prefix/dosdevices/z:"
  # Says all FAKE_RAN tests passed (FAKE_SKIP, if set, skipped), then ends
  # with FAKE_STATUS.
  cat >"$BATS_TEST_TMPDIR/wine" <<'SH'
#!/bin/sh
[ -z "$FAKE_SKIP" ] || printf '[  SKIPPED ] %s (0 ms)\r\n' "$FAKE_SKIP"
printf '[==========] %s tests from 1 test suite ran.\r\n[  PASSED  ] %s tests.\r\n' "$FAKE_RAN" "$FAKE_RAN"
exit "$FAKE_STATUS"
SH
  chmod +x "$BATS_TEST_TMPDIR/wine"
}

without_z() {
  WINE=$BATS_TEST_TMPDIR/wine WINESERVER=true WINEPREFIX=$prefix FAKE_STATUS=$1 FAKE_SKIP=${2:-} FAKE_RAN=${3:-1} \
    run bash "$ROOT/tests/portable/without-z" "$build" "$BATS_TEST_TMPDIR/Vemtrell.cpp"
  echo "$output"
}

@test "without-z passes programs that pass and exit 0, on a prefix it took Z: from" {
  without_z 0
  [ "$status" -eq 0 ]
  [[ "$output" == *"without Z: all passed"* ]]
  [ ! -e "$prefix/dosdevices/z:" ] && [ ! -L "$prefix/dosdevices/z:" ]
}

@test "without-z fails a program whose exit status is not 0, though gtest said PASSED" {
  without_z 3
  [ "$status" -eq 1 ]
  [[ "$output" == *"exit status 3"* ]]
  [[ "$output" == *"without Z: FAILED"* ]]
}

@test "without-z fails a case skipped that nothing there keeps from running, not one that needs a disk" {
  without_z 0 Faults.ReadOnlyDirectory
  [ "$status" -eq 0 ]
  without_z 0 FirstRun.ExportsConfigThenAppliesItOnceEdited
  [ "$status" -eq 1 ]
  [[ "$output" == *"skipped, though nothing here keeps it from running: FirstRun.ExportsConfigThenAppliesItOnceEdited"* ]]
}

@test "without-z fails a program that ran no case at all" {
  without_z 0 "" 0
  [ "$status" -eq 1 ]
  [[ "$output" == *"no case ran"* ]]
}
