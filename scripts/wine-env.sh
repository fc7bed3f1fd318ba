# Sourced by the Wine stages (scripts/test-wine, scripts/test-windows).
#
# Wine maps the machine's own serial devices to COM names when it starts,
# /dev/ttyS0 first. Here /dev/ttyS0 is the system console, so Wine runs only in
# a private mount namespace (unshare --mount) whose /dev holds no serial device.

WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

# Replaces /dev, in this process's own mount namespace, by one made in WORK/dev:
# the few nodes Wine needs, the pseudo-terminals, and no serial device for its
# mount manager to find. Fails (mounting nothing) outside a namespace of our own.
private_dev() {
    local work=$1
    # The mounts below would replace /dev for everyone outside a mount
    # namespace of our own: go on only when this process is in a namespace
    # that provably differs from its parent's (unshare made it).
    local mine parent
    mine=$(readlink /proc/self/ns/mnt 2>/dev/null || true)
    parent=$(readlink "/proc/$PPID/ns/mnt" 2>/dev/null || true)
    if [ -z "$mine" ] || [ -z "$parent" ] || [ "$mine" = "$parent" ]; then
        echo "FAIL: not in a mount namespace of its own; nothing mounted" >&2
        return 1
    fi
    # A /dev of our own: the few nodes Wine needs, the pseudo-terminals, and no
    # serial device for its mount manager to find.
    local dev=$work/dev
    mkdir -p "$dev"
    mount -t tmpfs -o mode=755 kestran-dev "$dev"
    local n
    for n in null zero full random urandom; do
        touch "$dev/$n"
        mount --bind "/dev/$n" "$dev/$n"
    done
    mkdir "$dev/pts" "$dev/shm"
    mount --bind /dev/pts "$dev/pts"
    mount -t tmpfs -o mode=1777 kestran-shm "$dev/shm"
    ln -s pts/ptmx "$dev/ptmx"
    ln -s /proc/self/fd "$dev/fd"
    mount --rbind "$dev" /dev
    if compgen -G '/dev/tty[!0-9]*' >/dev/null || [ -e /dev/console ] || [ -e /dev/ttyS0 ]; then
        echo "FAIL: the private /dev still shows serial devices; Wine not started" >&2
        return 1
    fi

}

# A fresh Wine prefix in DIR, with none of this machine's devices mapped.
fresh_prefix() {
    local prefix=$1
    WINEPREFIX=$prefix timeout 300 "$WINE" wineboot -i </dev/null >/dev/null 2>&1
    local mapped
    mapped=$(find "$prefix/dosdevices" -maxdepth 1 -name 'com*' -printf '%f -> %l ' 2>/dev/null)
    if [ -n "$mapped" ]; then
        echo "FAIL: Wine mapped devices of this machine: $mapped" >&2
        return 1
    fi
}

# What every Wine stage reports with; STAGE names the stage in its messages.
fail() { echo "$STAGE: FAIL: $*" >&2; FAILED=1; }
pass() { echo "$STAGE: ok: $*"; }
winpath() { echo "Z:${1//\//\\}"; }

# Runs a Windows program and keeps its exit code in RC, its output in OUT and
# its stderr in WORK/stderr.
run() {
    set +e
    OUT=$(timeout 120 "$WINE" "$@" 2>"$WORK/stderr" | tr -d '\r')
    RC=${PIPESTATUS[0]}
    set -e
}

expect_rc() {
    local want=$1 what=$2
    if [ "$RC" = "$want" ]; then pass "$what (exit $RC)"
    else fail "$what: exit $RC, expected $want; stderr: $(tr -d '\r' < "$WORK/stderr" | head -5)"; fi
}

# Waits up to 10 s for a TCP port of this machine to listen.
wait_listen() {
    local port=$1 i
    for i in $(seq 200); do
        ss -Hltn "sport = :$port" 2>/dev/null | grep -q . && return 0
        sleep 0.05
    done
    echo "$STAGE: nothing listens on port $port after 10 s" >&2
    return 1
}
