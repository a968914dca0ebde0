#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The real program against real faults: a disk whose data writes fail, write
# errors (a file-size limit, a full disk), an unprivileged user's odd folders,
# a bind-mounted output, errors injected into the output's flushes and
# closes, and end signals during a run. Every case checks the exit status
# and what is on disk, and a run stopped by a fault the line on stderr that
# names the file and the system's reason. Needs root (else skipped, exit 77); a case whose tool
# or kernel feature is missing says "skipped: ..." and the rest go on.
set -euo pipefail
. "$(dirname "$0")/common.bash"

if [ "$(id -u)" != 0 ]; then
    echo "faults: skipped: needs root"
    exit 77
fi

# Leak checking stops the world with ptrace, which strace holds.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
# The system's error texts in English, whatever the desktop's language.
export LC_ALL=C.UTF-8
key='abcdefghijkA1!'
CASE=
OUTCOME=
TRACER=

# What the cases set up is undone last first by teardown, after each section
# and on every way out: undo_later COMMAND... pushes one step.
UNDO=()
undo_later() { UNDO+=("$(printf '%q ' "$@")"); }
teardown() {
    stop_app
    local i
    for ((i = ${#UNDO[@]} - 1; i >= 0; i--)); do eval "${UNDO[i]}" >/dev/null 2>&1 || true; done
    UNDO=()
}
trap 'teardown; rm -rf "$E2E_TMP"' EXIT

skipped() { echo "faults: skipped: $*"; }
unmount() { umount "$1" 2>/dev/null || umount -l "$1"; }

# mount_on TARGET MOUNT-ARGS...: mounts, and unmounts in teardown.
mount_on() {
    local target=$1
    shift
    mount "$@" "$target" >/dev/null 2>&1 || return 1
    undo_later unmount "$target"
}

# mount_fat DIR SIZE: a FAT image of SIZE through FUSE, as a desktop mounts a stick.
mount_fat() {
    command -v fusefat >/dev/null && command -v mkfs.vfat >/dev/null || return 1
    mkdir -p "$1"
    truncate -s "$2" "$1.img"
    mkfs.vfat "$1.img" >/dev/null
    fusefat -o rw+ "$1.img" "$1" >/dev/null 2>&1 || return 1
    undo_later unmount "$1"
}

# mount_vfat DIR SIZE: a FAT image of SIZE through the kernel's own vfat.
mount_vfat() {
    command -v mkfs.vfat >/dev/null || return 1
    mkdir -p "$1"
    truncate -s "$2" "$1.img"
    mkfs.vfat "$1.img" >/dev/null
    mount_on "$1" -t vfat -o loop "$1.img"
}

# crypt_files FILE... [-- RUNNER...]: starts the program with the files in
# its list (under RUNNER, which must exec it, when given) and types the key;
# keypad Enter is left to the caller.
crypt_files() {
    LOG_MARK=$(stat -c %s "$E2E_TMP/program.log" 2>/dev/null || echo 0)
    local files=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do files+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    start_app "$E2E_TMP" "$@" "$TENVARIX_BIN" "${files[@]}"
    click 250 91
    xdotool type --delay 2 "$key"
}

# expect_told NAME TEXT: since crypt_files started the program, it told on
# stderr why the run stopped: the file's name and the system's error text.
expect_told() {
    local line="tenvarix-crypto: $1: $2"
    grep -qxF -- "$line" < <(tail -c +$((LOG_MARK + 1)) "$E2E_TMP/program.log") ||
        fail "$CASE: no line '$line' on stderr"
}
# errno_text NAME: the system's text for an errno name (EIO: Input/output error).
errno_text() {
    /usr/bin/python3 -c 'import errno, os, sys; print(os.strerror(getattr(errno, sys.argv[1])))' "$1"
}

# The message line (10,525 in the window at 100,100; 480 wide) shows red
# text. The screen, not the window: import waits for a window that has gone.
message_shown() {
    local red
    red=$(timeout 10 /usr/bin/import -window root -crop 480x20+110+622 +repage -depth 8 txt:- 2>/dev/null |
          awk -F'[(),]' 'NR > 1 && $3 > 150 && $4 < 80 && $5 < 80 { n++ } END { print n + 0 }')
    [ "${red:-0}" -gt 10 ]
}
run_over() { ! kill -0 "$APP_PID" 2>/dev/null || message_shown; }

# finish: waits until the run ends, by closing the window itself or with a
# message (then Cancel closes the window); sets OUTCOME to "closed" or
# "message", and APP_STATUS.
finish() {
    wait_for 120 run_over || fail "$CASE: the run did not end"
    OUTCOME=closed
    if kill -0 "$APP_PID" 2>/dev/null; then
        OUTCOME=message
        click 120 509
    fi
    wait_exit 30
    [ "$APP_STATUS" != running ] || fail "$CASE: Cancel did not close the window"
}
expect_done() {
    finish
    [ "$OUTCOME $APP_STATUS" = "closed 0" ] ||
        fail "$CASE: ended by '$OUTCOME' with status $APP_STATUS, not complete (closed, 0)"
}
expect_stopped() {
    finish
    [ "$OUTCOME $APP_STATUS" = "message 1" ] ||
        fail "$CASE: ended by '$OUTCOME' with status $APP_STATUS, not stopped with a message (message, 1)"
}

# only_files DIR NAME...: DIR holds exactly these names (nothing hidden left).
only_files() {
    local dir=$1 got want
    shift
    got=$(ls -A "$dir" | sort | tr '\n' ' ')
    want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
    [ "$got" = "$want" ] || fail "$CASE: $dir holds '$got', not '$want'"
}
# An earlier output: put_earlier FILE writes one, expect_earlier FILE checks
# that it is still there byte for byte.
printf 'earlier\n' >"$E2E_TMP/earlier"
put_earlier() { cp "$E2E_TMP/earlier" "$1"; }
expect_earlier() { cmp -s "$E2E_TMP/earlier" "$1" || fail "$CASE: the earlier output $1 changed"; }

# trace_program TRACE STRACE-ARGS...: strace on every thread of the running
# program, output in TRACE; returns once all of its threads are traced.
trace_program() {
    local trace=$1
    shift
    strace -f -qq -y -o "$trace" "$@" -p "$APP_PID" 2>>"$E2E_TMP/strace.log" &
    TRACER=$!
    undo_later kill "$TRACER"
    wait_for 20 all_traced || fail "$CASE: strace did not attach: $(cat "$E2E_TMP/strace.log")"
}
all_traced() {
    local status
    for status in /proc/"$APP_PID"/task/*/status; do
        grep -q '^TracerPid:[[:space:]]*[1-9]' "$status" || return 1
    done
}
end_trace() { wait "$TRACER" 2>/dev/null || true; }

chmod 711 "$E2E_TMP" # the unprivileged user reaches its folders in here by name

# --- A disk whose data writes fail while its metadata writes succeed ---------
# An ext4 on a loop device over a sparse image on a tmpfs that is all but
# full: writes of new data blocks fail in the kernel's writeback, as on a
# thin-provisioned disk that has run full. The run stops; after a remount the
# new name is absent and the earlier output holds its bytes.
failing_disk() {
    local thin="$E2E_TMP/thin" disk="$E2E_TMP/disk" dev avail
    mkdir "$thin" "$disk"
    mount_on "$thin" -t tmpfs -o size=96m tmpfs || { skipped "failing disk: no tmpfs"; return; }
    truncate -s 256M "$thin/img"
    dev=$(losetup --find --show "$thin/img" 2>/dev/null) || { skipped "failing disk: no loop device"; return; }
    undo_later losetup -d "$dev"
    # Journal, bitmaps and inode tables written out now, so that only data
    # blocks fail.
    mkfs.ext4 -q -F -b 4096 -O ^metadata_csum,^uninit_bg -E lazy_itable_init=0,lazy_journal_init=0,nodiscard "$dev"
    mount_on "$disk" "$dev" || fail "failing disk: ext4 did not mount"
    # Inodes (empty files, no data blocks to free) and directory blocks used
    # once, so that the output's inode and name are written where the disk
    # has room.
    for i in $(seq 1 300); do : >"$disk/f$i"; done
    sync
    rm "$disk"/f*
    head -c 8M /dev/urandom >"$disk/new.bin"
    head -c 8M /dev/urandom >"$disk/old.bin"
    put_earlier "$disk/old.bintenvarixcrypto"
    # An unmount writes every metadata block to its place, out of the journal.
    umount "$disk"
    mount "$dev" "$disk"
    avail=$(df -B1 --output=avail "$thin" | tail -n 1)
    head -c $((avail - 1024 * 1024)) /dev/zero >"$thin/fill"

    CASE="failing disk, new output"
    crypt_files "$disk/new.bin"
    xdotool key KP_Enter
    expect_stopped
    CASE="failing disk, earlier output"
    crypt_files "$disk/old.bin"
    xdotool key KP_Enter
    expect_stopped

    CASE="failing disk, after a remount"
    umount "$disk"
    mount "$dev" "$disk" || fail "$CASE: ext4 did not mount again"
    only_files "$disk" lost+found new.bin old.bin old.bintenvarixcrypto
    expect_earlier "$disk/old.bintenvarixcrypto"
    teardown
}

# --- Write errors: a file-size limit (SIGXFSZ, EFBIG) and a full disk --------
# The limit on a tmpfs and on FAT (hidden temporary files): the run stops
# with the message, no output and nothing hidden is left.
file_size_limit() {
    local dir=$1
    head -c 2M /dev/urandom >"$dir/limit.bin"
    CASE="file-size limit on $dir"
    crypt_files "$dir/limit.bin" -- prlimit --fsize=1048576
    xdotool key KP_Enter
    expect_stopped
    expect_told "$dir/limit.bintenvarixcrypto" "File too large"
    only_files "$dir" limit.bin
}
# full_disk NAME OPTIONS: a tmpfs mounted with OPTIONS, 2 MiB left for a
# 6 MiB output that replaces an earlier one: the run stops, the earlier output
# stays as it was.
full_disk() {
    local dir="$E2E_TMP/$1"
    CASE="$1 disk"
    mkdir "$dir"
    mount_on "$dir" -t tmpfs -o "$2" tmpfs || { skipped "$CASE: no tmpfs"; return; }
    head -c 6M /dev/urandom >"$dir/in.bin"
    put_earlier "$dir/in.bintenvarixcrypto"
    head -c 4M /dev/zero >"$dir/fill"
    crypt_files "$dir/in.bin"
    xdotool key KP_Enter
    expect_stopped
    expect_told "$dir/in.bintenvarixcrypto" "No space left on device"
    only_files "$dir" in.bin in.bintenvarixcrypto fill
    expect_earlier "$dir/in.bintenvarixcrypto"
}
# read_only_disk: a tmpfs remounted read-only, a new output and one that
# replaces an earlier output: the run stops, nothing changes.
read_only_disk() {
    local dir="$E2E_TMP/read-only" name
    mkdir "$dir"
    mount_on "$dir" -t tmpfs -o size=4m tmpfs || { skipped "read-only disk: no tmpfs"; return; }
    head -c 1M /dev/urandom >"$dir/new.bin"
    head -c 1M /dev/urandom >"$dir/old.bin"
    put_earlier "$dir/old.bintenvarixcrypto"
    mount -o remount,ro "$dir" || { skipped "read-only disk: no read-only remount"; return; }
    for name in new old; do
        CASE="read-only disk, $name output"
        crypt_files "$dir/$name.bin"
        xdotool key KP_Enter
        expect_stopped
        expect_told "$dir/$name.bintenvarixcrypto" "Read-only file system"
    done
    only_files "$dir" new.bin old.bin old.bintenvarixcrypto
    expect_earlier "$dir/old.bintenvarixcrypto"
}
write_errors() {
    mkdir "$E2E_TMP/tmpfs"
    if mount_on "$E2E_TMP/tmpfs" -t tmpfs -o size=12m tmpfs; then
        file_size_limit "$E2E_TMP/tmpfs"
    else
        skipped "file-size limit on tmpfs: no tmpfs"
    fi
    if mount_fat "$E2E_TMP/fat" 32M; then
        file_size_limit "$E2E_TMP/fat"
    else
        skipped "file-size limit on FAT: no fusefat"
    fi
    full_disk full size=12m
    # No inode left for a new file either: nothing for a safe replacement.
    full_disk inode-less size=12m,nr_inodes=4
    read_only_disk
    teardown
}

# flushed_after_naming TRACE FOLDER NAME: after the call that gave NAME, the
# trace shows a successful syncfs, or fsync of FOLDER.
flushed_after_naming() {
    /usr/bin/python3 - "$@" <<'PY'
import re, sys
lines = open(sys.argv[1]).read().splitlines()
folder, name = sys.argv[2], sys.argv[3]
named = next(i for i, l in enumerate(lines)
             if re.search(r'(link|rename)', l) and f'"{name}"' in l and l.endswith('= 0'))
sys.exit(0 if any(re.search(r'syncfs(\(| resumed).*= 0$', l) or
                  re.search(r'fsync\(\d+<%s>\) += 0$' % re.escape(folder), l)
                  for l in lines[named + 1:]) else 1)
PY
}

# --- An unprivileged user's folders ------------------------------------------
# (a) A folder the user may write but not read (0333): it can't be opened for
# its flush, so the file system is flushed once the output has its name.
# (b) The user's own read-only folder holding the user's own earlier output:
# written in place, as `echo x > out` would.
# (c) Another's file the user may not read, and another's folder the user
# may not write: the run stops, and says why.
user_folders() {
    command -v setpriv >/dev/null || { skipped "user folders: no setpriv"; return; }
    id tvxtest >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin tvxtest ||
        { skipped "user folders: no user tvxtest"; return; }
    local home="$E2E_TMP/home" wo="$E2E_TMP/writeonly" ro="$E2E_TMP/readonly" inode
    mkdir -p "$home"/{config,cache,data,runtime} "$wo" "$ro"
    chmod 700 "$home/runtime"
    local as_user=(setpriv --reuid=tvxtest --regid=tvxtest --clear-groups
                   env HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache"
                   XDG_DATA_HOME="$home/data" XDG_RUNTIME_DIR="$home/runtime")
    head -c 1M /dev/urandom >"$wo/in.bin"
    head -c 1M /dev/urandom >"$ro/in.bin"
    put_earlier "$ro/in.bintenvarixcrypto"
    chown -R tvxtest: "$home" "$wo" "$ro"
    chmod 0333 "$wo"
    chmod 0555 "$ro"
    "${as_user[@]}" xdotool getdisplaygeometry >/dev/null 2>&1 ||
        { skipped "user folders: tvxtest cannot reach the display"; return; }
    # The user runs a copy of the program, its pictures in the working folder:
    # the build tree may lie where only its owner enters (/root).
    local program="$E2E_TMP/program/${TENVARIX_BIN##*/}"
    install -d -m 0755 "$E2E_TMP/program" "$E2E_TMP/__png's"
    install -m 0755 "$TENVARIX_BIN" "$program"
    install -m 0644 "$TENVARIX_SOURCE/__png's/"*.png "$E2E_TMP/__png's/"
    "${as_user[@]}" "$program" --version >/dev/null 2>&1 ||
        { skipped "user folders: tvxtest cannot run a copy of the program in $E2E_TMP/program"; return; }
    local TENVARIX_BIN=$program

    CASE="write-only folder"
    if command -v strace >/dev/null; then
        crypt_files "$wo/in.bin" -- "${as_user[@]}"
        trace_program "$E2E_TMP/wo.trace" -e trace=fsync,fdatasync,syncfs,linkat,renameat,renameat2
        xdotool key KP_Enter
        expect_done
        end_trace
        expect_xor "$wo/in.bin" "$wo/in.bintenvarixcrypto" "$key"
        flushed_after_naming "$E2E_TMP/wo.trace" "$wo" "in.bintenvarixcrypto" ||
            fail "$CASE: no flush after the name was given: $(cat "$E2E_TMP/wo.trace")"
    else
        skipped "$CASE: no strace"
    fi

    CASE="read-only folder"
    inode=$(stat -c %i "$ro/in.bintenvarixcrypto")
    crypt_files "$ro/in.bin" -- "${as_user[@]}"
    xdotool key KP_Enter
    expect_done
    expect_xor "$ro/in.bin" "$ro/in.bintenvarixcrypto" "$key"
    [ "$(stat -c %i "$ro/in.bintenvarixcrypto")" = "$inode" ] || fail "$CASE: not written in place"
    only_files "$ro" in.bin in.bintenvarixcrypto

    local others="$E2E_TMP/others"
    mkdir -m 0755 "$others"
    head -c 1M /dev/urandom >"$others/secret.bin"
    chmod 0600 "$others/secret.bin"
    head -c 1M /dev/urandom >"$others/open.bin"
    CASE="unreadable input"
    crypt_files "$others/secret.bin" -- "${as_user[@]}"
    xdotool key KP_Enter
    expect_stopped
    expect_told "$others/secret.bin" "Permission denied"
    CASE="folder not writable"
    crypt_files "$others/open.bin" -- "${as_user[@]}"
    xdotool key KP_Enter
    expect_stopped
    expect_told "$others/open.bintenvarixcrypto" "Permission denied"
    only_files "$others" open.bin secret.bin
}

# --- A bind-mounted file as the output name -----------------------------------
# Written in place: the mounted file takes the new bytes, the one under it stays.
bind_mounted_output() {
    local dir="$E2E_TMP/bind" src="$E2E_TMP/bind-source"
    mkdir "$dir"
    head -c 1M /dev/urandom >"$dir/in.bin"
    printf 'under the mount\n' >"$dir/in.bintenvarixcrypto"
    printf 'mounted\n' >"$src"
    CASE="bind-mounted output"
    mount_on "$dir/in.bintenvarixcrypto" --bind "$src" || { skipped "$CASE: no bind mounts"; return; }
    crypt_files "$dir/in.bin"
    xdotool key KP_Enter
    expect_done
    expect_xor "$dir/in.bin" "$dir/in.bintenvarixcrypto" "$key"
    teardown
    expect_xor "$dir/in.bin" "$src" "$key"
    [ "$(cat "$dir/in.bintenvarixcrypto")" = "under the mount" ] || fail "$CASE: the file under the mount changed"
}

# --- Errors injected into the output's system calls ----------------------------
# Each row: the call (folder-fsync: fsync of the output's folder only), the
# errno, an earlier output or none, and what the name must hold afterwards:
# "none" (no output), "earlier" (unchanged; where the folder's flush fails
# after the replacement took the name, the earlier file gets it back), or
# "in-place" (attributes that cannot be read: the complete run writes the
# earlier file itself, its ACL kept). Every other run stops with the message
# and tells the injected error on stderr.
# A fifth word "vfat" puts the folder on FAT through the kernel's own vfat
# where it has one. A call the program never makes is skipped.
# Writes are not injected (the sanitizers' own writes would fail too): the
# full disk above gives a real ENOSPC.
injected_errors() {
    command -v strace >/dev/null || { skipped "injected errors: no strace"; return; }
    local rows=(
        "fsync EIO earlier earlier"
        "fdatasync EIO earlier earlier"
        "sync_file_range EIO earlier earlier"
        "sync_file_range ENOSPC none none"
        "close EIO none none"
        "folder-fsync EIO none none"
        "folder-fsync EIO earlier earlier"
        "flistxattr EIO earlier in-place"
        # The earlier file's owner not given to the new one: not overwritten instead.
        "fchown EIO earlier earlier vfat"
    )
    local row call errno before after on dir n=0 filter
    for row in "${rows[@]}"; do
        read -r call errno before after on <<<"$row"
        n=$((n + 1))
        CASE="injected $call $errno, $before before"
        dir="$E2E_TMP/inject$n"
        mkdir "$dir"
        [ "$on" != vfat ] || mount_vfat "$dir" 32M ||
            echo "faults: $CASE: no vfat, on $(stat -f -c %T "$dir") instead"
        head -c 8M /dev/urandom >"$dir/in.bin"
        [ "$before" = none ] || put_earlier "$dir/in.bintenvarixcrypto"
        # Attributes that cannot be read are kept by writing in place, never dropped.
        [ "$after" = in-place ] && setfacl -m u:nobody:r "$dir/in.bintenvarixcrypto"
        local inode
        inode=$(stat -c %i "$dir/in.bintenvarixcrypto" 2>/dev/null || true)
        filter=()
        if [ "$call" = folder-fsync ]; then call=fsync filter=(-P "$dir"); fi
        crypt_files "$dir/in.bin"
        trace_program "$E2E_TMP/inject$n.trace" -e trace="$call" "${filter[@]}" -e inject="$call:error=$errno"
        xdotool key KP_Enter
        finish
        end_trace
        if ! grep -q INJECTED "$E2E_TMP/inject$n.trace"; then
            skipped "$CASE: the program makes no $call"
            continue
        fi
        if [ "$after" = in-place ]; then
            [ "$OUTCOME $APP_STATUS" = "closed 0" ] ||
                fail "$CASE: ended by '$OUTCOME' with status $APP_STATUS, not complete (closed, 0)"
            expect_xor "$dir/in.bin" "$dir/in.bintenvarixcrypto" "$key"
            [ "$(stat -c %i "$dir/in.bintenvarixcrypto")" = "$inode" ] ||
                fail "$CASE: replaced, not written in place"
            grep -q '^user:nobody:r--' < <(getfacl -p "$dir/in.bintenvarixcrypto" 2>/dev/null) ||
                fail "$CASE: the ACL was dropped"
            continue
        fi
        [ "$OUTCOME $APP_STATUS" = "message 1" ] ||
            fail "$CASE: ended by '$OUTCOME' with status $APP_STATUS, not stopped with a message (message, 1)"
        expect_told "$dir/in.bintenvarixcrypto" "$(errno_text "$errno")"
        case $after in
            none) only_files "$dir" in.bin ;;
            earlier) only_files "$dir" in.bin in.bintenvarixcrypto
                     expect_earlier "$dir/in.bintenvarixcrypto" ;;
        esac
    done
}

# --- How the program ends: the exit status tells the last run's outcome --------
# A refused key, then Cancel: 1. During a run on FAT (slow, with a hidden
# temporary file to see it under way): SIGTERM, SIGINT and SIGHUP end it with
# 128 + the signal's number, Cancel with 1; the hidden file goes and the
# earlier output stays.
end_of_run() {
    CASE="refused key, then Cancel"
    start_app "$E2E_TMP"
    click 250 91
    xdotool type --delay 2 "short key"
    xdotool key KP_Enter
    expect_stopped

    local fat="$E2E_TMP/slowfat" how want
    mount_fat "$fat" 96M || { skipped "end signals: no fusefat"; return; }
    head -c 24M /dev/urandom >"$fat/big"
    put_earlier "$fat/bigtenvarixcrypto"
    for how in TERM INT HUP Cancel; do
        CASE="$how during a run"
        crypt_files "$fat/big"
        xdotool key KP_Enter
        wait_for 30 compgen -G "$fat/.tvx*" >/dev/null || fail "$CASE: no temporary file under way"
        if [ "$how" = Cancel ]; then
            click 120 509
            want=1
        else
            kill -s "$how" "$APP_PID"
            want=$((128 + $(kill -l "$how")))
        fi
        wait_exit 60
        [ "$APP_STATUS" = "$want" ] || fail "$CASE: exit status $APP_STATUS, not $want"
        only_files "$fat" big bigtenvarixcrypto
        expect_earlier "$fat/bigtenvarixcrypto"
    done
    teardown
}

# FAULTS_SECTIONS picks some of them, for a run by hand.
for section in ${FAULTS_SECTIONS:-failing_disk write_errors user_folders bind_mounted_output
                                    injected_errors end_of_run}; do
    "$section"
done
echo "faults: ok"
