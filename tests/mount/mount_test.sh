#!/usr/bin/env bash
# A fresh vault mounted with vaultfs and worked on by tools nobody here
# wrote: cp, tar, git, fio with verification, renames and deletions through
# the shell; the refusals of what a vault cannot hold (renameat2's exchange
# included); a logout, an unmount and the agent's end while files are open;
# and afterwards a vault folder that holds no name and no plain text. Exit
# 77 (skipped) without /dev/fuse.
set -u
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
STACK_NAME=mount_test
. "$ROOT/tests/support/cases.sh"
trap "stack_stop; $session_end" EXIT
export WINEDEBUG=-all GIT_CONFIG_NOSYSTEM=1 HOME=$STACK_DIR
LETTER=M: FOLDER='C:\VuzMount\Vault'
SRC=$STACK_DIR/src MNT=$STACK_DIR/mnt TMP=$STACK_DIR/tmp
MARKER=VUZ-PLAIN-MARKER-4f1c0d
mkdir -p "$SRC/sub/deeper" "$TMP"

# The source tree: sizes around the block (8) and request (16,384) edges,
# a few MiB, names with blanks and beyond ASCII, and a known plain text.
for size in 0 1 8 16383 16384 16385 4194309; do head -c $size /dev/urandom >"$SRC/f$size.bin"; done
for i in $(seq 400); do echo "$MARKER line $i"; done >"$SRC/sub/SecretPlan.txt"
cp "$ROOT/README.md" "$SRC/sub/read me.txt"
echo "déjà vu" >"$SRC/sub/deeper/Résumé.txt"
chmod -R u=rwX,go=rX "$SRC"   # the modes the vault shows, so tar's chmod asks for nothing new

stack_start "$LETTER" "$FOLDER" || exit 1
stack_mount "$MNT" || exit 1

# Read ahead 1 MiB at a time (the mount's own window, which root alone may set).
read_ahead() { [ "$(id -u)" != 0 ] || [ "$(cat "/sys/class/bdi/$(mountpoint -d "$MNT")/read_ahead_kb")" = 1024 ]; }
t_copy() { cp -r "$SRC" "$MNT/tree" && diff -r "$SRC" "$MNT/tree" && [ "$(stat -c %s "$MNT/tree/f16385.bin")" = 16385 ] && read_ahead; }
t_tar() {
  tar -C "$SRC" -cf "$TMP/in.tar" . && mkdir "$MNT/untar" && tar -C "$MNT/untar" -xf "$TMP/in.tar" &&
    diff -r "$SRC" "$MNT/untar" && tar -C "$MNT/tree" -cf "$TMP/out.tar" . && mkdir "$TMP/out" &&
    tar -C "$TMP/out" -xf "$TMP/out.tar" && diff -r "$SRC" "$TMP/out"
}
# rsync writes a temporary file and renames it over the old one.
t_rsync() {
  rsync -rt "$SRC/" "$MNT/sync/" && diff -r "$SRC" "$MNT/sync" && cp -a "$SRC" "$TMP/changed" &&
    echo "one more line" >>"$TMP/changed/sub/read me.txt" && touch -d '2020-01-01' "$TMP/changed/f8.bin" &&
    rsync -rt --itemize-changes "$TMP/changed/" "$MNT/sync/" >"$TMP/rsync.out" && diff -r "$TMP/changed" "$MNT/sync" &&
    [ "$(grep -c '^>f' "$TMP/rsync.out")" = 2 ] && [ -z "$(ls -A "$MNT/sync" | grep '^\.')" ] &&
    [ "$(stat -c %Y "$MNT/sync/f8.bin")" = "$(stat -c %Y "$TMP/changed/f8.bin")" ]
}
t_git() (
  cd "$MNT" && git init -q repo && cp -r "$SRC"/. repo/ && cd repo && git add -A &&
    git -c user.name=Test -c user.email=test@example.org commit -qm "first" &&
    echo change >>"sub/read me.txt" && git -c user.name=Test -c user.email=test@example.org commit -qam second &&
    git fsck --full --strict && [ -z "$(git status --porcelain)" ] && [ "$(git rev-list --count HEAD)" = 2 ] &&
    git show HEAD~1:sub/SecretPlan.txt | cmp - "$SRC/sub/SecretPlan.txt"
)
t_fio() {
  mkdir "$MNT/fio" && fio --name=verify --directory="$MNT/fio" --rw=randwrite --bsrange=1k-64k --size=12m \
    --numjobs=2 --ioengine=psync --fallocate=none --verify=crc32c --do_verify=1 --verify_backlog=32 \
    --verify_fatal=1 --verify_state_save=0 --group_reporting >"$TMP/fio.out" 2>&1 ||
    { cat "$TMP/fio.out"; return 1; }
  grep -q 'err= 0' "$TMP/fio.out"
}
t_parallel() {
  local pids=() i
  mkdir "$MNT/par" || return 1
  for i in 1 2 3 4; do cp "$SRC/f4194309.bin" "$MNT/par/$i" & pids+=($!); done
  wait_all "${pids[@]}" || return 1
  pids=()
  for i in 1 2 3 4; do cmp "$MNT/par/$i" "$SRC/f4194309.bin" & pids+=($!); done
  wait_all "${pids[@]}"
}
t_renames() {
  local d=$MNT/ren
  mkdir -p "$d/a/b" "$d/other" && cp "$SRC/f16385.bin" "$d/one" && cp "$SRC/f8.bin" "$d/two" &&
    mv "$d/one" "$d/uno" && cmp "$d/uno" "$SRC/f16385.bin" &&
    mv "$d/uno" "$d/a/b/" && cmp "$d/a/b/uno" "$SRC/f16385.bin" &&
    mv "$d/two" "$d/a/b/uno" && cmp "$d/a/b/uno" "$SRC/f8.bin" && [ ! -e "$d/two" ] &&
    mv "$d/a/b/uno" "$d/a/b/UNO" && [ "$(ls "$d/a/b")" = UNO ] &&
    exec 4<"$d/a/b/UNO" && mv "$d/a" "$d/other/moved" && cmp - "$SRC/f8.bin" <&4 && exec 4<&- &&
    cp "$SRC/f16384.bin" "$d/open" && exec 5<>"$d/open" && mv "$d/open" "$d/other/moved/b/opened" &&
    printf 'XY' >&5 && exec 5>&- &&
    { printf 'XY'; tail -c +3 "$SRC/f16384.bin"; } | cmp - "$d/other/moved/b/opened" &&
    mkdir "$d/empty" && mv -T "$d/other/moved" "$d/empty" && [ -f "$d/empty/b/UNO" ] &&
    refused "Directory not empty" rmdir "$d/empty" &&
    refused "Not a directory" rmdir "$d/empty/b/UNO" &&
    refused "Is a directory" rm "$d/empty/b" &&
    exec 6<"$d/empty/b/UNO" && rm "$d/empty/b/UNO" && [ ! -e "$d/empty/b/UNO" ] &&
    cmp - "$SRC/f8.bin" <&6 && exec 6<&- &&
    cp "$SRC/f16385.bin" "$d/cut" && truncate -s 9 "$d/cut" && head -c 9 "$SRC/f16385.bin" | cmp - "$d/cut" &&
    truncate -s 20000 "$d/cut" && { head -c 9 "$SRC/f16385.bin"; head -c 19991 /dev/zero; } | cmp - "$d/cut" &&
    echo tail >>"$d/cut" && [ "$(stat -c %s "$d/cut")" = 20005 ] &&
    rm -r "$d" && [ ! -e "$d" ] && [ -z "$(ls -A "$MNT" | grep -i '^\.fuse_hidden')" ]
}
t_refusals() {
  local f=$MNT/tree/f8.bin long
  long=$(printf 'n%.0s' $(seq 183))
  refused "Operation not permitted" ln "$f" "$MNT/hard" &&
    refused "Operation not permitted" ln -s "$f" "$MNT/soft" &&
    refused "Operation not permitted" mkfifo "$MNT/fifo" &&
    chmod 755 "$f" && [ "$(stat -c %a "$f")" = 644 ] &&
    refused "Operation not supported" python3 -c "import os; os.setxattr('$f', 'user.x', b'1')" &&
    refused "Operation not supported" python3 -c "import os; os.getxattr('$f', 'user.x')" &&
    refused "File name too long" touch "$MNT/$long" &&
    refused "Invalid argument" touch "$MNT/a:b" &&
    refused "No such file" cat "$MNT/absent" &&
    refused "File exists" mkdir "$MNT/tree" &&
    refused "Invalid argument" python3 -c "import ctypes, os; l = ctypes.CDLL(None, use_errno=True)
l.renameat2(-100, b'$f', -100, b'$MNT/tree/f1.bin', 2) == 0 or exit(os.strerror(ctypes.get_errno()))" &&
    cmp "$f" "$SRC/f8.bin" &&
    [ "$(stat -f -c %l "$MNT")" = 182 ] && df "$MNT" >/dev/null &&
    touch -d '2021-02-03 04:05:06' "$f" && [ "$(stat -c %Y "$f")" = "$(date -d '2021-02-03 04:05:06' +%s)" ]
}
t_logout() {

  exec 7<"$MNT/tree/f4194309.bin" && vaultctl logout "$FOLDER" >/dev/null &&
    refused "Permission denied" cat "$MNT/tree/f8.bin" &&
    refused "Permission denied" ls "$MNT/tree" &&
    cmp - "$SRC/f4194309.bin" <&7 && exec 7<&- &&
    vaultctl login "$FOLDER" >/dev/null && cmp "$MNT/tree/f8.bin" "$SRC/f8.bin"
}
t_unmount_open() {
  exec 8<"$MNT/tree/f16385.bin" &&
    refused "busy" fusermount3 -u "$MNT" && cmp "$MNT/tree/f8.bin" "$SRC/f8.bin" &&
    fusermount3 -u -z "$MNT" && ! mountpoint -q "$MNT" && cmp - "$SRC/f16385.bin" <&8 && exec 8<&- &&
    stack_vaultfs_ended 10 && VAULTFS_PID= &&
    stack_wait 10 grep -q 'session .* ended' "$SERVE_LOG" && kill -0 "$AGENT_PID"
}
# Only stems (16 hex digits), their .tmp data files and plain folder names;
# no logical name and no plain content anywhere.
t_vault_folder() {
  local vault bad names
  vault=$(stack_unix "$FOLDER")
  bad=$(find "$vault" -type f -printf '%P\n' | grep -Ev '(^|/)[0-9A-F]{16}(\.tmp)?$' | head -5)
  [ -z "$bad" ] || { echo "not a stored file: $bad"; return 1; }
  for meta in $(find "$vault" -type f ! -name '*.tmp'); do
    [ -f "$meta.tmp" ] && grep -q '<FILENAME>' "$meta" || { echo "no pair or no meta text: $meta"; return 1; }
  done
  [ "$(find "$vault" -type f -name '*.tmp' | wc -l)" -gt 30 ] || { echo "too few stored files"; return 1; }
  names='SecretPlan|f16385|read me|Résumé|verify\.0\.0|COMMIT_EDITMSG'
  ! grep -r -a -l -E "$MARKER|$names" "$vault" && ! find "$vault" | grep -E "$names"
}
# tar (as root, owners and modes from the archive), cp -a, rsync -a and git
# clone set modes, owners and times on every file: taken without effect,
# the content the same as in a plain folder.
times() { (cd "$1" && find . -type f -exec stat -c '%n %Y' {} + | sort); }
t_everyday_tools() {
  tar -C "$ROOT" -cf "$TMP/project.tar" wire scripts && mkdir "$TMP/project" &&
    tar -C "$TMP/project" -xf "$TMP/project.tar" && mkdir "$MNT/project" && tar -C "$MNT/project" -xf "$TMP/project.tar" &&
    diff -r "$TMP/project" "$MNT/project" && [ "$(stat -c %a "$MNT/project/scripts/setup")" = 644 ] &&
    [ "$(times "$TMP/project")" = "$(times "$MNT/project")" ] &&
    cp -a "$TMP/project" "$MNT/copied" && diff -r "$TMP/project" "$MNT/copied" &&
    [ "$(times "$TMP/project")" = "$(times "$MNT/copied")" ] &&
    rsync -a "$TMP/project/" "$MNT/synced/" && diff -r "$TMP/project" "$MNT/synced" &&
    git init -q "$TMP/repo" && cp -r "$TMP/project/." "$TMP/repo/" && git -C "$TMP/repo" add -A &&
    git -C "$TMP/repo" -c user.name=Test -c user.email=test@example.org commit -qm one &&
    git clone -q "$TMP/repo" "$MNT/clone" && diff -r -x .git "$TMP/project" "$MNT/clone" &&
    [ -z "$(git -C "$MNT/clone" status --porcelain)" ] && rm -r "$MNT/project" "$MNT/copied" "$MNT/synced" "$MNT/clone"
}
# -o strict refuses what the vault cannot keep, as the mount once did.
t_strict() {
  local f=$MNT/tree/f8.bin
  stack_unmount && stack_mount "$MNT" -o strict &&
    refused "Operation not permitted" chmod 755 "$f" && chmod 644 "$f" &&
    refused "Operation not permitted" chown 1234 "$f" && stack_unmount && stack_mount "$MNT" && chmod 755 "$f"
}
# A change through another session (the vaultfilter file commands) shows on
# the mount within the second the kernel keeps names and attributes (the
# names of a folder listed or made here included); the pages of a file
# changed elsewhere are read anew, even at the same size. What this mount
# writes shows to the other session within a second while the file is
# still open, and at once to another open here.
t_other_session() {
  vf() { "$RUN" "$BIN/vaultfilter.exe" "$@" >/dev/null; }
  mkdir "$MNT/sess" && echo one >"$MNT/sess/a" && [ "$(cat "$MNT/sess/a")" = one ] &&
    echo ONE >"$TMP/same-size" && vf put "$TMP/same-size" "$LETTER\\sess\\a" && sleep 1.2 &&
    [ "$(cat "$MNT/sess/a")" = ONE ] && vf mv "$LETTER\\sess\\a" "$LETTER\\sess\\b" && vf mkdir "$LETTER\\sess\\d" &&
    sleep 1.2 && [ ! -e "$MNT/sess/a" ] && [ "$(cat "$MNT/sess/b")" = ONE ] && [ -d "$MNT/sess/d" ] &&
    vf rm "$LETTER\\sess\\b" && sleep 1.2 && [ ! -e "$MNT/sess/b" ] && [ "$(ls "$MNT/sess")" = d ] &&
    vf put "$TMP/same-size" "$LETTER\\sess\\c" && sleep 1.2 && [ "$(cat "$MNT/sess/c")" = ONE ] &&
    writes_seen_open
}
writes_seen_open() {
  python3 -c "import os, time
f = os.open('$MNT/sess/open', os.O_WRONLY | os.O_CREAT); os.write(f, b'kept'); open('$TMP/kept', 'w').close()
while not os.path.exists('$TMP/seen'): time.sleep(0.05)
os.write(f, b' too'); open('$TMP/too', 'w').close(); time.sleep(1)" &
  local writer=$! status=0
  stack_wait 20 test -e "$TMP/kept" && sleep 1.2 &&
    [ "$("$RUN" "$BIN/vaultfilter.exe" cat "$LETTER\\sess\\open")" = kept ] && touch "$TMP/seen" &&
    stack_wait 20 test -e "$TMP/too" && [ "$(cat "$MNT/sess/open")" = 'kept too' ] || status=1
  touch "$TMP/seen"; wait $writer && return $status
}
# What this mount changes in a folder it just listed shows at once, by
# whatever letters the folder is named.
t_own_changes() {
  local when='2020-01-02 03:04:05'
  mkdir "$MNT/own" && echo 12345 >"$MNT/own/a" && echo x >"$MNT/own/b" && ls -l "$MNT/own" >/dev/null &&
    printf more >>"$MNT/own/a" && [ "$(stat -c %s "$MNT/own/a")" = 10 ] &&
    truncate -s 1 "$MNT/own/b" && [ "$(stat -c %s "$MNT/own/b")" = 1 ] &&
    touch -d "$when" "$MNT/own/a" && [ "$(stat -c %Y "$MNT/own/a")" = "$(date -d "$when" +%s)" ] &&
    mv "$MNT/own/a" "$MNT/own/c" && [ ! -e "$MNT/own/a" ] && [ "$(stat -c %s "$MNT/own/c")" = 10 ] &&
    [ "$(ls "$MNT/own" | tr '\n' ' ')" = "b c " ] && echo d >"$MNT/OWN/d" && [ "$(cat "$MNT/own/d")" = d ] &&
    mkdir "$MNT/own/sub" && ls -l "$MNT/own" >/dev/null && local before && before=$(stat -c %y "$MNT/own/sub") &&
    sleep 0.01 && echo e >"$MNT/own/sub/e" && [ "$(stat -c %y "$MNT/own/sub")" != "$before" ]   # a folder's time moves with what it holds
}
# vaultfs killed with a file open, its requests on the FIFOs it made: the
# simulator sees the sockets end, and the session with them.
t_vaultfs_killed() {
  local ended
  stack_mount "$MNT" && exec 9<"$MNT/tree/f8.bin" && ended=$(grep -c 'session .* ended' "$SERVE_LOG") &&
    find "/proc/$VAULTFS_PID/fd" -lname '*/vaultfs-*/re[qp]*' | grep -q . && kill -KILL "$VAULTFS_PID" &&
    exec 9<&- && fusermount3 -u -z "$MNT" && wait "$VAULTFS_PID" 2>/dev/null; VAULTFS_PID= &&
    stack_wait 10 eval '[ "$(grep -c "session .* ended" "$SERVE_LOG")" -gt "$ended" ]'
}
# A peer on FIFOs that asks for 1 MiB and goes without reading it (more
# than a FIFO holds): the simulator's thread is not left writing it forever.
t_peer_gone_mid_reply() {
  local ended
  ended=$(grep -c 'session .* ended' "$SERVE_LOG") && python3 - "$WINEPREFIX/vaultfs.endpoint" "$LETTER" <<'PY' &&
import os, socket, struct, sys, tempfile
_, _, port, secret = open(sys.argv[1]).read().split()
s = socket.create_connection(("127.0.0.1", int(port)))
def send(fd, op, handle=0, offset=0, length=0, path=b"", data=b""):
    os.write(fd, struct.pack("<IIQQIIIIII", 0x5346564D, op, handle, offset, length, 0, len(path), 0, len(data), 0) + path + data)
def read(fd, n, got=b""):
    while len(got) < n:
        got += os.read(fd, n - len(got)) or sys.exit("cut short")
    return got
def answer(fd):
    head = read(fd, 48); read(fd, struct.unpack("<I", head[36:40])[0])
    return struct.unpack("<iQ", head[4:16])
send(s.fileno(), 1, os.getpid(), path=sys.argv[2].encode(), data=secret.encode()); assert answer(s.fileno())[0] == 0
d = tempfile.mkdtemp(); os.mkfifo(d + "/req"); os.mkfifo(d + "/rep"); rep = os.open(d + "/rep", os.O_RDONLY | os.O_NONBLOCK)
send(s.fileno(), 16, path=d.encode()); assert answer(s.fileno())[0] == 0
req = os.open(d + "/req", os.O_WRONLY); os.set_blocking(rep, True); os.unlink(d + "/req"); os.unlink(d + "/rep"); os.rmdir(d)
send(req, 4, path=b"/tree/f4194309.bin"); status, handle = answer(rep); assert status == 0
send(req, 5, handle, 0, 1 << 20)
PY
    stack_wait 10 eval '[ "$(grep -c "session .* ended" "$SERVE_LOG")" -gt "$ended" ]'
}
t_agent_end() {
  stack_mount "$MNT" && cmp "$MNT/tree/f8.bin" "$SRC/f8.bin" && exec 9<"$MNT/tree/f16384.bin" &&
    kill -0 "$AGENT_PID" && "$RUN" "$BIN/vaultctl.exe" quit >/dev/null &&
    stack_wait 10 eval '! kill -0 $AGENT_PID 2>/dev/null' &&
    refused "Input/output error" cat "$MNT/tree/f8.bin" &&
    refused "Input/output error" ls "$MNT" &&
    refused "Input/output error" touch "$MNT/new" &&
    refused "Input/output error" head -c 1 <&9 && exec 9<&- &&
    stack_unmount
}

cases() {
run "cp -r of files of 0 B to 4 MiB, diff -r; read ahead 1 MiB" t_copy
run "tar into the vault and out of it" t_tar
run "rsync, then again after two changes" t_rsync
run "git init, two commits, fsck" t_git
run "fio: random writes of 1-64 KiB, verified" t_fio
run "four copies and comparisons at once" t_parallel
run "renames, moves of open files, replacements, deletions, truncation" t_renames
run "links, fifos, xattrs, long and bad names refused; modes kept; statfs, times" t_refusals
run "tar as root, cp -a, rsync -a, git clone: modes and owners taken, content the same" t_everyday_tools
run "-o strict refuses chmod and chown" t_strict
run "changes through the file commands show within a second" t_other_session
run "changes through the mount show at once in a folder just listed" t_own_changes
run "logout: new opens refused, open files readable" t_logout
run "unmount while a file is open: refused, then lazy and clean" t_unmount_open
run "the vault folder after unmount: stems and cipher text only" t_vault_folder
run "vaultfs killed: its session ends with it" t_vaultfs_killed
run "a peer gone without reading its reply: its session ends" t_peer_gone_mid_reply
run "the agent ends: EIO everywhere, the mount comes off" t_agent_end
}
run_cases "$@"

finish
