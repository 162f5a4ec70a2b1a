#!/usr/bin/env bats
# scripts/fuzz fails whenever a target does not build, libFuzzer reports a
# failure, or a run leaves a finding behind.

# shellcheck source=helpers.bash
source "$BATS_TEST_DIRNAME/helpers.bash"

setup() {
  checkout=$BATS_TEST_TMPDIR/checkout
  mkdir -p "$checkout/build/fuzz"
  cp -r "$ROOT/scripts" "$ROOT/fuzz" "$ROOT/src" "$checkout/"
}

# One cause of failure per run: with two, either would make the status 1,
# and one of them could have stopped failing unseen.
@test "a target that does not build fails scripts/fuzz, and no old binary runs in its place" {
  echo 'this is not C++;' >>"$checkout/fuzz/TraceFuzz.cpp"
  printf '#!/bin/sh\nexit 0\n' >"$checkout/build/fuzz/TraceFuzz"
  chmod +x "$checkout/build/fuzz/TraceFuzz"
  run "$checkout/scripts/fuzz" 1 TraceFuzz
  echo "$output"
  [ "$status" -eq 1 ]
  [[ "$output" == *"TraceFuzz: FAILED: it does not build"* ]]
  [ ! -e "$checkout/build/fuzz/TraceFuzz" ]
}

@test "a finding an earlier run left fails scripts/fuzz, though libFuzzer exits 0" {
  touch "$checkout/build/fuzz/TailFuzz-oom-0123"
  run "$checkout/scripts/fuzz" 1 TailFuzz
  echo "$output"
  [ "$status" -eq 1 ]
  [[ "$output" == *"TailFuzz: FAILED: libFuzzer exited with 0"*"build/fuzz/TailFuzz-oom-0123"* ]]
}

@test "a target that crashes fails scripts/fuzz, which names the crash file" {
  cat >"$checkout/fuzz/TailFuzz.cpp" <<'CPP'
#include <cstddef>
#include <cstdint>
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0 && data[0] != 0xff) __builtin_trap();
  return 0;
}
CPP
  run "$checkout/scripts/fuzz" 1 TailFuzz
  echo "$output"
  [ "$status" -eq 1 ]
  [[ "$output" == *"TailFuzz: FAILED: libFuzzer exited with "* ]]
  [[ "$output" == *"build/fuzz/TailFuzz-crash-"* ]]
}
