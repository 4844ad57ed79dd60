#!/usr/bin/env python3
"""The recorder next to ffmpeg x11grab on the same workloads; writes a Markdown report.

Run through bench/perf/run.sh, which builds the programs first.  Every
workload runs three times on a fresh Xvfb 1920x1080x24 with the
seamless-session helper: with no capture at all (what the X server costs on
its own), with the recorder, and with ffmpeg (libx264rgb, ultrafast,
lossless).  CPU time is what the processes' threads spent on a CPU
(/proc/PID/task/*/schedstat), so other load on the machine does not count.
"""
import argparse
import datetime
import glob
import json
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

SCREEN_W, SCREEN_H = 1920, 1080
FPS = 10


# ---------------------------------------------------------------- processes

def cpu_seconds(pid):
    """On-CPU time of every live thread of pid, in seconds."""
    total = 0
    for f in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(f) as fh:
                total += int(fh.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total / 1e9


def vm_hwm_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as fh:
            for line in fh:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class Procs:
    """Every process started for one measurement; all stopped together."""

    def __init__(self):
        self.procs = []

    def start(self, argv, **kw):
        kw.setdefault("stdin", subprocess.DEVNULL)
        kw.setdefault("stdout", subprocess.DEVNULL)
        kw.setdefault("stderr", subprocess.DEVNULL)
        p = subprocess.Popen(argv, start_new_session=True, **kw)
        self.procs.append(p)
        return p

    def stop_all(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except OSError:
                    pass
        deadline = time.time() + 5
        for p in reversed(self.procs):
            try:
                p.wait(max(0.1, deadline - time.time()))
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(p.pid, signal.SIGKILL)
                except OSError:
                    pass
                p.wait()
        self.procs = []


def start_xvfb(procs, screen=f"{SCREEN_W}x{SCREEN_H}x24"):
    r, w = os.pipe()
    p = procs.start(["Xvfb", "-displayfd", str(w), "-screen", "0", screen, "-br", "-nolisten", "tcp", "-noreset"],
                    pass_fds=(w,))
    os.close(w)
    data = b""
    while b"\n" not in data:
        chunk = os.read(r, 32)
        if not chunk:
            raise RuntimeError("Xvfb did not start")
        data += chunk
    os.close(r)
    return p, ":" + data.decode().strip()


def wait_line(p, text, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        line = p.stdout.readline()
        if not line:
            break
        if text in line.decode(errors="replace"):
            return
    raise RuntimeError(f"{p.args[0]} did not say {text!r}")


def client_count(display):
    r = subprocess.run(["xprop", "-root", "_NET_CLIENT_LIST"], env=dict(os.environ, DISPLAY=display),
                       capture_output=True, text=True)
    return r.stdout.count("0x")


def wait_clients(display, n=1, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if client_count(display) >= n:
            return
        time.sleep(0.1)
    raise RuntimeError("the workload's window did not appear")


# ---------------------------------------------------------------- workloads

LOREM = ("the quick brown fox jumps over the lazy dog while the recorder keeps every frame "
         "of what the users see and do ")


def workload_idle(procs, display, tools):
    procs.start(["xterm", "-geometry", "100x30+100+100", "-e", "sh", "-c", "printf '$ '; exec sleep 100000"],
                env=dict(os.environ, DISPLAY=display))
    wait_clients(display)


def workload_scrolling(procs, display, tools):
    procs.start(["xterm", "-geometry", "160x50+0+0", "-e", "sh", "-c", "while :; do seq 1 100000; done"],
                env=dict(os.environ, DISPLAY=display))
    wait_clients(display)


def workload_typing(procs, display, tools):
    env = dict(os.environ, DISPLAY=display)
    procs.start(["xterm", "-geometry", "120x40+0+0", "-e", "cat"], env=env)
    wait_clients(display)
    wid = subprocess.run(["xdotool", "search", "--class", "xterm"], env=env, capture_output=True,
                         text=True).stdout.split()[0]
    subprocess.run(["xdotool", "mousemove", "300", "200", "windowfocus", "--sync", wid], env=env)
    # About 25 characters a second, a fast typist, with a line end now and then.
    script = f'while :; do xdotool type --delay 40 "{LOREM}"; xdotool key Return; done'
    procs.start(["sh", "-c", script], env=env)


def workload_drag(procs, display, tools):
    p = procs.start([tools["workload"], display, "move", "--fps", "30", "--geometry", "640x480+0+0"],
                    stdout=subprocess.PIPE)
    wait_line(p, "ready")


def workload_fullscreen_random(procs, display, tools):
    p = procs.start([tools["workload"], display, "random", "--fps", "20"], stdout=subprocess.PIPE)
    wait_line(p, "ready")


def workload_fullscreen_scroll(procs, display, tools):
    p = procs.start([tools["workload"], display, "scroll", "--fps", "20", "--geometry", f"{SCREEN_W}x{SCREEN_H}+0+0"],
                    stdout=subprocess.PIPE)
    wait_line(p, "ready")


WORKLOADS = [
    ("idle", "an idle terminal (xterm at a prompt)", workload_idle),
    ("scrolling", "xterm 160x50 running `while :; do seq 1 100000; done`", workload_scrolling),
    ("typing", "xterm running `cat`, `xdotool type --delay 40` in a loop", workload_typing),
    ("drag", "a 640x480 window moved 8 px 30 times a second (x-workload move)", workload_drag),
    ("fullscreen-scroll", "a full-screen window scrolling text-like lines, 20 times a second (x-workload scroll)",
     workload_fullscreen_scroll),
    ("fullscreen-random", "a full-screen window of fresh random pixels, 20 times a second (x-workload random); "
     "measured for at most 4 s, since the recording passes its 262,144,000-byte limit after about 3 s",
     workload_fullscreen_random),
]
# Longest capture per workload: incompressible full frames reach the file
# size limit within seconds, and the recorder then stops by itself.
MAX_SECONDS = {"fullscreen-random": 4}


# ---------------------------------------------------------------- one measurement

def measure(tools, workload, capture, seconds, outdir):
    """One run: fresh display, the workload, then the capture for `seconds`."""
    procs = Procs()
    result = {"workload": workload[0], "capture": capture}
    try:
        xvfb, display = start_xvfb(procs)
        helper = procs.start([tools["helper"], display], stdout=subprocess.PIPE)
        wait_line(helper, "ready")
        workload[2](procs, display, tools)
        time.sleep(1.5)  # let the workload reach its steady state
        x0 = cpu_seconds(xvfb.pid)
        t0 = time.time()
        if capture == "recorder":
            out = os.path.join(outdir, f"{workload[0]}.zel")
            p = procs.start([tools["recorder"], "-sid", "bench", display, out], stdin=subprocess.PIPE)
        elif capture == "ffmpeg":
            out = os.path.join(outdir, f"{workload[0]}.mkv")
            log = open(os.path.join(outdir, f"{workload[0]}.ffmpeg.log"), "w")
            p = procs.start(["ffmpeg", "-hide_banner", "-nostdin", "-f", "x11grab", "-framerate", str(FPS),
                             "-video_size", f"{SCREEN_W}x{SCREEN_H}", "-i", display, "-c:v", "libx264rgb",
                             "-preset", "ultrafast", "-qp", "0", "-y", out], stderr=log)
        else:
            p = None
        seconds = min(seconds, MAX_SECONDS.get(workload[0], seconds))
        # The capture's CPU is also taken 2 s in, to tell start-up from steady state.
        time.sleep(2)
        early = cpu_seconds(p.pid) if p is not None else 0
        time.sleep(seconds - 2)
        result["seconds"] = time.time() - t0
        result["xserver_cpu"] = cpu_seconds(xvfb.pid) - x0
        if p is not None:
            if p.poll() is not None:
                raise RuntimeError(f"{capture} ended early with status {p.returncode}")
            result["cpu"] = cpu_seconds(p.pid)
            result["steady_share"] = (result["cpu"] - early) / (result["seconds"] - 2)
            result["hwm_kib"] = vm_hwm_kib(p.pid)
            p.send_signal(signal.SIGTERM if capture == "recorder" else signal.SIGINT)
            result["status"] = p.wait(60)
            result["bytes"] = os.path.getsize(out)
            result["file"] = out
            if capture == "recorder":
                a = json.loads(subprocess.run([tools["analyze"], out], capture_output=True, text=True,
                                              check=True).stdout)
                result["frames"] = a["images"]
                result["full_images"] = a["full_images"]
                # Ticks from the header to the last record: the recorder's own running time.
                result["ticks"] = int(a["seconds"] * FPS)
                result["empty_ticks"] = a.get("empty_ticks", -1)
            else:
                log.close()
                text = open(os.path.join(outdir, f"{workload[0]}.ffmpeg.log"), errors="replace").read()
                frames = re.findall(r"frame=\s*(\d+)", text)
                drops = re.findall(r"drop=\s*(\d+)", text)
                dups = re.findall(r"dup=\s*(\d+)", text)
                result["frames"] = int(frames[-1]) if frames else -1
                result["drop"] = int(drops[-1]) if drops else 0
                result["dup"] = int(dups[-1]) if dups else 0
    finally:
        procs.stop_all()
    return result


# ---------------------------------------------------------------- latency, replay, capacity

def measure_latency(tools, seconds, outdir):
    procs = Procs()
    try:
        xvfb, display = start_xvfb(procs)
        helper = procs.start([tools["helper"], display], stdout=subprocess.PIPE)
        wait_line(helper, "ready")
        out = os.path.join(outdir, "latency.zel")
        rec = procs.start([tools["recorder"], "-sid", "bench", display, out], stdin=subprocess.PIPE)
        time.sleep(1)
        log_path = os.path.join(outdir, "latency.log")
        with open(log_path, "w") as log:
            # 137 ms between fills: every phase against the 100 ms frame clock.
            w = procs.start([tools["workload"], display, "latency", "--period-ms", "137", "--geometry",
                             "200x200+100+100", "--seconds", str(seconds)], stdout=log)
            w.wait(seconds + 30)
        time.sleep(0.5)
        rec.send_signal(signal.SIGTERM)
        rec.wait(60)
    finally:
        procs.stop_all()
    fills = sum(1 for line in open(log_path) if line.strip() and line.split()[0].isdigit())
    a = json.loads(subprocess.run([tools["analyze"], out, "--latency", log_path, "200", "200"],
                                  capture_output=True, text=True, check=True).stdout)
    a["fills_logged"] = fills
    return a


def timed(argv):
    t0 = time.time()
    r = subprocess.run(argv, capture_output=True, text=True)
    return time.time() - t0, r


def measure_replay(tools, recording, outdir):
    res = {"file": os.path.basename(recording), "bytes": os.path.getsize(recording)}
    a = json.loads(subprocess.run([tools["analyze"], recording], capture_output=True, text=True, check=True).stdout)
    res["images"] = a["images"]
    res["seconds_recorded"] = a["seconds"]
    t, r = timed([tools["zeldump"], "--verify", recording])
    res["verify_s"], res["verify_status"] = t, r.returncode
    t, r = timed([tools["analyze"], recording, "--latency", "/dev/null", "0", "0"])
    res["replay_s"] = t
    pngdir = os.path.join(outdir, "png")
    os.makedirs(pngdir, exist_ok=True)
    t, r = timed([tools["zeldump"], "--quiet", "--png", pngdir, "--every", "1", recording])
    res["png_s"], res["png_status"], res["png_files"] = t, r.returncode, len(os.listdir(pngdir))
    t, r = timed([tools["zeldump"], "--quiet", "--video", os.path.join(outdir, "export.mp4"), recording])
    res["video_s"], res["video_status"] = t, r.returncode
    return res


def capacity_run(tools, n, kind, seconds, outdir):
    """n sessions at once, each its own Xvfb, helper, workload and recorder."""
    procs = Procs()
    sessions = []
    try:
        for i in range(n):
            xvfb, display = start_xvfb(procs)
            helper = procs.start([tools["helper"], display], stdout=subprocess.PIPE)
            wait_line(helper, "ready")
            env = dict(os.environ, DISPLAY=display)
            if kind == "idle":
                procs.start(["xterm", "-geometry", "100x30+100+100", "-e", "sh", "-c", "exec sleep 100000"], env=env)
            else:
                procs.start(["xterm", "-geometry", "160x50+0+0", "-e", "sh", "-c", "while :; do seq 1 100000; done"],
                            env=env)
            sessions.append({"xvfb": xvfb, "display": display})
        for s in sessions:
            wait_clients(s["display"])
        time.sleep(2)
        for i, s in enumerate(sessions):
            s["file"] = os.path.join(outdir, f"cap-{kind}-{n}-{i}.zel")
            s["log"] = os.path.join(outdir, f"cap-{kind}-{n}-{i}.log")
            # Debug mode, for the "frame late by" lines: the count of dropped ticks.
            s["rec"] = procs.start([tools["recorder"], "-debug", "-sid", "bench", s["display"], s["file"]],
                                   stdin=subprocess.PIPE, stdout=open(s["log"], "w"))
        time.sleep(seconds)
        for s in sessions:
            s["cpu"] = cpu_seconds(s["rec"].pid)
        for s in sessions:
            s["rec"].send_signal(signal.SIGTERM)
        for s in sessions:
            s["status"] = s["rec"].wait(60)
    finally:
        procs.stop_all()
    late_lines = 0
    frames = []
    for s in sessions:
        with open(s["log"], errors="replace") as fh:
            late = [int(m.group(1)) for m in re.finditer(r"frame late by (\d+) milliseconds", fh.read())]
        # Each line stands for late // period + 1 dropped ticks.
        late_lines += sum(ms // (1000 // FPS) + 1 for ms in late)
        a = json.loads(subprocess.run([tools["analyze"], s["file"]], capture_output=True, text=True).stdout)
        frames.append(a["images"])
        os.unlink(s["log"])
        os.unlink(s["file"])
    return {"n": n, "kind": kind, "dropped_ticks": late_lines, "cpu_per_session": statistics.mean(s["cpu"] for s in sessions),
            "frames_min": min(frames), "ticks": int(seconds * FPS)}


def profile(tools, seconds, outdir):
    """perf record of the recorder on the scrolling terminal."""
    if not shutil.which("perf"):
        return None
    procs = Procs()
    try:
        xvfb, display = start_xvfb(procs)
        helper = procs.start([tools["helper"], display], stdout=subprocess.PIPE)
        wait_line(helper, "ready")
        workload_scrolling(procs, display, tools)
        time.sleep(1.5)
        out = os.path.join(outdir, "profile.zel")
        rec = procs.start([tools["recorder"], "-sid", "bench", display, out], stdin=subprocess.PIPE)
        time.sleep(1)
        data = os.path.join(outdir, "perf.data")
        subprocess.run(["perf", "record", "-F", "999", "-g", "-o", data, "-p", str(rec.pid), "--", "sleep",
                        str(seconds)], capture_output=True)
        rec.send_signal(signal.SIGTERM)
        rec.wait(60)
    finally:
        procs.stop_all()
    r = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "--sort", "dso,symbol",
                        "--percent-limit", "2", "-g", "none"], capture_output=True, text=True)
    lines = [l for l in r.stdout.splitlines() if l.strip() and not l.startswith("#")]
    return lines[:20]


# ---------------------------------------------------------------- report

def ratio(a, b):
    return f"{a / b:.3f}" if b else "n/a"


def mb_per_min(r):
    return r["bytes"] / r["seconds"] * 60 / 1e6


def report(args, runs, latency, replay, capacity, prof, started, load_before, load_after):
    by = {(r["workload"], r["capture"]): r for r in runs}
    L = []
    L.append("# Performance: the recorder next to ffmpeg x11grab")
    L.append("")
    L.append("Produced by `bench/perf/run.sh` (which builds a Release tree and runs `bench/perf/perf.py`); "
             "rerun it to refresh every figure here.")
    L.append("")
    L.append("## Conditions")
    L.append("")
    L.append(f"- Date: {started:%Y-%m-%d %H:%M} UTC; host: {platform.node()}, {os.cpu_count()} CPUs, "
             f"{platform.machine()}, Linux {platform.release()}.")
    L.append(f"- Load average before/after the run: {load_before} / {load_after} "
             "(other work on the machine does not enter the CPU figures: they are the measured processes' own "
             "on-CPU time, summed over their threads from `/proc/PID/task/*/schedstat`; wall-clock figures such as "
             "latency and dropped ticks do suffer from it).")
    L.append(f"- Each workload: a fresh `Xvfb -screen 0 {SCREEN_W}x{SCREEN_H}x24` with the seamless-session helper "
             f"(tests/support) keeping every top-level window redirected; the workload runs 1.5 s, then the capture "
             f"runs {args.seconds:g} s. Three runs per workload: no capture (the X server's own cost), the recorder "
             f"(`pelkrecorder-xpra-seamless -sid bench :N FILE`, Release build, 10 fps), and "
             f"`ffmpeg -f x11grab -framerate {FPS} -video_size {SCREEN_W}x{SCREEN_H} -i :N -c:v libx264rgb "
             "-preset ultrafast -qp 0 out.mkv`.")
    L.append("- CPU s: the capture process's threads, from its start to its stop signal (start-up included). "
             "X server +CPU: the Xvfb's CPU during the capture minus the same interval with no capture: "
             "what the capture moves into the server.")
    L.append("- Frames: image records written by the recorder against the ticks from its header to its last "
             "record (a tick with no change writes none, so only the full-screen workloads should show one frame "
             "per tick); for ffmpeg, its frame count (dup/drop as it reports them). ffmpeg is stopped with SIGINT "
             "and then exits with status 255, its file complete.")
    L.append("")
    L.append("| Workload | What | none: X CPU s |")
    L.append("|---|---|---|")
    for w in WORKLOADS:
        r = by.get((w[0], "none"))
        if r:
            L.append(f"| {w[0]} | {w[1]} | {r['xserver_cpu']:.2f} |")
    L.append("")
    L.append("## Recorder and ffmpeg side by side")
    L.append("")
    L.append("| Workload | rec CPU s | ffmpeg CPU s | CPU ratio | rec MB/min | ffmpeg MB/min | bytes ratio | "
             "rec peak MiB | ffmpeg peak MiB | rec X +CPU s | ffmpeg X +CPU s | rec frames/ticks (full images; ticks without a frame) | ffmpeg frames (dup/drop) |")
    L.append("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for w in WORKLOADS:
        rec, ff, none = by.get((w[0], "recorder")), by.get((w[0], "ffmpeg")), by.get((w[0], "none"))
        if not (rec and ff and none):
            continue
        L.append(
            f"| {w[0]} | {rec['cpu']:.3f} | {ff['cpu']:.2f} | {ratio(rec['cpu'], ff['cpu'])} | "
            f"{mb_per_min(rec):.2f} | {mb_per_min(ff):.2f} | {ratio(rec['bytes'], ff['bytes'])} | "
            f"{rec['hwm_kib'] / 1024:.1f} | {ff['hwm_kib'] / 1024:.1f} | "
            f"{rec['xserver_cpu'] - none['xserver_cpu']:+.2f} | {ff['xserver_cpu'] - none['xserver_cpu']:+.2f} | "
            f"{rec['frames']}/{rec['ticks']} ({rec['full_images']}; {rec.get('empty_ticks', '?')}) | {ff['frames']} ({ff['dup']}/{ff['drop']}) |")
    L.append("")
    L.append("Share of one core after the first 2 s (steady state), recorder / ffmpeg: " + ", ".join(
        f"{w[0]} {100 * by[(w[0], 'recorder')]['steady_share']:.2f}% / {100 * by[(w[0], 'ffmpeg')]['steady_share']:.1f}%"
        for w in WORKLOADS if (w[0], "recorder") in by and (w[0], "ffmpeg") in by
        and "steady_share" in by[(w[0], "recorder")]) + ".")
    L.append("")
    L.append("## Targets")
    L.append("")
    t = []

    def target(name, ok, detail):
        t.append(f"| {name} | {detail} | {'met' if ok else '**missed**'} |")

    if ("idle", "recorder") in by:
        rec, ff = by[("idle", "recorder")], by[("idle", "ffmpeg")]
        target("idle CPU ≤ 1/100 of ffmpeg's", rec["cpu"] <= ff["cpu"] / 100, f"{rec['cpu']:.3f} s vs {ff['cpu']:.2f} s "
               f"(1/{ff['cpu'] / rec['cpu']:.0f})" if rec["cpu"] else "0")
    if ("scrolling", "recorder") in by:
        rec, ff = by[("scrolling", "recorder")], by[("scrolling", "ffmpeg")]
        target("scrolling CPU ≤ 1/5 of ffmpeg's", rec["cpu"] <= ff["cpu"] / 5, f"{rec['cpu']:.2f} s vs {ff['cpu']:.2f} s")
        target("scrolling bytes ≤ 1/2 of ffmpeg's", rec["bytes"] <= ff["bytes"] / 2,
               f"{rec['bytes'] / 1e6:.1f} MB vs {ff['bytes'] / 1e6:.1f} MB")
    for name in ("fullscreen-scroll", "fullscreen-random"):
        if (name, "recorder") in by:
            rec = by[(name, "recorder")]
            share = rec.get("steady_share", rec["cpu"] / rec["seconds"])
            target(f"{name}: 1080p at 10 fps in ≤ 30% of one core", share <= 0.30,
                   f"{100 * share:.1f}% of a core (steady state)")
            target(f"{name}: no tick without a frame", rec.get("empty_ticks", 1) == 0,
                   f"{rec['frames']} frames for {rec['ticks']} ticks, {rec.get('empty_ticks', '?')} ticks without one")
    if latency:
        p99 = latency["latency_ms"]["p99"]
        target("damage-to-record latency p99 ≤ one frame period + 20 ms", 0 <= p99 <= 1000 / FPS + 20,
               f"p50 {latency['latency_ms']['p50']:.1f} ms, p99 {p99:.1f} ms")
    L.append("| Target | Measured | |")
    L.append("|---|---|---|")
    L.extend(t)
    L.append("")
    if latency:
        L.append("## Damage-to-record latency")
        L.append("")
        L.append(f"A 200x200 window filled with a new colour every 137 ms (x-workload latency, {args.seconds:g} s); "
                 "the time from the fill (taken after the client's round trip, so the server has done it) to the "
                 "timestamp of the first image record after which the replayed screen shows that colour. The record "
                 "is written to the file right after it is stamped (the writer has no other queue).")
        L.append("")
        L.append(f"- fills: {latency['fills_logged']}, seen in the recording: {latency['fills_seen']} "
                 "(fills closer together than a tick can be merged into one frame)")
        L.append(f"- p50 {latency['latency_ms']['p50']:.1f} ms, p99 {latency['latency_ms']['p99']:.1f} ms, "
                 f"max {latency['latency_ms']['max']:.1f} ms")
        L.append("")
    if replay:
        L.append("## Replay and export")
        L.append("")
        L.append(f"Recording `{replay['file']}`: {replay['bytes'] / 1e6:.1f} MB, {replay['images']} image records "
                 f"over {replay['seconds_recorded']:.1f} s.")
        L.append("")
        L.append("| Operation | Wall s | Speed |")
        L.append("|---|---|---|")
        L.append(f"| `zeldump --verify` (checks and decodes every image) | {replay['verify_s']:.2f} | "
                 f"{replay['images'] / replay['verify_s']:.0f} image records/s (status {replay['verify_status']}) |")
        L.append(f"| replay into a canvas (libzel, perf-analyze) | {replay['replay_s']:.2f} | "
                 f"{replay['images'] / replay['replay_s']:.0f} image records/s |")
        L.append(f"| `zeldump --png DIR --every 1` | {replay['png_s']:.2f} | {replay['png_files']} PNG files "
                 f"(status {replay['png_status']}) |")
        L.append(f"| `zeldump --video FILE` (ffmpeg H.264) | {replay['video_s']:.2f} | "
                 f"{replay['seconds_recorded'] / replay['video_s']:.2f}x real time (status {replay['video_status']}) |")
        L.append("")
    if capacity:
        L.append("## Sessions on one machine")
        L.append("")
        L.append(f"N sessions at once, each a Xvfb {SCREEN_W}x{SCREEN_H}, the helper, an xterm (idle, or scrolling as "
                 f"above) and a recorder in debug mode (to count its \"frame late by\" lines), for {args.capacity_seconds:g} s. "
                 "Everything runs on this one machine, X servers and terminals included, so the busy case "
                 "measures the whole session's load, not the recorder's alone.")
        L.append("")
        L.append("| Sessions | Kind | Recorder CPU s per session (start-up included) | Dropped ticks (all sessions) | Fewest frames in a session |")
        L.append("|---|---|---|---|---|")
        for c in capacity:
            L.append(f"| {c['n']} | {c['kind']} | {c['cpu_per_session']:.3f} | {c['dropped_ticks']} | "
                     f"{c['frames_min']} of {c['ticks']} ticks |")
        L.append("")
        for kind in ("idle", "busy"):
            rows = [c for c in capacity if c["kind"] == kind]
            if rows:
                per = max(c["cpu_per_session"] for c in rows) / args.capacity_seconds
                L.append(f"- {kind}: one recorder takes {100 * per:.2f}% of a core (start-up and debug output included); by CPU alone two cores hold "
                         f"about {int(2 / per) if per else 'unbounded'} such recorders. Largest N run without a dropped tick: "
                         f"{max([c['n'] for c in rows if c['dropped_ticks'] == 0], default=0)}.")
        L.append("")
    if prof:
        L.append("## Profile (perf record -g, the recorder on the scrolling terminal, 10 s; symbols at 2% or more)")
        L.append("")
        L.append("```")
        L.extend(prof)
        L.append("```")
        L.append("")
    findings = os.path.join(os.path.dirname(os.path.abspath(__file__)), "findings.md")
    if os.path.exists(findings):
        L.append(open(findings).read().rstrip())
        L.append("")
    L.append("## Raw figures")
    L.append("")
    L.append("```json")
    L.append(json.dumps({"runs": runs, "latency": latency, "replay": replay, "capacity": capacity}, indent=1,
                        default=str))
    L.append("```")
    L.append("")
    return "\n".join(L)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--recorder", required=True)
    ap.add_argument("--zeldump", required=True)
    ap.add_argument("--helper", required=True)
    ap.add_argument("--workload", required=True)
    ap.add_argument("--analyze", required=True)
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--capacity-seconds", type=float, default=15)
    ap.add_argument("--only", help="comma-separated workload names")
    ap.add_argument("--skip", default="", help="comma-separated phases to skip: compare,latency,replay,capacity,profile")
    ap.add_argument("--idle-sessions", default="10,20,40")
    ap.add_argument("--busy-sessions", default="1,2,4,6")
    ap.add_argument("--output", required=True)
    ap.add_argument("--keep", help="keep recordings (and runs.json) in this directory")
    ap.add_argument("--reuse", action="store_true", help="with --keep: reuse the runs found in runs.json")
    ap.add_argument("--report-only", action="store_true",
                    help="with --keep: write the report from the figures saved there (results.json), measuring nothing")
    args = ap.parse_args()
    tools = {"recorder": args.recorder, "zeldump": args.zeldump, "helper": args.helper, "workload": args.workload,
             "analyze": args.analyze}
    skip = set(filter(None, args.skip.split(",")))
    outdir = args.keep or tempfile.mkdtemp(prefix="pelk-perf-")
    os.makedirs(outdir, exist_ok=True)
    results_path = os.path.join(outdir, "results.json")
    if args.report_only:
        saved = json.load(open(results_path))
        runs, latency, replay, capacity, prof = (saved[k] for k in ("runs", "latency", "replay", "capacity", "profile"))
        started = datetime.datetime.fromisoformat(saved["started"])
        load_before, load_after = saved["load_before"], saved["load_after"]
    else:
        started = datetime.datetime.utcnow()
        load_before = " ".join(open("/proc/loadavg").read().split()[:3])
        runs = []
        workloads = [w for w in WORKLOADS if not args.only or w[0] in args.only.split(",")]
        cache_path = os.path.join(outdir, "runs.json")
        cache = []
        if args.reuse and os.path.exists(cache_path):
            cache = json.load(open(cache_path))
        if "compare" not in skip:
            for w in workloads:
                for capture in ("none", "recorder", "ffmpeg"):
                    done = [r for r in cache if r["workload"] == w[0] and r["capture"] == capture]
                    if done:
                        runs.append(done[0])
                        continue
                    print(f"[perf] {w[0]} / {capture} ...", file=sys.stderr, flush=True)
                    try:
                        r = measure(tools, w, capture, args.seconds, outdir)
                    except Exception as e:  # one failed run must not lose the others
                        print(f"[perf]   failed: {e}", file=sys.stderr, flush=True)
                        continue
                    print(f"[perf]   {json.dumps(r)}", file=sys.stderr, flush=True)
                    runs.append(r)
                    with open(cache_path, "w") as fh:
                        json.dump(runs + [c for c in cache if c not in runs], fh)
        latency = None
        if "latency" not in skip:
            print("[perf] latency ...", file=sys.stderr, flush=True)
            latency = measure_latency(tools, args.seconds, outdir)
            print(f"[perf]   {json.dumps(latency)}", file=sys.stderr, flush=True)
        replay = None
        rec_file = os.path.join(outdir, "fullscreen-scroll.zel")
        if "replay" not in skip and os.path.exists(rec_file):
            print("[perf] replay ...", file=sys.stderr, flush=True)
            replay = measure_replay(tools, rec_file, outdir)
            print(f"[perf]   {json.dumps(replay)}", file=sys.stderr, flush=True)
        capacity = []
        if "capacity" not in skip:
            for kind, ns in (("idle", args.idle_sessions), ("busy", args.busy_sessions)):
                for n in [int(x) for x in ns.split(",") if x]:
                    print(f"[perf] capacity {kind} x{n} ...", file=sys.stderr, flush=True)
                    c = capacity_run(tools, n, kind, args.capacity_seconds, outdir)
                    print(f"[perf]   {json.dumps(c)}", file=sys.stderr, flush=True)
                    capacity.append(c)
        prof = None
        if "profile" not in skip:
            print("[perf] profile ...", file=sys.stderr, flush=True)
            prof = profile(tools, 10, outdir)
        load_after = " ".join(open("/proc/loadavg").read().split()[:3])
        with open(results_path, "w") as fh:
            json.dump({"runs": runs, "latency": latency, "replay": replay, "capacity": capacity, "profile": prof,
                       "started": started.isoformat(), "load_before": load_before, "load_after": load_after}, fh)
    text = report(args, runs, latency, replay, capacity, prof, started, load_before, load_after)
    with open(args.output, "w") as fh:
        fh.write(text)
    print(f"[perf] wrote {args.output}", file=sys.stderr)
    if not args.keep:
        shutil.rmtree(outdir, ignore_errors=True)


if __name__ == "__main__":
    main()
