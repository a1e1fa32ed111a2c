#!/usr/bin/env bash
# 64 channels of 4CIF at 25 fps: veltrane-devicesim playing an nvs6400 in its own process and
# veltrane-rec recording every channel from it over 127.0.0.1. Two runs: one that writes the
# H.263 files, one that counts frames and writes nothing (--discard), which leaves the driver
# and the RCP+ library as the recorder's main work.
#
# For each run it prints the recorder's CPU time (user + system) per channel-second, over the
# whole run and over the steady middle part; the pictures the simulator sent against the
# frames the recorder received; the simulator's own timing (late, skipped, refused pictures);
# the recorder's peak resident memory (VmHWM), each against its target; and the descriptors and
# threads the recorder holds while all channels stream.
#
# usage: bench/scale64.sh [BUILD_DIR]     (default: build-bench beside this folder)
# environment: DURATION seconds per run (default 60), MODES (default "write discard"),
#              KEEP=1 keeps the work folder.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build-bench}
DURATION=${DURATION:-60}
MODES=${MODES:-"write discard"}

echo "== building (Release) in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j2 --target veltrane VozeDaroruvavuror veltrane-devicesim veltrane-rec \
  devicetypes devicesim_clips >/dev/null

WORK=$(mktemp -d /tmp/scale64-XXXXXX)
if [ "${KEEP:-0}" != 1 ]; then trap 'rm -rf "$WORK"' EXIT; fi
echo "== work folder $WORK, $DURATION s per run, modes: $MODES"

python3 - "$BUILD/bin" "$WORK" "$DURATION" $MODES <<'PYTHON'
import json, math, os, signal, subprocess, sys, time

bin_dir, work, duration = sys.argv[1], sys.argv[2], int(sys.argv[3])
modes = sys.argv[4:]
channels = 64
fps = 25.0
cpu_target = 0.05          # driver and library: 5 % of one core for all channels
memory_target_kb = 100 * 1024
tick = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick   # utime, stime


def vm_hwm_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def run(mode):
    out = os.path.join(work, mode)
    os.makedirs(out, exist_ok=True)
    stats = os.path.join(out, "sim-stats.txt")
    sim = subprocess.Popen([os.path.join(bin_dir, "veltrane-devicesim"), "--type", "nvs6400",
                            "--stats", stats],
                           stdout=subprocess.PIPE, stderr=open(os.path.join(out, "sim.err"), "w"),
                           text=True)
    port = sim.stdout.readline().strip()
    if not port.isdigit():
        sys.exit(f"simulator did not start (see {out}/sim.err)")
    args = [os.path.join(bin_dir, "veltrane-rec"), "--address", "127.0.0.1", "--port", port,
            "--type", "nvs6400", "--user", "", "--resolution", "4cif", "--interval", "40",
            "--duration", str(duration), "--out", os.path.join(out, "rec"), "--log-level", "1"]
    if mode == "discard":
        args.append("--discard")
    load_before = os.getloadavg()[0]
    began = time.monotonic()
    rec = subprocess.Popen(args, stdout=open(os.path.join(out, "rec.out"), "w"),
                           stderr=open(os.path.join(out, "rec.err"), "w"))
    # CPU samples for the steady part: from a quarter of the run in (the 64 starts take a
    # few seconds) to 5 s before the end (the stop is not in it).
    window = (duration * 0.25, max(duration - 5.0, duration * 0.6))
    samples = {}
    hwm = 0
    held = {"fds": 0, "threads": 0}
    while True:
        pid, status, usage = os.wait4(rec.pid, os.WNOHANG)
        if pid == rec.pid:
            break
        now = time.monotonic() - began
        try:
            hwm = max(hwm, vm_hwm_kb(rec.pid))
            if window[0] <= now <= window[1]:
                held["fds"] = max(held["fds"], descriptors(rec.pid))
                held["threads"] = max(held["threads"], threads(rec.pid))
            for key, at in (("a", window[0]), ("b", window[1])):
                if key not in samples and now >= at:
                    samples[key] = (now, cpu_seconds(rec.pid))
        except (FileNotFoundError, ProcessLookupError, IndexError):
            pass
        time.sleep(0.2)
    wall = time.monotonic() - began
    code = os.waitstatus_to_exitcode(status)
    # ru_maxrss is the peak resident size too; it covers the last moments the samples missed.
    hwm = max(hwm, usage.ru_maxrss)
    sim.send_signal(signal.SIGTERM)
    sim.wait(timeout=30)
    load = (load_before, os.getloadavg()[0])
    return out, code, usage.ru_utime + usage.ru_stime, wall, samples, hwm, held, stats, load


def report(mode, out, code, cpu_total, wall, samples, hwm, held, stats_path, load):
    summary = json.load(open(os.path.join(out, "rec", "summary.json")))
    sent = {}
    timing = {"refused": 0, "skipped": 0, "late": 0, "max_late_ms": 0.0}
    for line in open(stats_path):
        if line.startswith("#"):
            continue
        cam, pictures, packets, refused, skipped, late, max_late = line.split()
        sent[int(cam)] = int(pictures)
        timing["refused"] += int(refused)
        timing["skipped"] += int(skipped)
        timing["late"] += int(late)
        timing["max_late_ms"] = max(timing["max_late_ms"], float(max_late))
    seconds = summary["duration_s"]
    stop_ms = summary.get("stop_ms", 0.0)
    # Pictures the simulator may send between the stop request and the end of Close, which no
    # host sees: one per picture interval of that time, and one on its way.
    in_flight = math.ceil(stop_ms / (1000 / fps)) + 1
    first = [ch["time_to_first_frame_ms"] for ch in summary["channels"]
             if ch["time_to_first_frame_ms"] is not None]
    received = lost_events = skipped_first = 0
    worst = (0, 0)
    over = []
    for ch in summary["channels"]:
        c = ch["channel"]
        received += ch["frames"]
        lost_events += ch["lost_video_events"]
        skipped_first += ch["frames_skipped_before_key_frame"]
        missing = sent.get(c, 0) - ch["frames"]
        worst = max(worst, (missing, c))
        if missing > in_flight or missing < 0:
            over.append((c, missing))
    total_sent = sum(sent.values())
    print(f"\n== {mode}: recorder exit code {code}, {seconds:.1f} s recorded, stop and Close "
          f"{stop_ms:.0f} ms, wall {wall:.1f} s")
    # Both processes compete with whatever else runs; a busy machine inflates CPU times and
    # delays the simulator's pictures.
    print(f"  machine load average (1 min): {load[0]:.2f} at the start, {load[1]:.2f} at the end, "
          f"{os.cpu_count()} CPUs")
    if first:
        print(f"  first frame after start: fastest channel {min(first):.0f} ms, median "
              f"{sorted(first)[len(first) // 2]:.0f} ms, last channel {max(first):.0f} ms "
              f"({len(first)} of {len(summary['channels'])} channels)")
    channel_seconds = channels * seconds
    per = cpu_total / channel_seconds * 1000
    rate = cpu_total / wall
    print(f"  recorder CPU, whole run : {cpu_total:.2f} s = {per:.3f} ms per channel-second = "
          f"{rate * 100:.2f} % of one core; target {cpu_target * 100:.0f} %: "
          f"{rate / cpu_target:.2f}x of target")
    if "a" in samples and "b" in samples:
        (t0, c0), (t1, c1) = samples["a"], samples["b"]
        steady = (c1 - c0) / (t1 - t0)
        print(f"  recorder CPU, {t0:.0f}-{t1:.0f} s   : {steady * 100:.2f} % of one core = "
              f"{steady / channels * 1000:.3f} ms per channel-second; "
              f"{steady / cpu_target:.2f}x of target")
    print(f"  recorder peak resident (VmHWM): {hwm / 1024:.1f} MB; target 100 MB: "
          f"{hwm / memory_target_kb:.2f}x of target")
    # Target: at most 4 per streaming channel plus a small constant for the process.
    fd_target = 4 * channels + 32
    print(f"  recorder while streaming: {held['fds']} descriptors "
          f"({held['fds'] / channels:.1f} per channel; target {fd_target}: "
          f"{held['fds'] / fd_target:.2f}x of target), {held['threads']} threads")
    print(f"  pictures sent {total_sent}, frames received {received} (from each channel's first "
          f"intra picture; {skipped_first} before it), difference {total_sent - received}")
    print(f"  per channel: largest difference {worst[0]} (channel {worst[1]}); up to {in_flight} "
          f"per channel can be in flight at the stop ({stop_ms:.0f} ms at {fps:.0f} fps + 1)")
    if over:
        print(f"  LOST beyond what was in flight: {len(over)} channel(s): {over[:8]}")
    else:
        print("  lost beyond what was in flight at the stop: none")
    print(f"  lost-video events reported to the host: {lost_events}")
    print(f"  simulator: {total_sent / channel_seconds:.2f} pictures/s per camera (nominal "
          f"{fps:.0f}), late (>40 ms) {timing['late']}, longest delay "
          f"{timing['max_late_ms']:.1f} ms, skipped {timing['skipped']}, refused "
          f"{timing['refused']} (a stream that the host closes at the stop may refuse its last)")


for mode in modes:
    report(mode, *run(mode))
PYTHON
