#!/usr/bin/env bats
# The kit as an ordinary user: the launcher's sandbox keeps its promises
# without root, and a run with everything installed never calls sudo. Run as
# root (as CI does), the user is an unused uid that setpriv becomes; run by
# an ordinary user, that user.

# shellcheck source=helpers.bash
source "$BATS_TEST_DIRNAME/helpers.bash"

setup_file() {
  # Under a folder that user may enter; the checkout's path holds a blank and
  # kanji, and the user's own copy of the kit.
  USER_DIR=$(mktemp -d /tmp/vemtrell-user.XXXXXX)
  chmod 0755 "$USER_DIR"
  USER_UID=$(id -u) USER_GID=$(id -g)
  if [ "$USER_UID" -eq 0 ]; then
    USER_UID=47000
    while getent passwd "$USER_UID" >/dev/null || getent group "$USER_UID" >/dev/null; do USER_UID=$((USER_UID + 1)); done
    USER_GID=$USER_UID
  fi
  CHECKOUT="$USER_DIR/作業 dir/checkout"
  export USER_DIR USER_UID USER_GID CHECKOUT
  mkdir -p "$USER_DIR/home" "$USER_DIR/bin" "$CHECKOUT"
  cp -r "$ROOT/scripts" "$ROOT/cmake" "$CHECKOUT/"
  # A sudo first on PATH that records every call it gets.
  # shellcheck disable=SC2016 # expanded by that sudo
  printf '#!/bin/sh\necho "$*" >>"$SUDO_RECORD"\n' >"$USER_DIR/bin/sudo"
  chmod 0755 "$USER_DIR/bin/sudo"
  [ "$(id -u)" -ne 0 ] || chown -R "$USER_UID:$USER_GID" "$USER_DIR"
}

teardown_file() {
  rm -rf -- "$USER_DIR"
}

# as_user COMMAND...: COMMAND as the ordinary user, with the recording sudo.
as_user() {
  local -a become=()
  [ "$(id -u)" -ne 0 ] ||
    become=(setpriv --reuid="$USER_UID" --regid="$USER_GID" --clear-groups --inh-caps=-all --)
  "${become[@]}" env -u XDG_CACHE_HOME HOME="$USER_DIR/home" PATH="$USER_DIR/bin:$PATH" \
    SUDO_RECORD="$USER_DIR/sudo.log" "$@"
}

no_marked_processes() {
  [ -z "$(marked_processes "$1")" ]
}

@test "an ordinary user's sandbox keeps every promise, from inside" {
  local token=script-test-$$-$RANDOM before host_ns
  before=$(sandbox_mount_points)
  host_ns=$(for ns in ipc mnt net pid user; do readlink "/proc/self/ns/$ns"; done)
  # shellcheck disable=SC2016 # expanded inside the sandbox
  VEMTRELL_SCRIPT_TEST=$token run as_user "$CHECKOUT/scripts/sandbox" --no-wine --cmd bash -c '
    echo "uid $(id -u), capabilities $(sed -n "s/^CapEff:\t//p" /proc/self/status), pid 1 $(cat /proc/1/comm)"
    for ns in ipc mnt net pid user; do echo "ns $(readlink "/proc/self/ns/$ns")"; done
    echo x >/proc/sys/kernel/hostname 2>/dev/null && echo "wrote /proc/sys"
    unshare --user true 2>/dev/null && echo "made a user namespace"
    echo "homes: $(ls -A /root /home | grep -v ":$" | tr -d "\n")"
    echo "links: $(tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d " \n")"
    for f in /etc/vemtrell-x /var/tmp/vemtrell-x "$1/vemtrell-x" "$1/scripts/vemtrell-x"; do
      : 2>/dev/null >"$f" && echo "wrote $f"
    done
    head -c 8192 /dev/zero 2>/dev/null >/tmp/vemtrell-full-disk/f
    echo "full disk took $(stat -c %s /tmp/vemtrell-full-disk/f)"
    : 2>/dev/null >/tmp/vemtrell-read-only/f && echo "wrote the read-only disk"
    # Left running: it must end with the sandbox.
    sleep 1000 &
    exit 0' check "$CHECKOUT"
  echo "$output"
  [ "$status" -eq 0 ]
  grep -qxF "uid $USER_UID, capabilities 0000000000000000, pid 1 bwrap" <<<"$output"
  # Namespaces of its own, the user's among them, every one.
  [ -z "$(comm -12 <(sort <<<"$host_ns") <(sed -n 's/^ns //p' <<<"$output" | sort))" ]
  [ "$(grep -c '^ns ' <<<"$output")" -eq 5 ]
  [[ "$output" != *"wrote "* && "$output" != *"made a user namespace"* ]]
  grep -qxF "homes: " <<<"$output"
  grep -qxF "links: lo" <<<"$output"
  grep -qxF "full disk took 4096" <<<"$output"
  [ ! -e /var/tmp/vemtrell-x ] && [ ! -e /etc/vemtrell-x ] && [ ! -e "$CHECKOUT/vemtrell-x" ]
  wait_for 10 no_marked_processes "$token"
  [ "$(sandbox_mount_points)" = "$before" ]
}

@test "an ordinary user's run never calls sudo when nothing is missing, and says why when it must" {
  # shellcheck disable=SC2016 # expanded by that bash
  run as_user bash -c 'source "$1/scripts/lib.sh" && probe_32bit && ensure_tools &&
    "$1/scripts/sandbox" --no-wine --cmd true' step "$CHECKOUT"
  echo "$output"
  [ "$status" -eq 0 ]
  [ ! -e "$USER_DIR/sudo.log" ]
  # A locale gone (a locale -a that lists none): sudo is asked, after saying
  # what for, so the recording sudo can fail this test.
  printf '#!/bin/sh\n' >"$USER_DIR/bin/locale"
  chmod 0755 "$USER_DIR/bin/locale"
  # shellcheck disable=SC2016 # expanded by that bash
  run as_user bash -c 'source "$1/scripts/lib.sh" && ensure_tools' step "$CHECKOUT"
  rm -f -- "$USER_DIR/bin/locale"
  echo "$output"
  [ "$status" -eq 0 ]
  [[ "$output" == *"root is needed to make the ja_JP.UTF-8 locale"*"asking sudo for: localedef -i ja_JP"* ]]
  grep -qxF "localedef -i ja_JP -f UTF-8 ja_JP.UTF-8" "$USER_DIR/sudo.log"
}
