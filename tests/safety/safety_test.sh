#!/usr/bin/env bash
# A mounted vault on a bad day: pieces of the stack killed at chosen and at
# random moments, a full disk, a second Unix user, a flood of idle
# connections, files deleted by another session while open, folders nested
# to the end of what the driver can reach. For each: what the program sees,
# and what the vault holds afterwards. Exit 77 (skipped) without /dev/fuse;
# the cases that need root (a second user, a small disk) are skipped without.
set -u
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
STACK_NAME=safety_test
. "$ROOT/tests/support/cases.sh"
SMALL=
GUEST=vuzguest
trap 'other_stop; stack_stop; [ -z "$SMALL" ] || umount -l "$SMALL" 2>/dev/null; '"$session_end" EXIT
export WINEDEBUG=-all
LETTER=S: FOLDER='C:\VuzSafety\Vault'
MNT=$STACK_DIR/mnt TMP=$STACK_DIR/tmp
mkdir -p "$TMP"
VAULT=$(stack_unix "$FOLDER")
ROOTED=0; [ "$(id -u)" = 0 ] && ROOTED=1

# The stored files of one vault folder: "stems", "data" or "other" (the
# driver's own leftovers and anything else), counted.
count() { find "$VAULT/$1" -maxdepth 1 -type f -printf '%f\n' | case $2 in
  stems) grep -cE '^[0-9A-F]{16}$' ;; data) grep -cE '^[0-9A-F]{16}\.tmp$' ;; other) grep -cvE '^[0-9A-F]{16}(\.tmp)?$' ;; esac; }

# A second vaultfs on the same vault: another session.
OTHER= OTHER_PID=
other_mount() {
  OTHER=$STACK_DIR/other; mkdir -p "$OTHER"
  "$VAULTFS" "$OTHER" --vault "$LETTER" -f >"$STACK_DIR/other.log" 2>&1 &
  OTHER_PID=$!
  stack_wait 15 mountpoint -q "$OTHER"
}
other_stop() {
  [ -n "$OTHER_PID" ] || return 0
  fusermount3 -u "$OTHER" 2>/dev/null || fusermount3 -u -z "$OTHER" 2>/dev/null
  wait "$OTHER_PID" 2>/dev/null; OTHER_PID=
}
# The mount after vaultfs died, or the stack after the simulator died.
remount() { fusermount3 -u -z "$MNT" 2>/dev/null; wait "$VAULTFS_PID" 2>/dev/null; VAULTFS_PID=; stack_mount "$MNT"; }
restart_agent() { kill -KILL "$AGENT_PID" 2>/dev/null; wait "$AGENT_PID" 2>/dev/null; stack_agent && stack_login; }
restart_stack() {
  kill -KILL "$SERVE_PID" "$AGENT_PID" 2>/dev/null; wait "$SERVE_PID" "$AGENT_PID" 2>/dev/null
  stack_serve && stack_agent && stack_login && remount
}

stack_start "$LETTER" "$FOLDER" || exit 1
stack_mount "$MNT" || exit 1

# An open file outlives the agent that gave its key: its writes after the
# agent's restart land under its own key (or fail), never under the key a new
# agent gave another file.
t_agent_restart() {
  mkdir "$MNT/restart" && head -c 50000 /dev/urandom >"$TMP/a" && cp "$TMP/a" "$MNT/restart/A" &&
    exec 3<>"$MNT/restart/A" && restart_agent &&
    echo "file B" >"$MNT/restart/B" || return 1
  local wrote=0
  printf 'XYZ' >&3 && wrote=1
  exec 3>&-
  if [ $wrote = 1 ]; then { printf 'XYZ'; tail -c +4 "$TMP/a"; } >"$TMP/a.expected"; else cp "$TMP/a" "$TMP/a.expected"; fi
  cmp "$MNT/restart/A" "$TMP/a.expected" && [ "$(cat "$MNT/restart/B")" = "file B" ] &&
    [ "$(count restart stems)" = 2 ] && [ "$(count restart other)" = 0 ]
}

# Only the user who runs the stack reaches the prefix, the endpoint's
# secret, the mount and the vault's stored keys.
t_other_user() {
  [ $ROOTED = 1 ] || { echo "not root: no second user to try with"; return 0; }
  id "$GUEST" >/dev/null 2>&1 || useradd -M -r -s /usr/sbin/nologin "$GUEST" || return 1
  local endpoint=$WINEPREFIX/vaultfs.endpoint port secret
  # The prefix is the user's alone; the endpoint is 0600 unless a wineserver
  # that another program started with a looser umask made it.
  [ "$(stat -c %a "$WINEPREFIX")" = 700 ] && [ "$(stat -c %U "$endpoint")" = "$(id -un)" ] || { ls -ld "$WINEPREFIX" "$endpoint"; return 1; }
  as_guest() { runuser -u "$GUEST" -- "$@"; }
  refused "Permission denied" as_guest cat "$endpoint" &&
    refused "Permission denied" as_guest cat "$WINEPREFIX/user.reg" &&
    refused "Permission denied" as_guest ls "$VAULT" &&
    refused "Permission denied" as_guest ls "$MNT" || return 1
  # A guess at the secret is answered once, and the connection ends.
  read -r _ _ port secret <"$endpoint"
  as_guest python3 - "$port" <<'PY' || return 1
import socket, struct, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
path, secret = b"S:", b"0" * 32
s.sendall(struct.pack("<IIQQIIIIII", 0x5346564D, 1, 1, 0, 0, 0, len(path), 0, len(secret), 0) + path + secret)
s.settimeout(10)
reply = s.recv(48)
assert struct.unpack("<Ii", reply[:8]) == (0x5346564D, 13), reply
text = s.recv(struct.unpack("<I", reply[36:40])[0])
assert s.recv(1) == b"", "the connection stayed open after a wrong secret"
PY
  # vaultfs trusts no endpoint that others may reach and read, or that
  # another user owns.
  chmod 755 "$TMP" && cp -p "$endpoint" "$TMP/endpoint" && chmod 644 "$TMP/endpoint" && mkdir -p "$TMP/m2" &&
    refused "others could read" "$VAULTFS" "$TMP/m2" --vault "$LETTER" --endpoint "$TMP/endpoint" &&
    chmod 600 "$TMP/endpoint" && chown "$GUEST" "$TMP/endpoint" &&
    refused "belongs to another user" "$VAULTFS" "$TMP/m2" --vault "$LETTER" --endpoint "$TMP/endpoint"
}

# A replacing rename (a temporary file moved over the old one, as editors
# and rsync do) with a piece of the stack killed at a random moment: the
# name always holds the old or the new content whole, and the new one is
# never lost.
t_rename_kills() {
  mkdir -p "$MNT/kills" || return 1
  local i victim delay kills=0 olds=0 news=0
  for i in $(seq 24); do
    head -c $((20000 + i)) /dev/urandom >"$TMP/old" && head -c $((30000 + i)) /dev/urandom >"$TMP/new" &&
      cp "$TMP/old" "$MNT/kills/doc" && cp "$TMP/new" "$MNT/kills/doc.swp" || { echo "round $i: set-up"; return 1; }
    victim=$(( i % 3 )); delay=$(printf '0.%03d' $((RANDOM % 60)))
    mv "$MNT/kills/doc.swp" "$MNT/kills/doc" 2>/dev/null &
    local mover=$!
    sleep "$delay"
    local back=0
    case $victim in
      0) kill -KILL "$SERVE_PID"; wait "$mover" 2>/dev/null; restart_stack || back=1 ;;
      1) restart_agent || back=1; wait "$mover" 2>/dev/null ;;
      2) kill -KILL "$VAULTFS_PID"; wait "$mover" 2>/dev/null; remount || back=1 ;;
    esac
    [ $back = 0 ] || { echo "round $i: the stack did not come back"; return 1; }
    kills=$((kills + 1))
    if cmp -s "$MNT/kills/doc" "$TMP/new"; then
      news=$((news + 1)); [ ! -e "$MNT/kills/doc.swp" ] || { echo "round $i: the source stayed too"; return 1; }
    elif cmp -s "$MNT/kills/doc" "$TMP/old"; then
      olds=$((olds + 1)); cmp "$MNT/kills/doc.swp" "$TMP/new" || { echo "round $i: the source is lost"; return 1; }
      rm "$MNT/kills/doc.swp"
    else
      echo "round $i (victim $victim after $delay s): doc holds neither"; ls -la "$MNT/kills"; return 1
    fi
  done
  echo "$kills kills: $news renames done, $olds not"
  [ "$(count kills stems)" = 1 ] && [ "$(count kills data)" = 1 ] && [ "$(count kills other)" = 0 ] && [ -z "$(ls -A "$VAULT" | grep rename)" ]
}

# fsync, fdatasync and a folder's fsync reach the disk: the simulator calls
# fsync for them.
t_fsync() {
  command -v strace >/dev/null || { echo "strace is missing (scripts/setup installs it)"; return 1; }
  mkdir "$MNT/sync" && echo one >"$MNT/sync/f" || return 1
  strace -f -qq -e trace=fsync,fdatasync -p "$SERVE_PID" -o "$TMP/strace" &
  local tracer=$!
  sleep 1
  python3 - "$MNT/sync" <<'PY'
import os, sys
fd = os.open(sys.argv[1] + "/f", os.O_WRONLY | os.O_APPEND)
os.write(fd, b"two\n"); os.fsync(fd); os.write(fd, b"three\n"); os.fdatasync(fd); os.close(fd)
d = os.open(sys.argv[1], os.O_RDONLY); os.fsync(d); os.close(d)
PY
  local status=$?
  sleep 0.5; kill "$tracer"; wait "$tracer" 2>/dev/null
  [ $status = 0 ] && [ "$(cat "$MNT/sync/f")" = "$(printf 'one\ntwo\nthree')" ] &&
    [ "$(grep -c 'fsync(' "$TMP/strace")" -ge 4 ] || { cat "$TMP/strace"; return 1; }
}

# Idle connections that never say hello cost a bounded number of threads,
# end after the hello's time, and keep no mount out.
t_idle_connections() {
  local port threads
  read -r _ _ port _ <"$WINEPREFIX/vaultfs.endpoint"
  python3 - "$port" >"$TMP/idle.out" 2>&1 <<'PY' &
import socket, sys, time
conns = [socket.create_connection(("127.0.0.1", int(sys.argv[1]))) for _ in range(300)]
time.sleep(8)
closed = 0
for c in conns:
    c.settimeout(0.5)
    try:
        closed += c.recv(1) == b""
    except ConnectionError:
        closed += 1
    except socket.timeout:
        pass
print("closed", closed)
PY
  local flood=$!
  sleep 3
  threads=$(awk '/^Threads:/ { print $2 }' /proc/"$SERVE_PID"/status)
  ls "$MNT" >/dev/null && echo fine >"$MNT/during-flood" && [ "$(cat "$MNT/during-flood")" = fine ] || return 1
  wait "$flood"
  echo "simulator threads during the flood: $threads; $(cat "$TMP/idle.out")"
  [ "$threads" -lt 120 ] && [ "$(awk '{ print $2 }' "$TMP/idle.out")" = 300 ] && kill -0 "$SERVE_PID"
}

# Growing a file leaves a hole: nothing encrypted, no space taken.
t_growth() {
  timeout 30 truncate -s 100G "$MNT/big" && [ "$(stat -c %s "$MNT/big")" = 107374182400 ] &&
    [ "$(tail -c 4096 "$MNT/big" | tr -d '\0' | wc -c)" = 0 ] &&
    printf 'end' | timeout 30 dd of="$MNT/big" bs=1 seek=200G conv=notrunc status=none &&
    [ "$(tail -c 3 "$MNT/big")" = end ] && [ "$(head -c 4096 "$MNT/big" | tr -d '\0' | wc -c)" = 0 ] || return 1
  local used
  used=$(find "$VAULT" -maxdepth 1 -name '*.tmp' -size +1G -exec du -k {} + | awk '{ s += $1 } END { print s + 0 }')
  echo "the 200 GiB file takes $used KiB"
  [ "$used" -lt 1024 ] && rm "$MNT/big"
}

# A file deleted through another session stays usable through the handles
# that hold it (in their own session it keeps its name until closed, since
# the kernel asks an open file's attributes by name); the name is gone for
# everyone else at once, a new file may take it, and the stored files of the
# old one go with its last handle.
t_delete_elsewhere() {
  other_mount || return 1
  mkdir "$MNT/shared" && echo "first" >"$MNT/shared/doc" && exec 4<>"$MNT/shared/doc" &&
    rm "$OTHER/shared/doc" && [ ! -e "$OTHER/shared/doc" ] && ! ls "$OTHER/shared" | grep -q doc &&
    sleep 1.2 && [ "$(cat <&4)" = first ] && echo "more" >&4 && [ "$(stat -c %s "$MNT/shared/doc")" = 11 ] &&
    echo "another" >"$OTHER/shared/doc" && [ "$(cat "$OTHER/shared/doc")" = another ] || return 1
  exec 4>&-
  sleep 1.2
  [ "$(cat "$MNT/shared/doc")" = another ] &&
    [ "$(count shared stems)" = 1 ] && [ "$(count shared data)" = 1 ] && [ "$(count shared other)" = 0 ] &&
    other_stop
}

# Folders as deep as the driver can still reach: made, filled, listed,
# emptied; one deeper is refused up front (ENAMETOOLONG), and a name beyond
# is "no such file", never "permission denied".
t_long_paths() {
  local d=$MNT/deep depth=0
  mkdir "$d" || return 1
  while mkdir "$d/d123456789" 2>"$TMP/mkdir.err"; do d=$d/d123456789; depth=$((depth + 1)); done
  grep -q "File name too long" "$TMP/mkdir.err" || { cat "$TMP/mkdir.err"; return 1; }
  local windows="$FOLDER\\deep$(printf '\\d123456789%.0s' $(seq $depth))"
  echo "deepest folder: $depth levels, ${#windows} characters of Windows path"
  [ "$depth" -gt 10 ] && echo "content" >"$d/file" && sleep 1.2 && [ "$(cat "$d/file")" = content ] &&
    ls -l "$d" | grep -q file && refused "No such file" stat "$d/d123456789/d123456789/x" &&
    rm "$d/file" && rm -r "$MNT/deep" && [ ! -e "$VAULT/deep" ]
}

# A full disk: a rename, a growth and new files are refused with ENOSPC,
# and nothing written before is lost.
t_full_disk() {
  [ $ROOTED = 1 ] || { echo "not root: no small disk to fill"; return 0; }
  local letter=F: folder='C:\VuzSmall\Vault' small
  SMALL=$(stack_unix 'C:\VuzSmall'); mkdir -p "$SMALL"
  mount -t tmpfs -o size=4m tmpfs "$SMALL" || return 1
  # Wine's server makes the files: it must see this mount (not so when the
  # test runs in a mount namespace of its own, as under the mutation tool).
  "$RUN" cmd /c mkdir 'C:\VuzSmall\probe' >/dev/null 2>&1
  [ -d "$SMALL/probe" ] || {
    umount "$SMALL" && rmdir "$SMALL/probe"; SMALL=; echo "Wine's server does not see the small disk: not tested"; return 0; }
  vaultctl create "$letter" --path "$folder" --label Small --force >/dev/null || return 1
  mkdir -p "$TMP/small"
  "$VAULTFS" "$TMP/small" --vault "$letter" -f >"$STACK_DIR/small.log" 2>&1 &
  local pid=$!
  stack_wait 15 mountpoint -q "$TMP/small" || { cat "$STACK_DIR/small.log"; return 1; }
  local m=$TMP/small status=0
  head -c 3145728 /dev/urandom >"$TMP/big"   # whole requests, sent while dd makes the next one
  head -c 100000 /dev/urandom >"$TMP/keep" && cp "$TMP/keep" "$m/keep" && cp "$TMP/keep" "$m/grow" &&
    cp "$TMP/keep" "$m/name" && : >"$m/big" || status=1
  dd if=/dev/zero of="$SMALL/filler" bs=64k status=none 2>/dev/null   # every free block taken
  [ $status = 0 ] &&
    refused "No space left" sh -c "cat '$TMP/keep' >>'$m/grow'" &&
    refused "No space left" cp "$TMP/keep" "$m/new" &&
    refused "No space left" dd if="$TMP/big" of="$m/big" bs=1M status=none &&
    { mv "$m/name" "$m/renamed" 2>"$TMP/mv.err" || grep -q "No space left" "$TMP/mv.err"; } || status=1
  ls "$m" >"$TMP/small.ls"
  cmp "$m/keep" "$TMP/keep" && head -c 100000 "$m/grow" | cmp - "$TMP/keep" &&
    { cmp "$m/name" "$TMP/keep" || cmp "$m/renamed" "$TMP/keep"; } || status=1
  rm -f "$SMALL/filler"
  echo "after the disk filled up: $(tr '\n' ' ' <"$TMP/small.ls")"
  local leftovers
  leftovers=$(find "$SMALL/Vault" -type f -regextype posix-extended ! -regex '.*/[0-9A-F]{16}(\.tmp)?' | head -3)
  [ -z "$leftovers" ] || { echo "left behind: $leftovers"; status=1; }
  fusermount3 -u "$m"; wait "$pid"
  vaultctl disconnect "$folder" >/dev/null
  "$RUN" reg delete "$VAULTS_KEY\\F" /f >/dev/null 2>&1
  "$RUN" subst "$letter" /d >/dev/null 2>&1
  umount "$SMALL" && SMALL=
  return $status
}

cases() {
run "an agent restarted under an open file: its writes keep their own key" t_agent_restart
run "a second Unix user: prefix, endpoint, mount and keys out of reach" t_other_user
run "replacing renames killed at random: old or new content, never neither" t_rename_kills
run "fsync, fdatasync and a folder's fsync reach the disk" t_fsync
run "300 idle connections: bounded threads, closed after the hello time, mounts served" t_idle_connections
run "truncate -s 100G and a write at 200 GiB: holes, no space, no wait" t_growth
run "deleted in another session while open: usable until closed, then gone" t_delete_elsewhere
run "folders nested to the driver's reach: usable; deeper refused up front" t_long_paths
run "a full disk: ENOSPC, and nothing written before lost" t_full_disk
}
run_cases "$@"

finish
