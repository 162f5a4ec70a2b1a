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

@test "an ordinary user's sandbox keeps every promise, from inside" {
  local token=script-test-$$-$RANDOM before host_ns
  before=$(sandbox_mount_points)
  host_ns=$(for ns in ipc mnt net pid user; do readlink "/proc/self/ns/$ns"; done)
  # shellcheck disable=SC2016 # expanded inside the sandbox
  VEMTRELL_SCRIPT_TEST=$token run as_user "$CHECKOUT/scripts/sandbox" --no-wine --cmd bash -c '
    echo "uid $(id -u), capabilities $(sed -n "s/^CapEff:\t//p" /proc/self/status), pid 1 $(cat /proc/1/comm)"
    for ns in ipc mnt net pid user; do echo "ns $(readlink "/proc/self/ns/$ns")"; done
    awk "{ for (i = 7; \$i != \"-\"; i++); if (\$5 ~ /^\/(proc\/sys|home|root)\$/) print \"mount \" \$5, \$(i + 1), substr(\$6, 1, 2) }" \
      /proc/self/mountinfo
    unshare --user true 2>/dev/null && echo "made a user namespace"
    echo "homes: $(ls -A /root /home 2>&1 | grep -v ":$" | tr -d "\n")"
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
  grep -qxF "mount /proc/sys proc ro" <<<"$output"
  grep -qxF "mount /home tmpfs rw" <<<"$output"
  grep -qxF "mount /root tmpfs rw" <<<"$output"
  grep -qxF "homes: " <<<"$output"
  grep -qxF "links: lo" <<<"$output"
  grep -qxF "full disk took 4096" <<<"$output"
  [ ! -e /var/tmp/vemtrell-x ] && [ ! -e /etc/vemtrell-x ] && [ ! -e "$CHECKOUT/vemtrell-x" ]
  wait_for 10 no_marked_processes "$token"
  [ "$(sandbox_mount_points)" = "$before" ]
}

# A WoW64 root in the user's cache folder, as scripts/wow64 marks a ready one.
ready_root() {
  local root=$USER_DIR/home/.cache/vemtrell/wow64-root packages
  packages=$(bash -c 'source "$1/scripts/lib.sh" && echo "$ROOT_MARK"' lib "$ROOT")
  mkdir -p "$root/usr"
  printf '%s\nchecked: wine-10.0, bits=32 wow64=1\n' "$packages" >"$root/.vemtrell-root"
  [ "$(id -u)" -ne 0 ] || chown -R "$USER_UID:$USER_GID" "$USER_DIR/home"
}

@test "an ordinary user's run never calls sudo when nothing is missing, and says why when it must" {
  ready_root
  # shellcheck disable=SC2016 # expanded by that bash
  run as_user bash -c 'source "$1/scripts/lib.sh" && probe_32bit && ensure_tools &&
    "$1/scripts/sandbox" --no-wine --cmd true && { [ "$RUNS_32BIT" = no ] || "$1/scripts/wow64" ensure; }' step \
    "$CHECKOUT"
  echo "$output"
  [ "$status" -eq 0 ]
  [ ! -e "$USER_DIR/sudo.log" ]
  # Its WoW64 root is its own, in its cache folder.
  ! runs_32bit || [[ "$output" == *"root ready at $USER_DIR/home/.cache/vemtrell/wow64-root"* ]]
  rm -rf -- "$USER_DIR/home/.cache"
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

# The user's root is made by mmdebstrap's unshare mode as a tar stream and
# unpacked as theirs: a stand-in for mmdebstrap (first on PATH) gives a tree
# with a device file, which is left out, and a folder closed to writes, which
# the staging folder's removal opens; then the check fails, as it must on a
# tree without Wine.
@test "an ordinary user's WoW64 root is unpacked as theirs, and a failed one leaves nothing" {
  runs_32bit || skip "$WHY_NOT: no WoW64 root is made here"
  local cache=$USER_DIR/home/.cache/vemtrell
  rm -rf -- "$cache"
  cat >"$USER_DIR/bin/mmdebstrap" <<'SH'
#!/bin/sh
echo "mmdebstrap $*" >>"$SUDO_RECORD.mmdebstrap"
exec python3 -c '
import io, sys, tarfile
with tarfile.open(fileobj=sys.stdout.buffer, mode="w|") as tar:
    def add(name, kind, mode, data=b""):
        info = tarfile.TarInfo(name); info.type = kind; info.mode = mode; info.uid = info.gid = 0
        if kind == tarfile.REGTYPE: info.size = len(data)
        if kind == tarfile.CHRTYPE: info.devmajor, info.devminor = 1, 3
        tar.addfile(info, io.BytesIO(data) if data else None)
    for name in ("./", "./dev/", "./usr/"): add(name, tarfile.DIRTYPE, 0o755)
    add("./dev/null", tarfile.CHRTYPE, 0o666)
    add("./usr/closed/", tarfile.DIRTYPE, 0o555)
    add("./usr/closed/file", tarfile.REGTYPE, 0o444, b"x")
'
SH
  chmod 0755 "$USER_DIR/bin/mmdebstrap"
  [ "$(id -u)" -ne 0 ] || chown "$USER_UID:$USER_GID" "$USER_DIR/bin/mmdebstrap"
  run as_user "$CHECKOUT/scripts/wow64" ensure
  rm -f -- "$USER_DIR/bin/mmdebstrap"
  echo "$output"
  [ "$status" -eq 1 ]
  grep -q -- "--mode=unshare sid - " "$USER_DIR/sudo.log.mmdebstrap"
  # Unpacked (a device file would have stopped tar), then checked.
  [[ "$output" == *"the new root's wine does not start"* ]]
  [[ "$output" != *"mmdebstrap could not make the sid root"* ]]
  [ ! -e "$cache/wow64-root" ] && [ -z "$(compgen -G "$cache/wow64-root.staging.*" || true)" ] ||
    { ls -la "$cache" && false; }
}
