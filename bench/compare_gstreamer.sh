#!/usr/bin/env bash
# Times GStreamer's RFC 2190 depayloader (rtph263depay) and our receive path on the same RTP
# packets: the simulator's 4CIF clip, packetized at 1,400-byte payloads and repeated, written
# to a pcap file (UDP/IPv4 on 127.0.0.1, ethernet link type).
#
# GStreamer runs `filesrc ! pcapparse ! caps ! rtph263depay ! fakesink` and the same pipeline
# without the depayloader; the difference is the depayloader's own cost. Times are CPU times
# (user + system) of gst-launch-1.0, the lowest of RUNS runs each. GStreamer's depayloader
# gets each packet warm (filesrc has just read it into a small buffer), so our figure for the
# ratio is the one where packets are handed over warm too, as from a socket's receive buffer.
# Target: our warm rate at least four times the depayloader's alone, in the same run.
#
# Environment: BENCH_BUILD (build folder, default build-bench, relative to the repository),
# PACKETS (default 300000), RUNS (default 5), JOBS (build jobs, default 2).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BENCH_BUILD="${BENCH_BUILD:-build-bench}"
case "$BENCH_BUILD" in /*) BUILD_DIR="$BENCH_BUILD" ;; *) BUILD_DIR="$ROOT/$BENCH_BUILD" ;; esac
PACKETS="${PACKETS:-300000}"
RUNS="${RUNS:-5}"
JOBS="${JOBS:-2}"
TARGET_RATIO=4  # the receive path should manage four times the depayloader's rate
CAPS="application/x-rtp,media=video,clock-rate=90000,encoding-name=H263,payload=34"

have_gstreamer() {
  command -v gst-launch-1.0 >/dev/null 2>&1 && command -v gst-inspect-1.0 >/dev/null 2>&1 &&
    gst-inspect-1.0 pcapparse >/dev/null 2>&1 && gst-inspect-1.0 rtph263depay >/dev/null 2>&1
}

if ! have_gstreamer; then
  echo "Installing GStreamer (Debian packages) ..."
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || { echo "need root or sudo to install GStreamer" >&2; exit 1; }
    SUDO="sudo"
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  # pcapparse lives in -bad, rtph263depay in -good.
  $SUDO apt-get install -y -q --no-install-recommends gstreamer1.0-tools \
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  have_gstreamer || { echo "GStreamer still lacks pcapparse or rtph263depay" >&2; exit 1; }
fi

echo "Building the benchmark programs in $BUILD_DIR (Release) ..."
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DVELTRANE_BUILD_BENCH=ON \
  -DVELTRANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS" --target video_reception_bench h263_pcap_writer >/dev/null

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
PCAP="$WORK/4cif.pcap"
"$BUILD_DIR/bin/h263_pcap_writer" "$PCAP" "$PACKETS"
cat "$PCAP" >/dev/null  # into the page cache before any timing

# CPU seconds (user + system) of one gst-launch-1.0 run; fails when the pipeline fails.
cpu_seconds() {
  local times
  TIMEFORMAT='%U %S'
  times=$( { time gst-launch-1.0 -q "$@" >/dev/null 2>"$WORK/gst.err"; } 2>&1 ) || {
    cat "$WORK/gst.err" >&2
    return 1
  }
  awk '{ printf "%.3f\n", $1 + $2 }' <<<"$times"
}

lowest_of_runs() {
  local best="" t
  for _ in $(seq "$RUNS"); do
    t=$(cpu_seconds "$@")
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}

WITH=(filesrc location="$PCAP" ! pcapparse ! "$CAPS" ! rtph263depay ! fakesink)
WITHOUT=(filesrc location="$PCAP" ! pcapparse ! "$CAPS" ! fakesink)

# The depayloader must really make frames of these packets, as many as our path does.
GST_FRAMES=$(gst-launch-1.0 -v filesrc location="$PCAP" ! pcapparse ! "$CAPS" ! rtph263depay ! \
  fakesink silent=false 2>&1 | grep -c "fakesink0:sink) (" || true)

echo "Timing GStreamer, $RUNS runs each ..."
T_WITH=$(lowest_of_runs "${WITH[@]}")
T_WITHOUT=$(lowest_of_runs "${WITHOUT[@]}")

echo "Running our receive path on the same file ..."
OURS_OUT=$("$BUILD_DIR/bin/video_reception_bench" --pcap "$PCAP" --passes "$RUNS")
echo "$OURS_OUT" | grep -v '^RESULT'
RESULT=$(echo "$OURS_OUT" | grep '^RESULT')
OUR_FRAMES=$(sed -n 's/.* frames=\([0-9]*\).*/\1/p' <<<"$RESULT")
OUR_RATE=$(sed -n 's/.* warm_packets_per_s=\([0-9.]*\).*/\1/p' <<<"$RESULT")
OUR_COLD=$(sed -n 's/.* cold_packets_per_s=\([0-9.]*\).*/\1/p' <<<"$RESULT")

awk -v n="$PACKETS" -v tw="$T_WITH" -v to="$T_WITHOUT" -v ours="$OUR_RATE" -v cold="$OUR_COLD" \
    -v gf="$GST_FRAMES" -v of="$OUR_FRAMES" -v target="$TARGET_RATIO" 'BEGIN {
  printf "\n%d RTP packets of the 4CIF clip at 1,400-byte payloads\n", n
  printf "frames out: rtph263depay %d, our receive path %d%s\n", gf, of, (gf == of ? "" : "  (differ!)")
  printf "GStreamer CPU time: with depayloader %.3f s, without %.3f s\n", tw, to
  printf "GStreamer whole pipeline: %.2f M packets/s\n", n / tw / 1e6
  d = tw - to
  if (d <= 0) {
    printf "GStreamer depayloader alone: not measurable (difference %.3f s); raise PACKETS\n", d
    exit 0
  }
  depay = n / d
  printf "GStreamer depayloader alone: %.2f M packets/s\n", depay / 1e6
  printf "our receive path, packets handed over warm: %.2f M packets/s\n", ours / 1e6
  printf "ratio ours / depayloader alone: %.2f (target %d, ratio to target %.2f)\n", ours / depay, target, ours / depay / target
  printf "ratio ours / whole GStreamer pipeline: %.2f\n", ours / (n / tw)
  printf "our receive path, packets read cold from the whole file in memory: %.2f M packets/s (ratio %.2f to the depayloader alone)\n", cold / 1e6, cold / depay
}'
