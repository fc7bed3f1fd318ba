# Sourced by the Wine stages (scripts/test-wine, scripts/test-windows and the
# scripts it calls, bench/wine).
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

# ---- what the Windows stages (scripts/test-windows, scripts/test-windows-window) share

helper() { python3 scripts/windows_stage.py "$@"; }
ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }

# True when GAP (seconds, or "none") lies in [LOW, HIGH).
within() { python3 -c "import sys; sys.exit(0 if $2 <= float('$1') < $3 else 1)" 2>/dev/null; }

# Checks a list of stage names against the valid ones:
#   check_stages SCRIPT "WANTED" VALID...
# True when WANTED names at least one stage and only valid ones; otherwise says
# which names are unknown and lists the valid names, on stderr.
check_stages() {
    local script=$1 wanted=$2 name bad=()
    shift 2
    local valid=" $* "
    local names
    read -r -a names <<<"$wanted"
    if [ ${#names[@]} -eq 0 ]; then
        echo "$script: no stage named; the stages are: $*" >&2
        return 1
    fi
    for name in "${names[@]}"; do
        [[ $valid == *" $name "* ]] || bad+=("$name")
    done
    if [ ${#bad[@]} -gt 0 ]; then
        echo "$script: no such stage: ${bad[*]}; the stages are: $*" >&2
        return 1
    fi
}

# Starts the counter simulator on a pty linked as LINK; its frames go, time
# stamped, to LOG. Extra arguments are the simulator's options. Its pid joins
# PIDS.
start_sim() {
    local link=$1 log=$2; shift 2
    # ($! would name the time stamper: the simulator writes its own pid down.)
    (echo "$BASHPID" > "$link.pid"; exec build/sim/kestran-counter-sim --link "$link" --verbose "$@") \
        > /dev/null 2> >(helper stamp > "$log") &
    local i
    for i in $(seq 100); do
        if [ -e "$link" ] && [ -s "$link.pid" ]; then PIDS+=("$(cat "$link.pid")"); return 0; fi
        sleep 0.05
    done
    echo "$STAGE: the simulator did not start" >&2
    return 1
}

# Inside the private mount namespace: the private /dev, a display of its own
# (Xvfb), the prefix WORK/prefix-line with com3 linked to the simulator's
# devices 0 to 6 (paced, its frames in WORK/sim3.log), and ZIPDIR and CTL for
# the unpacked zip in WORK/zip. FAILED, PIDS and the clean-up on exit are set.
stage_env_up() {
    WORK=$1
    private_dev "$WORK" || exit 1
    FAILED=0 PIDS=()
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    cleanup() {
        local p
        for p in "$WORK"/prefix-*; do
            if [ -d "$p" ]; then WINEPREFIX=$p "$WINESERVER" -k 2>/dev/null || true; fi
        done
        for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
        return 0
    }
    trap cleanup EXIT

    # A display of its own: Xvfb picks a free number and says which.
    Xvfb -displayfd 5 -screen 0 1280x1400x24 -nolisten tcp 5>"$WORK/display" >/dev/null 2>&1 &
    PIDS+=($!)
    local i
    for i in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.05; done
    export DISPLAY=:$(head -1 "$WORK/display")

    local t0
    t0=$(date +%s%N)
    export WINEPREFIX=$WORK/prefix-line
    fresh_prefix "$WINEPREFIX" || exit 1
    echo "$STAGE: Wine prefix prepared in $(ms_since "$t0") ms"
    start_sim "$WORK/line3" "$WORK/sim3.log" --devices 0,1,2,3,4,5,6 --pace || exit 1
    ln -sfn "$WORK/line3" "$WINEPREFIX/dosdevices/com3"
    ZIPDIR=$(ls -d "$WORK"/zip/kestran-setup-*-windows-x64)
    CTL=$ZIPDIR/kestran-ctl.exe
}

# Runs stage_NAME for each NAME, timed; true when none failed.
run_stages() {
    local stage t0
    for stage in "$@"; do
        echo "== $stage"
        t0=$(date +%s%N)
        "stage_$stage"
        echo "$STAGE: $stage took $(ms_since "$t0") ms"
    done
    [ "$FAILED" = 0 ]
}
