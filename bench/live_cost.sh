#!/usr/bin/env bash
# What `gvspfilter live` costs per complete frame, against Aravis's arv-camera-test-0.8 receiving the
# same stream. Runs on Linux as root, between two network namespaces and a veth pair it makes itself.
#
#   sudo bash bench/live_cost.sh [seconds per run, default 20] [rounds, default 3] [gvspfilter binary]
#
# The binary may also come from GVSPFILTER; the default is the release build's, built when missing.
# FPS_512 and FPS_2048 set the rates instead of measuring the camera's highest one first.
set -euo pipefail

usage() {
    echo "live_cost: $*" >&2
    echo "usage: sudo bash bench/live_cost.sh [seconds per run] [rounds] [gvspfilter binary]" >&2
    exit 2
}
setup_failed() {
    echo "live_cost: $*" >&2
    exit 1
}

run_seconds=${1:-20}
rounds=${2:-3}
[[ $run_seconds =~ ^[1-9][0-9]*$ ]] || usage "seconds per run must be a whole number from 1, not '$run_seconds'"
[[ $rounds =~ ^[1-9][0-9]*$ ]] || usage "rounds must be a whole number from 1, not '$rounds'"
for rate in "${FPS_512:-1}" "${FPS_2048:-1}"; do
    [[ $rate =~ ^[0-9]+(\.[0-9]+)?$ ]] || usage "FPS_512 and FPS_2048 take frames per second, not '$rate'"
done
(( EUID == 0 )) || setup_failed "needs root, to make network namespaces and a veth pair (sudo bash $0)"
for tool in ip ss jq awk timeout; do
    command -v "$tool" >/dev/null || setup_failed "needs '$tool', which is not installed (Debian packages iproute2, jq)"
done

repo=$(cd "$(dirname "$0")/.." && pwd)
gvspfilter=${3:-${GVSPFILTER:-}}
if [[ -z $gvspfilter ]]; then
    gvspfilter=$repo/build/release/tools/gvspfilter
    if [[ ! -x $gvspfilter ]]; then
        echo "live_cost: building the release preset's gvspfilter"
        (cd "$repo" && cmake --preset release >/dev/null && cmake --build --preset release --target gvspfilter) ||
            setup_failed "the release build of gvspfilter failed"
    fi
fi
[[ -x $gvspfilter ]] || setup_failed "no gvspfilter binary at '$gvspfilter'"
gvspfilter=$(realpath "$gvspfilter")

reference=yes
if ! command -v arv-camera-test-0.8 >/dev/null; then
    reference=no
    echo "live_cost: arv-camera-test-0.8 is not installed (Debian package aravis-tools): gvspfilter live runs alone, no ratio"
fi
fake_camera=yes
if ! command -v arv-fake-gv-camera-0.8 >/dev/null; then
    fake_camera=no
    echo "live_cost: arv-fake-gv-camera-0.8 is not installed (Debian package aravis-tools): gvspfilter camera is the only source"
fi

# ---- Two namespaces and a veth pair, removed whatever happens --------------------------------------
tag=lc$$
camera_ns=${tag}cam host_ns=${tag}host camera_veth=${tag}c host_veth=${tag}h
camera_ip=192.0.2.10 host_ip=192.0.2.2
work=$(mktemp -d)
background_pid=

cleanup() {
    if [[ -n $background_pid ]]; then
        kill -TERM "$background_pid" 2>/dev/null || true
        wait "$background_pid" 2>/dev/null || true
    fi
    ip netns del "$camera_ns" 2>/dev/null || true   # takes the veth pair with it
    ip netns del "$host_ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if ! { ip netns add "$camera_ns" && ip netns add "$host_ns" &&
    ip link add "$camera_veth" netns "$camera_ns" type veth peer name "$host_veth" netns "$host_ns" &&
    ip -n "$camera_ns" addr add "$camera_ip/24" dev "$camera_veth" &&
    ip -n "$host_ns" addr add "$host_ip/24" dev "$host_veth" &&
    ip -n "$camera_ns" link set "$camera_veth" up && ip -n "$host_ns" link set "$host_veth" up; }; then
    setup_failed "could not make the namespaces $camera_ns and $host_ns and the veth pair between them"
fi

# ---- Sources -----------------------------------------------------------------------------------------
# start_source KIND WIDTH HEIGHT FPS: the camera in its namespace, in the background, once GVCP listens.
start_source() {
    local kind=$1 width=$2 height=$3 fps=$4
    if [[ $kind == camera ]]; then
        ip netns exec "$camera_ns" "$gvspfilter" camera --address "$camera_ip" --width "$width" --height "$height" \
            --pixel-format mono8 --fps "$fps" --json "$work/source.json" >"$work/source.out" 2>&1 &
    else
        ip netns exec "$camera_ns" arv-fake-gv-camera-0.8 -i "$camera_veth" >"$work/source.out" 2>&1 &
    fi
    background_pid=$!
    for _ in $(seq 50); do
        if [[ -n $(ip netns exec "$camera_ns" ss -Hlun "sport = :3956") ]]; then
            return 0
        fi
        kill -0 "$background_pid" 2>/dev/null || break
        sleep 0.1
    done
    setup_failed "the $kind source did not start: $(tail -n 1 "$work/source.out")"
}

stop_background() {
    kill -TERM "$background_pid" 2>/dev/null || true
    wait "$background_pid" 2>/dev/null || true
    background_pid=
}

# ---- Receivers ---------------------------------------------------------------------------------------
# measure NAME COMMAND...: runs COMMAND in the host namespace (stopped if it outlasts its seconds by
# half a minute) and leaves its output in NAME.out, its exit status in NAME.status, its user+sys CPU
# in NAME.cpu_ms (getrusage of the subshell's children, as bash's `times` prints it; the receiver is
# the only one) and its wall time in NAME.wall_s.
measure() {
    local name=$1 start=$EPOCHREALTIME
    shift
    (
        status=0
        timeout --foreground -k 10 $((run_seconds + 30)) ip netns exec "$host_ns" "$@" >"$name.out" 2>&1 || status=$?
        echo "$status" >"$name.status"
        times >"$name.times"   # not in a pipeline: that would be another subshell, without the children
    )
    awk 'NR == 2 { split($0, t, /[ms ]+/); printf "%.0f\n", (t[1] * 60 + t[2] + t[3] * 60 + t[4]) * 1000 }' "$name.times" >"$name.cpu_ms"
    awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f\n", b - a }' >"$name.wall_s"
}

# Every receiver asks the camera for the same stream: size, Mono8, 1500-byte packets (IP and UDP
# headers counted), the rate, and an exposure short enough not to limit the rate.
EXPOSURE_US=100
PACKET_SIZE=1500

run_live() {   # run_live NAME WIDTH HEIGHT FPS [SECONDS]
    measure "$1" "$gvspfilter" live --interface "$host_veth" --camera "$camera_ip" --seconds "${5:-$run_seconds}" \
        --width "$2" --height "$3" --pixel-format Mono8 --fps "$4" --exposure "$EXPOSURE_US" \
        --packet-size "$PACKET_SIZE" --json "$1.json"
}

run_aravis() {   # run_aravis NAME WIDTH HEIGHT FPS
    measure "$1" arv-camera-test-0.8 -n "$camera_ip" -w "$2" -h "$3" -f "$4" -e "$EXPOSURE_US" \
        -i "$PACKET_SIZE" --features PixelFormat=Mono8 --duration "$run_seconds"
}

# "complete lost drops" of a run: frames complete, frames lost (handed over incomplete, given up or
# skipped; Aravis: failed, missing, underrun or aborted buffers) and every non-zero drop counter.
figures() {
    local name=$1 receiver=$2
    if [[ $receiver == live ]]; then
        [[ -s $name.json ]] || return 1
        jq -r '[.frames_complete,
                 .block_counts.incomplete + .block_counts.given_up + .block_counts.skipped,
                 ([(.lost_before_driver | to_entries[] | "\(.key)=\(.value)"),
                   (.counters | to_entries[] | select(.value != 0 and (.key | test("Missing|NoFree|Overwritten|Incomplete|Limit|Skipped|ErrorStatus"))) | "\(.key)=\(.value)")]
                  | if length == 0 then "none" else join(",") end)] | @tsv' "$name.json"
    else
        awk -F' *= *' '
            /^n_completed_buffers/ { complete = $2; seen = 1 }
            /^n_(failures|missing_frames|underruns|aborted) / { lost += $2 }
            /^n_(failures|underruns|timeouts|aborted|missing_frames|size_mismatch_errors|missing_packets|error_packets|ignored_packets|resend_ratio_reached) / && $2 != 0 {
                drops = drops (drops == "" ? "" : ",") substr($1, 3) "=" $2 }
            END { if (!seen) exit 1; printf "%d\t%d\t%s\n", complete, lost, drops == "" ? "none" : drops }' "$name.out"
    fi
}

results=$work/results.tsv
: >"$results"
failed_runs=0

# one_run RECEIVER SOURCE WIDTH HEIGHT FPS ROUND: runs a receiver once, prints its line, records it.
one_run() {
    local receiver=$1 source=$2 width=$3 height=$4 fps=$5 round=$6
    local name=$work/$receiver-$source-${width}x$height-$round line
    "run_$receiver" "$name" "$width" "$height" "$fps"
    local cpu_ms wall_s status
    cpu_ms=$(<"$name.cpu_ms") wall_s=$(<"$name.wall_s") status=$(<"$name.status")
    if ! line=$(figures "$name" "$receiver"); then
        failed_runs=$((failed_runs + 1))
        printf '  round %d  %-6s  no figures (exit status %s): %s\n' "$round" "$receiver" "$status" \
            "$(grep -v '^\s*$' "$name.out" | tail -n 1)"
        return 0
    fi
    local complete lost drops
    IFS=$'\t' read -r complete lost drops <<<"$line"
    awk -v r="$receiver" -v s="$source" -v size="${width}x$height" -v fps="$fps" -v round="$round" \
        -v cpu="$cpu_ms" -v wall="$wall_s" -v streamed="$run_seconds" -v c="$complete" -v lost="$lost" -v drops="$drops" -v st="$status" 'BEGIN {
        per = c > 0 ? sprintf("%.3f", cpu / c) : "-"
        printf "  round %d  %-6s  %5d complete (%7.1f frames/s), CPU %6d ms in %6.2f s, %s ms per frame, %d lost, exit %s; drops: %s\n",
            round, r, c, c / streamed, cpu, wall, per, lost, st, drops
        printf "%s\t%s\t%s\t%s\t%s\t%.1f\t%s\t%d\n", r, s, size, fps, per, c / streamed, cpu, lost >> "'"$results"'"
    }'
    if [[ $receiver == aravis ]]; then   # its messages beyond the settings, rates and counters, as "Control lost"
        local said
        said=$(grep -v -e '=' -e 'frames\?/s' -e '^Looking for camera' "$name.out" | head -n 3 | paste -sd ';' -) || true
        [[ -z $said ]] || echo "           arv-camera-test-0.8 said: $said"
    fi
}

# bench SOURCE WIDTH HEIGHT FPS: the source streams, the receivers take turns for the rounds.
bench() {
    local source=$1 width=$2 height=$3 fps=$4
    echo
    echo "$source ${width}x$height Mono8 at $fps frames/s asked, $PACKET_SIZE-byte packets, $run_seconds s per run"
    start_source "$source" "$width" "$height" "$fps"
    for round in $(seq "$rounds"); do
        one_run live "$source" "$width" "$height" "$fps" "$round"
        if [[ $reference == yes ]]; then
            one_run aravis "$source" "$width" "$height" "$fps" "$round"
        fi
    done
    stop_background
    if [[ $source == camera ]]; then
        sed -n 's/^gvspfilter camera: /  source: /p' "$work/source.out"
    fi
}

# ---- The camera's highest rate at 512x512 ------------------------------------------------------------
# The camera is asked for its top rate while live receives; its status lines, five seconds apart on
# its own clock, count the blocks it sent. The runs use nine tenths of that, so that it keeps up.
measure_highest_rate() {
    start_source camera 512 512 1000
    run_live "$work/probe" 512 512 1000 12
    stop_background
    top=$(awk '/streaming to/ { match($0, /\| [0-9]+ blocks/); blocks[n++] = substr($0, RSTART + 2, RLENGTH - 9) }
               END { if (n < 2) exit 1; printf "%.0f\n", (blocks[n - 1] - blocks[0]) / (5 * (n - 1)) }' "$work/source.out") ||
        setup_failed "the camera's status lines did not show its rate: $(tail -n 1 "$work/source.out")"
}

load() { cut -d' ' -f1-3 /proc/loadavg; }
echo "live_cost: $(nproc) CPUs ($(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)), load average $(load) at the start"
echo "live_cost: $gvspfilter; CPU is user+sys of the receiver's process (getrusage of children), per complete frame"

if [[ -z ${FPS_512:-} ]]; then
    measure_highest_rate
    FPS_512=$((top * 9 / 10))
    echo "live_cost: gvspfilter camera sends up to $top frames/s at 512x512 here; the runs ask for $FPS_512"
fi
FPS_2048=${FPS_2048:-$(awk -v f="$FPS_512" 'BEGIN { printf "%.1f\n", f / 16 }')}   # the same bytes per second

sources=(camera)
if [[ $fake_camera == yes ]]; then
    sources+=(fake)
fi
for source in "${sources[@]}"; do
    bench "$source" 512 512 "$FPS_512"
    bench "$source" 2048 2048 "$FPS_2048"
done

# ---- Idle: live bound to a port with nothing arriving -------------------------------------------------
# Its CPU from /proc/PID/stat (utime + stime) between two readings, once the driver is loaded.
cpu_ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
ip netns exec "$host_ns" "$gvspfilter" live --interface "$host_veth" --port 50000 --packet-size "$PACKET_SIZE" \
    --frame-size 262144 --seconds $((run_seconds + 3)) >"$work/idle.out" 2>&1 &
background_pid=$!
sleep 2
if ! { idle_from=$(cpu_ticks "$background_pid") && sleep "$run_seconds" && idle_to=$(cpu_ticks "$background_pid"); }; then
    setup_failed "gvspfilter live did not stay up while idle: $(tail -n 1 "$work/idle.out")"
fi
stop_background
idle=$(awk -v t="$((idle_to - idle_from))" -v hz="$(getconf CLK_TCK)" -v s="$run_seconds" 'BEGIN { printf "%.2f", t / hz / s * 100 }')

# ---- Summary -----------------------------------------------------------------------------------------
echo
echo "Summary of $rounds rounds of $run_seconds s: medians (CPU per frame with its range), frames lost in all rounds"
printf '%-8s %-7s %-10s %8s %9s %-26s %7s %11s\n' receiver source size "fps asked" "fps got" "CPU ms per complete frame" lost live/Aravis
sort -t$'\t' -k2,2 -k3,3r -k1,1r "$results" | awk -F'\t' '
    function sorted(list, v,   n, i, j, x) {
        n = split(list, v, " ")
        for (i = 2; i <= n; i++) { x = v[i] + 0; for (j = i - 1; j >= 1 && v[j] + 0 > x; j--) v[j + 1] = v[j]; v[j + 1] = x }
        return n
    }
    function median(list,   v, n) { n = sorted(list, v); return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2 }
    function range(list,   v, n) { n = sorted(list, v); return sprintf("%.3f (%.3f-%.3f)", median(list), v[1], v[n]) }
    { key = $1 SUBSEP $2 SUBSEP $3
      if (!(key in fps)) { order[++n] = key; fps[key] = $4 }
      if ($5 != "-") per[key] = per[key] " " $5
      got[key] = got[key] " " $6; lost[key] += $8 }
    END {
      for (i = 1; i <= n; i++) {
          split(order[i], k, SUBSEP)
          ratio = "-"
          other = "aravis" SUBSEP k[2] SUBSEP k[3]
          if (k[1] == "live" && per[order[i]] != "" && per[other] != "" && median(per[other]) > 0)
              ratio = sprintf("%.1f", median(per[order[i]]) / median(per[other]))
          printf "%-8s %-7s %-10s %8s %9.1f %-26s %7d %11s\n", k[1], k[2], k[3], fps[order[i]], median(got[order[i]]),
              per[order[i]] == "" ? "-" : range(per[order[i]]), lost[order[i]], ratio
      }
    }'
echo "idle: gvspfilter live bound to a port with nothing arriving used $idle% of a core over $run_seconds s"
echo "live_cost: load average $(load) at the end"

if (( failed_runs > 0 )); then
    setup_failed "$failed_runs runs gave no figures (their lines above say why)"
fi
