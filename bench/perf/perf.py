#!/usr/bin/env python3
"""The recorder next to ffmpeg x11grab on the same workloads; writes a Markdown report.

Run through bench/perf/run.sh, which builds the programs first.  Every
workload runs on a fresh Xvfb 1920x1080x24 (3840x2160x24 for scrolling-4k)
with the seamless-session helper,
once with no capture at all (what the X server costs on its own), once with
the recorder (and once with a second recorder binary, --recorder-b, to compare
two builds in the same run) and once with ffmpeg (libx264rgb, ultrafast,
lossless).

CPU time is what the processes' threads spent on a CPU (the kernel's
per-thread run time), so other load on the machine does not count.  A
capture's CPU is its own process's plus what it adds to the X server: the
server's CPU during the capture less what the server used in the run without
a capture (scaled to the same length, or, for the workload that runs as fast
as the machine lets it, to the same work done by the workload's client).
"""
import argparse
import datetime
import glob
import json
import os
import platform
import random
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
FRAME_BYTES = SCREEN_W * SCREEN_H * 4


def memory_limit(screen):
    """The recorder's bound on memory: two frames of the screen and 16 MiB."""
    return 2 * screen[0] * screen[1] * 4 + 16 * 1024 * 1024
WARM_UP = 2.0  # the workload runs this long before the capture starts
START_UP = 2.0  # the capture's first seconds, left out of the steady-state figures


# ---------------------------------------------------------------- processes

def thread_cpu(pid):
    """{thread id: (name, on-CPU seconds)} of every live thread of pid."""
    out = {}
    for task in glob.glob(f"/proc/{pid}/task/*"):
        try:
            with open(f"{task}/schedstat") as fh:
                ns = int(fh.read().split()[0])
            with open(f"{task}/comm") as fh:
                name = fh.read().strip()
        except (OSError, ValueError, IndexError):
            continue
        out[int(os.path.basename(task))] = (name, ns / 1e9)
    return out


def cpu_seconds(pid):
    """On-CPU time of every live thread of pid, in seconds."""
    return sum(cpu for _, cpu in thread_cpu(pid).values())


def vm_hwm_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as fh:
            for line in fh:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def machine_ticks():
    """(busy, total) jiffies of all CPUs, from /proc/stat."""
    with open("/proc/stat") as fh:
        v = [int(x) for x in fh.readline().split()[1:]]
    idle = v[3] + (v[4] if len(v) > 4 else 0)
    return sum(v) - idle, sum(v)


def loadavg():
    with open("/proc/loadavg") as fh:
        return " ".join(fh.read().split()[:3])


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


def stop_and_reap(p, sig, timeout=60):
    """Signals p and waits for it; returns (exit status, CPU seconds of all its threads, peak RSS KiB)."""
    p.send_signal(sig)
    deadline = time.time() + timeout
    while True:
        pid, status, usage = os.wait4(p.pid, os.WNOHANG)
        if pid == p.pid:
            break
        if time.time() > deadline:
            os.killpg(p.pid, signal.SIGKILL)
            pid, status, usage = os.wait4(p.pid, 0)
            break
        time.sleep(0.02)
    p.returncode = os.waitstatus_to_exitcode(status)
    return p.returncode, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


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


def focus_xterm(env):
    wid = subprocess.run(["xdotool", "search", "--class", "xterm"], env=env, capture_output=True,
                         text=True).stdout.split()[0]
    subprocess.run(["xdotool", "mousemove", "300", "200", "windowfocus", "--sync", wid], env=env)


# ---------------------------------------------------------------- workloads
#
# Each returns the process of the workload's X client (an xterm, or
# x-workload): its CPU is how much work the workload did.

LOREM = ("the quick brown fox jumps over the lazy dog while the recorder keeps every frame "
         "of what the users see and do ")
TERMINAL = "160x50+0+0"


def xterm(procs, display, command, geometry=TERMINAL):
    p = procs.start(["xterm", "-geometry", geometry, "-e", "sh", "-c", command], env=dict(os.environ, DISPLAY=display))
    wait_clients(display)
    return p


def workload_idle(procs, display, tools):
    return xterm(procs, display, "PS1='$ ' exec bash --norc --noprofile -i")


def workload_ls(procs, display, tools):
    return xterm(procs, display, "while true; do ls -l /usr/bin | head -40; sleep 0.1; done")


def workload_scrolling(procs, display, tools):
    return xterm(procs, display, "while :; do seq 1 100000; done")


def long_text(path, lines=100000):
    """A text file of prose-like lines of 0 to 150 characters, the same on every run."""
    if os.path.exists(path):
        return path
    rng = random.Random(1)
    words = LOREM.split() + ["recording", "session", "window", "display", "frame", "{", "}", "();", "0x1f", "--"]
    with open(path, "w") as fh:
        for _ in range(lines):
            n = rng.choice([0, 3, 6, 9, 12, 15, 18, 21])
            fh.write(" " * rng.choice([0, 0, 4, 8]) + " ".join(rng.choice(words) for _ in range(n))[:150] + "\n")
    return path


def workload_scrolling_4k(procs, display, tools):
    return xterm(procs, display, "while :; do seq 1 100000; done", geometry="640x166+0+0")


def workload_less(procs, display, tools):
    env = dict(os.environ, DISPLAY=display)
    text = long_text(os.path.join(tools["outdir"], "long.txt"))
    p = xterm(procs, display, f"exec less {text}")
    time.sleep(0.5)  # less has drawn its first page
    focus_xterm(env)
    # One XTEST key press and release every 200 ms, from a single process.
    procs.start(["xdotool", "key", "--delay", "0", "--repeat", "1000000", "--repeat-delay", "200", "space"], env=env)
    return p


def workload_typing(procs, display, tools):
    env = dict(os.environ, DISPLAY=display)
    p = xterm(procs, display, "exec cat", geometry="120x40+0+0")
    focus_xterm(env)
    # About 25 characters a second, a fast typist, with a line end now and then.
    script = f'while :; do xdotool type --delay 40 "{LOREM}"; xdotool key Return; done'
    procs.start(["sh", "-c", script], env=env)
    return p


def x_workload(procs, display, tools, *args):
    p = procs.start([tools["workload"], display, *args], stdout=subprocess.PIPE)
    wait_line(p, "ready")
    return p


def workload_drag(procs, display, tools):
    return x_workload(procs, display, tools, "move", "--fps", "30", "--geometry", "640x480+0+0")


def workload_fullscreen(procs, display, tools):
    return x_workload(procs, display, tools, "page", "--fps", "20")


class Workload:
    def __init__(self, name, what, start, terminal=False, full_speed=False, every_tick=False, long=False,
                 screen=(SCREEN_W, SCREEN_H)):
        self.name, self.what, self.start, self.screen = name, what, start, screen
        self.terminal = terminal  # a terminal or paging workload: the CPU and file targets apply
        self.full_speed = full_speed  # runs as fast as the machine lets it
        self.every_tick = every_tick  # changes more often than the frame clock ticks
        self.long = long  # captured for --fullscreen-seconds


WORKLOADS = [
    Workload("idle", "xterm 160x50 at a bash prompt, nothing typed", workload_idle, terminal=True),
    Workload("terminal-ls", "xterm 160x50 running `while true; do ls -l /usr/bin | head -40; sleep 0.1; done`",
             workload_ls, terminal=True),
    Workload("scrolling", "xterm 160x50 running `while :; do seq 1 100000; done` (as fast as xterm goes)",
             workload_scrolling, terminal=True, full_speed=True),
    Workload("scrolling-4k", "a 3840x2160 screen: xterm 640x166 (the whole screen) running "
             "`while :; do seq 1 100000; done`", workload_scrolling_4k, full_speed=True, screen=(3840, 2160)),
    Workload("less", "xterm 160x50 running `less` on a 100,000-line text, "
             "`xdotool key --repeat-delay 200 space`: a page every 200 ms", workload_less, terminal=True),
    Workload("typing", "xterm 120x40 running `cat`, `xdotool type --delay 40` in a loop (about 25 characters/s)",
             workload_typing, terminal=True),
    Workload("drag", "a 640x480 patterned window moved 8 px 30 times a second (x-workload move)", workload_drag,
             every_tick=True),
    Workload("fullscreen", "a full-screen window given a new text-like page 20 times a second, every line "
             "different (x-workload page)", workload_fullscreen, every_tick=True, long=True),
]


# ---------------------------------------------------------------- one measurement

def start_capture(procs, tools, capture, display, out, log_path, screen):
    if capture in ("recorder", "recorder-b"):
        return procs.start([tools[capture], "-sid", "bench", display, out], stdin=subprocess.PIPE)
    log = open(log_path, "w")
    p = procs.start(["ffmpeg", "-hide_banner", "-nostdin", "-f", "x11grab", "-framerate", str(FPS), "-video_size",
                     f"{screen[0]}x{screen[1]}", "-i", display, "-c:v", "libx264rgb", "-preset", "ultrafast", "-qp",
                     "0", "-y", out], stderr=log)
    log.close()
    return p


def sample(xvfb, client, capture=None):
    s = {"t": time.monotonic(), "x": cpu_seconds(xvfb.pid), "w": cpu_seconds(client.pid)}
    if capture is not None:
        s["c"] = cpu_seconds(capture.pid)
    return s


def measure(tools, workload, capture, seconds, outdir, repeat=0):
    """One run: fresh display, the workload, then the capture for `seconds`."""
    procs = Procs()
    tag = f"{workload.name}.{capture}" + (f".{repeat}" if repeat else "")
    result = {"workload": workload.name, "capture": capture, "load_start": loadavg()}
    try:
        xvfb, display = start_xvfb(procs, f"{workload.screen[0]}x{workload.screen[1]}x24")
        helper = procs.start([tools["helper"], display], stdout=subprocess.PIPE)
        wait_line(helper, "ready")
        client = workload.start(procs, display, tools)
        time.sleep(WARM_UP)
        m0 = machine_ticks()
        out = os.path.join(outdir, tag + (".mkv" if capture == "ffmpeg" else ".zel"))
        if os.path.exists(out):  # the recorder never overwrites a file
            os.unlink(out)
        p = None if capture == "none" else start_capture(procs, tools, capture, display, out,
                                                         os.path.join(outdir, tag + ".log"), workload.screen)
        s0 = sample(xvfb, client)
        s0["c"] = 0.0
        time.sleep(START_UP)
        s1 = sample(xvfb, client, p)
        time.sleep(max(0.0, s0["t"] + seconds - time.monotonic()))
        s2 = sample(xvfb, client, p)
        m1 = machine_ticks()
        result.update(seconds=s2["t"] - s0["t"], steady_seconds=s2["t"] - s1["t"], samples=[s0, s1, s2],
                      machine_busy_cores=(m1[0] - m0[0]) / max(1, m1[1] - m0[1]) * (os.cpu_count() or 1))
        if p is not None:
            if p.poll() is not None:
                raise RuntimeError(f"{capture} ended early with status {p.returncode}")
            result["threads"] = {}
            for tid, (name, cpu) in thread_cpu(p.pid).items():
                name = "main" if tid == p.pid else name
                result["threads"][name] = result["threads"].get(name, 0) + cpu
            hwm = vm_hwm_kib(p.pid)
            status, cpu, maxrss = stop_and_reap(p, signal.SIGINT if capture == "ffmpeg" else signal.SIGTERM)
            s3 = sample(xvfb, client)
            s3["c"] = cpu
            result["samples"].append(s3)
            result.update(status=status, cpu=cpu, hwm_kib=max(hwm, maxrss), bytes=os.path.getsize(out))
            if capture == "ffmpeg":
                text = open(os.path.join(outdir, tag + ".log"), errors="replace").read()
                # ffmpeg shows dup= and drop= only once they are not 0.
                for key, name, missing in (("frame", "frames", -1), ("dup", "dup", 0), ("drop", "drop", 0)):
                    found = re.findall(key + r"=\s*(\d+)", text)
                    result[name] = int(found[-1]) if found else missing
            else:
                a = json.loads(subprocess.run([tools["analyze"], out], capture_output=True, text=True,
                                              check=True).stdout)
                result.update({k: a[k] for k in ("frames", "images", "full_images", "ticks", "ticks_without_frame",
                                                 "longest_gap_ms", "keyframe_bytes", "image_bytes", "records")},
                              read=a["status"])
        result["load_end"] = loadavg()
    finally:
        procs.stop_all()
    if client.stdout is not None:  # x-workload: how many frames it drew
        rest = client.stdout.read().decode(errors="replace")
        found = re.findall(r"frames (\d+)", rest)
        if found:
            result["client_frames"] = int(found[-1])
    return result


# ---------------------------------------------------------------- derived figures

def x_added(run, none, workload, part):
    """What the capture added to the X server's CPU, over the whole run or its steady state."""
    a, b = (0, -1) if part == "total" else (1, 2)
    sa, sb = run["samples"][a], run["samples"][b]
    na, nb = none["samples"][0 if part == "total" else 1], none["samples"][2]
    x = sb["x"] - sa["x"]
    if workload.full_speed and nb["w"] - na["w"] > 0.05:
        # The server's own work follows the client's: scale by the client's CPU.
        return x - (nb["x"] - na["x"]) / (nb["w"] - na["w"]) * (sb["w"] - sa["w"])
    return x - (nb["x"] - na["x"]) / (nb["t"] - na["t"]) * (sb["t"] - sa["t"])


def figures(run, none, workload):
    """The per-capture figures the report shows, from one run and the matching run without a capture."""
    f = dict(run)
    f["x_total"] = x_added(run, none, workload, "total")
    f["x_steady"] = x_added(run, none, workload, "steady")
    f["cpu_total"] = run["cpu"] + f["x_total"]
    s1, s2 = run["samples"][1], run["samples"][2]
    f["proc_steady_share"] = (s2["c"] - s1["c"]) / run["steady_seconds"]
    f["steady_share"] = (s2["c"] - s1["c"] + f["x_steady"]) / run["steady_seconds"]
    f["client_cpu"] = run["samples"][2]["w"] - run["samples"][0]["w"]
    return f


def median_run(runs, key):
    """The run whose `key` is the median over repeated runs (the lower middle one for an even count), so that
    every figure shown comes from one run and they add up; the per-repeat values of a few are kept beside."""
    ordered = sorted(runs, key=lambda r: r[key])
    out = dict(ordered[(len(ordered) - 1) // 2])
    out["repeats"] = len(runs)
    return out


def derive(runs, captures, repeat=None):
    """{(workload, capture): figures} with the X server's share worked out; the median run per capture, or
    the runs of one repeat."""
    by = {}
    for w in WORKLOADS:
        nones = {r["repeat"]: r for r in runs if r["workload"] == w.name and r["capture"] == "none"
                 and repeat in (None, r["repeat"])}
        if not nones:
            continue
        by[(w.name, "none")] = median_run([dict(r, x_alone=r["samples"][2]["x"] - r["samples"][0]["x"],
                                                client_cpu=r["samples"][2]["w"] - r["samples"][0]["w"])
                                           for r in nones.values()], "x_alone")
        for c in captures:
            done = [r for r in runs if r["workload"] == w.name and r["capture"] == c and repeat in (None, r["repeat"])]
            # Each repeat is set against the run without a capture of the same repeat.
            fs = [figures(r, nones.get(r["repeat"], next(iter(nones.values()))), w) for r in done]
            if fs:
                by[(w.name, c)] = median_run(fs, "cpu_total")
    return by


# ---------------------------------------------------------------- latency, replay, profile

def measure_latency(tools, recorder, seconds, outdir):
    procs = Procs()
    out = os.path.join(outdir, f"latency.{recorder}.zel")
    log_path = os.path.join(outdir, f"latency.{recorder}.log")
    if os.path.exists(out):
        os.unlink(out)
    try:
        xvfb, display = start_xvfb(procs)
        helper = procs.start([tools["helper"], display], stdout=subprocess.PIPE)
        wait_line(helper, "ready")
        rec = procs.start([tools[recorder], "-sid", "bench", display, out], stdin=subprocess.PIPE)
        time.sleep(1)
        with open(log_path, "w") as log:
            # 137 ms between fills: every phase against the 100 ms frame clock.
            w = procs.start([tools["workload"], display, "latency", "--period-ms", "137", "--geometry",
                             "200x200+100+100", "--seconds", str(seconds)], stdout=log)
            w.wait(seconds + 30)
        time.sleep(0.5)
        stop_and_reap(rec, signal.SIGTERM)
    finally:
        procs.stop_all()
    fills = sum(1 for line in open(log_path) if line.strip() and line.split()[0].isdigit())
    a = json.loads(subprocess.run([tools["analyze"], out, "--latency", log_path, "200", "200"],
                                  capture_output=True, text=True, check=True).stdout)
    a["fills_logged"] = fills
    a["load"] = loadavg()
    return a


def timed(argv):
    t0 = time.monotonic()
    r = subprocess.run(argv, capture_output=True, text=True)
    return time.monotonic() - t0, r


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
    shutil.rmtree(pngdir, ignore_errors=True)
    video = os.path.join(outdir, "export.mp4")
    t, r = timed([tools["zeldump"], "--quiet", "--video", video, recording])
    res["video_s"], res["video_status"] = t, r.returncode
    if os.path.exists(video):
        os.unlink(video)
    res["load"] = loadavg()
    return res


def profile(tools, workload, seconds, outdir):
    """perf record of the recorder on one workload; the symbols at 2% or more."""
    if not shutil.which("perf"):
        return None
    procs = Procs()
    data = os.path.join(outdir, f"perf.{workload.name}.data")
    try:
        xvfb, display = start_xvfb(procs, f"{workload.screen[0]}x{workload.screen[1]}x24")
        helper = procs.start([tools["helper"], display], stdout=subprocess.PIPE)
        wait_line(helper, "ready")
        workload.start(procs, display, tools)
        time.sleep(WARM_UP)
        out = os.path.join(outdir, f"profile.{workload.name}.zel")
        if os.path.exists(out):
            os.unlink(out)
        rec = procs.start([tools["recorder"], "-sid", "bench", display, out], stdin=subprocess.PIPE)
        time.sleep(START_UP)
        subprocess.run(["perf", "record", "-F", "999", "-g", "-o", data, "-p", str(rec.pid), "--", "sleep",
                        str(seconds)], capture_output=True)
        stop_and_reap(rec, signal.SIGTERM)
    finally:
        procs.stop_all()
    lines = []
    for sort, limit in (("comm,dso", 2), ("comm,dso,symbol", 3)):
        r = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "--sort", sort, "--percent-limit",
                            str(limit), "-g", "none"], capture_output=True, text=True)
        lines += [re.sub(r"[\s-]+$", "", l) for l in r.stdout.splitlines() if l.strip() and not l.startswith("#")][:20]
        lines.append("")
    os.unlink(data)
    return lines[:-1]


# ---------------------------------------------------------------- report

def ratio(a, b):
    return f"{a / b:.3f}" if b else "n/a"


def one_in(a, b):
    return f"1/{b / a:.0f}" if a > 0 else "0"


def mib(kib):
    return kib / 1024


def targets(by, capture):
    """[(target, figure, met, short figure)] for one recorder."""
    t = []
    for w in WORKLOADS:
        rec, ff = by.get((w.name, capture)), by.get((w.name, "ffmpeg"))
        if not (rec and ff):
            continue
        if w.terminal:
            r = ratio(rec["cpu_total"], ff["cpu_total"])
            t.append((f"{w.name}: CPU ≤ 1/5 of ffmpeg's", f"{rec['cpu_total']:.3f} s vs {ff['cpu_total']:.2f} s ({r})",
                      rec["cpu_total"] <= ff["cpu_total"] / 5, r))
        if w.terminal or w.name == "drag":
            r = ratio(rec["bytes"], ff["bytes"])
            t.append((f"{w.name}: file ≤ 1/2 of ffmpeg's", f"{rec['bytes'] / 1e6:.2f} MB vs {ff['bytes'] / 1e6:.2f} MB "
                      f"({r})", rec["bytes"] <= ff["bytes"] / 2, r))
        if w.name == "idle":
            r = one_in(rec["steady_share"], ff["steady_share"])
            t.append(("idle: steady state ≤ 1/100 of ffmpeg's CPU",
                      f"{100 * rec['steady_share']:.3f}% vs {100 * ff['steady_share']:.2f}% of a core ({r})",
                      rec["steady_share"] <= ff["steady_share"] / 100, r))
        if w.long:
            t.append((f"{w.name}: no tick without a frame at {FPS} fps",
                      f"{rec['ticks_without_frame']} of {rec['ticks']} ticks over {rec['seconds']:.0f} s "
                      f"(longest gap {rec['longest_gap_ms']:.0f} ms)", rec["ticks_without_frame"] == 0,
                      str(rec["ticks_without_frame"])))
            t.append((f"{w.name}: ≤ 30% of one core", f"{100 * rec['steady_share']:.1f}% (steady state: "
                      f"{100 * rec['proc_steady_share']:.1f}% recorder + {100 * rec['x_steady'] / rec['steady_seconds']:.1f}% "
                      "X server)", rec["steady_share"] <= 0.30, f"{100 * rec['steady_share']:.1f}%"))
    for screen in sorted({w.screen for w in WORKLOADS}):
        mems = [(by[(w.name, capture)]["hwm_kib"], w.name) for w in WORKLOADS
                if w.screen == screen and (w.name, capture) in by]
        if mems:
            peak, name = max(mems)
            limit = memory_limit(screen)
            t.append((f"{screen[0]}×{screen[1]}: peak memory ≤ 2 × frame + 16 MiB ({mib(limit / 1024):.1f} MiB)",
                      f"{mib(peak):.1f} MiB (largest, {name})", peak * 1024 <= limit, f"{mib(peak):.1f}"))
    return t


def target_table(by, per_repeat, capture):
    """The targets of one recorder; with repeats, each repeat's verdict and figure beside the median run's."""
    t = targets(by, capture)
    reps = [{name: (ok, short) for name, _, ok, short in targets(b, capture)} for b in per_repeat]
    L = ["| Target | Measured (median run) | |" + (" Each repeat |" if len(reps) > 1 else ""),
         "|---|---|---|" + ("---|" if len(reps) > 1 else "")]
    for name, fig, ok, _ in t:
        row = f"| {name} | {fig} | {'met' if ok else '**missed**'} |"
        if len(reps) > 1:
            got = [r[name] for r in reps if name in r]
            row += f" met in {sum(o for o, _ in got)} of {len(got)}: {', '.join(s for _, s in got)} |"
        L.append(row)
    return L, sum(ok for _, _, ok, _ in t), len(t)


def cond_section(args, meta, by, captures, runs):
    L = ["## Conditions", ""]
    L.append(f"- Date: {meta['started'][:16].replace('T', ' ')} UTC; host: {platform.node()}, {os.cpu_count()} CPUs, "
             f"{platform.machine()}, Linux {platform.release()}.")
    for c in captures:
        if c.startswith("recorder"):
            L.append(f"- `{c}`: {meta['labels'][c]}.")
    L.append(f"- Load: load average {meta['load_before']} before the run and {meta['load_after']} after it; "
             f"during the capture runs the whole machine kept {meta['busy_min']:.2f} to {meta['busy_max']:.2f} "
             f"of its {os.cpu_count()} cores busy (mean {meta['busy_mean']:.2f}; this bench's own processes "
             "included). Other work does not enter the CPU figures (they are the measured processes' own "
             "on-CPU time, from `/proc/PID/task/*/schedstat` and the kernel's resource usage at exit); the "
             "wall-clock figures (ticks without a frame, latency, replay and export times) do suffer from it, "
             "and so does the intensity of the full-speed scrolling workload.")
    L.append(f"- Each run: a fresh `Xvfb -screen 0 {SCREEN_W}x{SCREEN_H}x24` (3840x2160x24 for scrolling-4k) with the seamless-session helper "
             f"(tests/support) keeping every top-level window redirected; the workload runs {WARM_UP:g} s, then the "
             f"capture runs {args.seconds:g} s ({args.fullscreen_seconds:g} s for the full-screen workload) and is "
             "stopped (the recorder with SIGTERM, ffmpeg with SIGINT). Per workload: a run with no capture (the X "
             "server's own cost), one per recorder "
             f"(`pelkrecorder-xpra-seamless -sid bench :N FILE`, {FPS} fps), and "
             f"`ffmpeg -f x11grab -framerate {FPS} -video_size {SCREEN_W}x{SCREEN_H} -i :N -c:v libx264rgb "
             "-preset ultrafast -qp 0 out.mkv`" + (f"; each {args.repeat} times: every table shows, per workload "
                                                   "and capture, the run whose CPU s is the median (so that its figures "
                                                   "add up), and the targets list each repeat's figure too"
                                                   if args.repeat > 1 else "") + ".")
    L.append("- CPU s = the capture process's CPU from start to exit (start-up and the end of the file included) "
             "+ X: what it added to the X server, i.e. the server's CPU from the capture's start to its exit less "
             "the server's CPU in the run without a capture over as long (for the full-speed scrolling terminal: "
             "over as much xterm CPU, since the terminal's own cost to the server follows how fast it runs). "
             "Steady state: the same from the capture's second "
             f"{START_UP:g} to its stop signal, as a share of one core. Peak memory: the recorder's VmHWM "
             "(largest resident set).")
    L.append("- Frames: a tick's image, block and copy records, which share a timestamp. Ticks without a frame: the "
             f"{1000 // FPS} ms ticks from the first frame to the last less the frames; counted only where the "
             "workload changes the screen more often than the frame clock ticks (drag, full screen); elsewhere a "
             "tick with nothing changed rightly writes nothing.")
    L.append("")
    L.append(f"| Workload | What | X server alone, % of a core | client CPU s ({' / '.join(['none'] + captures)}) | "
             "load average (1 min) at the runs' starts | cores busy during the captures |")
    L.append("|---|---|---|---|---|---|")
    for w in WORKLOADS:
        n = by.get((w.name, "none"))
        if not n:
            continue
        cl = " / ".join(f"{by[(w.name, c)]['client_cpu']:.2f}" for c in ["none"] + captures if (w.name, c) in by)
        mine = [r for r in runs if r["workload"] == w.name]
        loads = [float(r["load_start"].split()[0]) for r in mine]
        busy = [r["machine_busy_cores"] for r in mine if r["capture"] != "none"]
        L.append(f"| {w.name} | {w.what} | {100 * n['x_alone'] / n['seconds']:.1f} | {cl} | "
                 f"{min(loads):.2f} to {max(loads):.2f} | {min(busy):.2f} to {max(busy):.2f} |")
    L.append("")
    return L


def report(args, runs, latency, replay, prof, meta):
    captures = ["recorder"] + (["recorder-b"] if meta["labels"].get("recorder-b") else []) + ["ffmpeg"]
    recorders = [c for c in captures if c.startswith("recorder")]
    by = derive(runs, captures)
    per_repeat = [derive(runs, captures, rep) for rep in sorted({r["repeat"] for r in runs})]
    L = ["# Performance: the recorder next to ffmpeg x11grab", ""]
    L.append("Produced by `bench/perf/run.sh` (which builds a Release tree and runs `bench/perf/perf.py`); "
             "rerun it to refresh every figure here. Everything above \"Observations\" is generated.")
    L.append("")
    L.append("## Targets")
    L.append("")
    for c in recorders:
        table, met, total = target_table(by, per_repeat, c)
        L.append(f"`{c}` ({meta['labels'][c]}): {met} of {total} targets met" +
                 (f" in the median of {len(per_repeat)} runs per workload." if len(per_repeat) > 1 else "."))
        L.append("")
        L.extend(table)
        L.append("")
    L.append("CPU figures include what the capture adds to the X server (see Conditions). Frame size: "
             f"{SCREEN_W}×{SCREEN_H}×4 = {FRAME_BYTES:,} bytes.")
    L.append("")
    L.append("## Recorder and ffmpeg side by side")
    L.append("")
    for c in recorders:
        if len(recorders) > 1:
            L.append(f"### `{c}` ({meta['labels'][c]})")
            L.append("")
        L.append("| Workload | rec CPU s (process + X) | ffmpeg CPU s (process + X) | CPU ratio | rec file MB | "
                 "ffmpeg file MB | file ratio | rec peak MiB | rec steady % of a core (process + X) | "
                 "ffmpeg steady % | rec frames / ticks (ticks without a frame; longest gap ms) | ffmpeg frames (dup/drop) |")
        L.append("|---|---|---|---|---|---|---|---|---|---|---|---|")
        for w in WORKLOADS:
            rec, ff = by.get((w.name, c)), by.get((w.name, "ffmpeg"))
            if not (rec and ff):
                continue
            missing = (f"{rec['frames']} / {rec['ticks']} ({rec['ticks_without_frame']}; {rec['longest_gap_ms']:.0f})"
                       if w.every_tick else f"{rec['frames']}")
            L.append(
                f"| {w.name} | {rec['cpu_total']:.3f} ({rec['cpu']:.3f} {rec['x_total']:+.3f}) | "
                f"{ff['cpu_total']:.2f} ({ff['cpu']:.2f} {ff['x_total']:+.2f}) | {ratio(rec['cpu_total'], ff['cpu_total'])} | "
                f"{rec['bytes'] / 1e6:.2f} | {ff['bytes'] / 1e6:.2f} | {ratio(rec['bytes'], ff['bytes'])} | "
                f"{mib(rec['hwm_kib']):.1f} | {100 * rec['steady_share']:.2f} ({100 * rec['proc_steady_share']:.2f} "
                f"{100 * rec['x_steady'] / rec['steady_seconds']:+.2f}) | {100 * ff['steady_share']:.1f} | {missing} | "
                f"{ff['frames']} ({ff['dup']}/{ff['drop']}) |")
        L.append("")
    L.append(f"ffmpeg's peak memory: " + ", ".join(f"{w.name} {mib(by[(w.name, 'ffmpeg')]['hwm_kib']):.0f} MiB"
                                                  for w in WORKLOADS if (w.name, "ffmpeg") in by) + ".")
    L.append("")
    if len(recorders) > 1:
        a, b = recorders
        L.append(f"## `{b}` against `{a}`")
        L.append("")
        L.append(f"Ratios {b} / {a} (below 1: {b} uses less).")
        L.append("")
        L.append("| Workload | CPU s (process + X) | ratio | steady % of a core | ratio | file MB | ratio | peak MiB | "
                 "ticks without a frame |")
        L.append("|---|---|---|---|---|---|---|---|---|")
        for w in WORKLOADS:
            ra, rb = by.get((w.name, a)), by.get((w.name, b))
            if not (ra and rb):
                continue
            L.append(f"| {w.name} | {ra['cpu_total']:.3f} → {rb['cpu_total']:.3f} | {ratio(rb['cpu_total'], ra['cpu_total'])} | "
                     f"{100 * ra['steady_share']:.2f} → {100 * rb['steady_share']:.2f} | "
                     f"{ratio(rb['steady_share'], ra['steady_share'])} | {ra['bytes'] / 1e6:.2f} → {rb['bytes'] / 1e6:.2f} | "
                     f"{ratio(rb['bytes'], ra['bytes'])} | {mib(ra['hwm_kib']):.1f} → {mib(rb['hwm_kib']):.1f} | "
                     + (f"{ra['ticks_without_frame']} → {rb['ticks_without_frame']}" if w.every_tick else "") + " |")
        L.append("")
    L.extend(cond_section(args, meta, by, captures, runs))
    L.append("## Where the recorder's CPU goes, by thread")
    L.append("")
    L.append("CPU seconds of each recorder thread over the capture (to the stop signal), and the X server's added "
             "CPU beside them.")
    L.append("")
    for c in recorders:
        names = []
        for w in WORKLOADS:
            for n in by.get((w.name, c), {}).get("threads", {}):
                if n not in names:
                    names.append(n)
        if not names:
            continue
        if len(recorders) > 1:
            L.append(f"`{c}`:")
            L.append("")
        L.append("| Workload | " + " | ".join(names) + " | X server + |")
        L.append("|---|" + "---|" * (len(names) + 1))
        for w in WORKLOADS:
            r = by.get((w.name, c))
            if r:
                L.append(f"| {w.name} | " + " | ".join(f"{r['threads'].get(n, 0):.3f}" for n in names) +
                         f" | {r['x_total']:+.3f} |")
        L.append("")
    L.append("## What the recorder wrote")
    L.append("")
    L.append("Records by type (copy records appear once the recorder writes them), the bytes of the screen "
             "updates per frame, and the whole screens the writer adds by itself (keyframes).")
    L.append("")
    L.append("| Recorder | Workload | frames | records | update KB per frame | keyframe MB | file MB | read |")
    L.append("|---|---|---|---|---|---|---|---|")
    for c in recorders:
        for w in WORKLOADS:
            r = by.get((w.name, c))
            if not r:
                continue
            recs = ", ".join(f"{k} {v}" for k, v in sorted(r["records"].items())
                             if k not in ("header", "done") and not k.startswith("footer"))
            L.append(f"| `{c}` | {w.name} | {r['frames']} | {recs} | {r['image_bytes'] / max(1, r['frames']) / 1e3:.1f} | "
                     f"{r['keyframe_bytes'] / 1e6:.2f} | {r['bytes'] / 1e6:.2f} | {r['read']} |")
    L.append("")
    if latency:
        L.append("## Damage-to-record latency")
        L.append("")
        L.append(f"A 200x200 window filled with a new colour every 137 ms (x-workload latency, {args.seconds:g} s); "
                 "the time from the fill (taken after the client's round trip, so the server has done it) to the "
                 "timestamp of the first frame after which the replayed screen shows that colour. Wall-clock "
                 "figures: they grow with the machine's load. Not among the targets; a change should not make it worse.")
        L.append("")
        L.append("| Recorder | fills | seen in the recording | p50 ms | p99 ms | max ms | load average |")
        L.append("|---|---|---|---|---|---|---|")
        for c, a in latency.items():
            L.append(f"| `{c}` | {a['fills_logged']} | {a['fills_seen']} | {a['latency_ms']['p50']:.1f} | "
                     f"{a['latency_ms']['p99']:.1f} | {a['latency_ms']['max']:.1f} | {a['load']} |")
        L.append("")
        L.append("(Fills closer together than a tick can be merged into one frame, so a few are never seen.)")
        L.append("")
    if replay:
        L.append("## Replay and export")
        L.append("")
        L.append(f"The full-screen workload's recording (`recorder`): {replay['bytes'] / 1e6:.1f} MB, "
                 f"{replay['images']} image records over {replay['seconds_recorded']:.1f} s. Wall-clock times "
                 f"(load average after: {replay['load']}).")
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
    if prof:
        L.append("## Profiles")
        L.append("")
        L.append(f"`perf record -F 999 -g` of `recorder` for {args.profile_seconds:g} s after its first {START_UP:g} s: "
                 "the samples by thread (comm) and object (2% or more), then by symbol (3% or more; libraries without "
                 "symbols show addresses). `finish_task_switch` and `_raw_spin_unlock_irqrestore` in the kernel are "
                 "where a thread that was woken up is charged for the switch: a thread woken very often shows them.")
        L.append("")
        for name, lines in prof.items():
            if not lines:
                continue
            L.append(f"{name}:")
            L.append("")
            L.append("```")
            L.extend(lines)
            L.append("```")
            L.append("")
    findings = os.path.join(os.path.dirname(os.path.abspath(__file__)), "findings.md")
    if os.path.exists(findings):
        L.append(open(findings).read().rstrip())
        L.append("")
    L.append("## Raw figures")
    L.append("")
    L.append("Per run: CPU samples at the capture's start, after its start-up, at its stop signal and after its "
             "exit (`t` monotonic s, `x` X server, `w` workload client, `c` capture, CPU s).")
    L.append("")
    L.append("```json")
    L.append(json.dumps({"runs": runs, "latency": latency, "replay": replay}, default=str))
    L.append("```")
    L.append("")
    # The figures of searching, of the browser player and of the shipper come from
    # bench/zel, bench/player/run.sh and bench/ship/run.sh, kept by hand.
    for bench in ("zel", "player", "ship"):
        findings = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", bench, "findings.md")
        if os.path.exists(findings):
            L.append(open(findings).read().rstrip())
            L.append("")
    return "\n".join(L)


# ---------------------------------------------------------------- main

def run_all(args, tools, captures, outdir):
    cache_path = os.path.join(outdir, "runs.json")
    cache = json.load(open(cache_path)) if args.reuse and os.path.exists(cache_path) else []
    runs = []
    redo = set(filter(None, (args.redo or "").split(",")))
    workloads = [w for w in WORKLOADS if not args.only or w.name in args.only.split(",")]
    for w in workloads:
        seconds = args.fullscreen_seconds if w.long else args.seconds
        for rep in range(args.repeat):
            for capture in ["none"] + captures:
                done = [r for r in cache if r["workload"] == w.name and r["capture"] == capture
                        and r.get("repeat", 0) == rep and w.name not in redo]
                if done:
                    runs.append(done[0])
                    continue
                print(f"[perf] {w.name} / {capture} ({seconds:g} s, load {loadavg()}) ...", file=sys.stderr, flush=True)
                try:
                    r = measure(tools, w, capture, seconds, outdir, rep)
                except Exception as e:  # one failed run must not lose the others
                    print(f"[perf]   failed: {e}", file=sys.stderr, flush=True)
                    continue
                r["repeat"] = rep
                brief = {k: r[k] for k in ("cpu", "bytes", "hwm_kib", "frames", "ticks_without_frame") if k in r}
                print(f"[perf]   {json.dumps(brief)}", file=sys.stderr, flush=True)
                runs.append(r)
                with open(cache_path, "w") as fh:
                    json.dump(runs + [c for c in cache if c not in runs and c["workload"] not in redo], fh)
    # Saved runs of workloads left out by --only stay in the report.
    names = {w.name for w in workloads}
    return runs + [c for c in cache if c["workload"] not in names]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--recorder", required=True, help="the recorder to measure")
    ap.add_argument("--recorder-b", help="a second recorder binary, measured in the same run (before/after)")
    ap.add_argument("--label-a", default=None, help="what --recorder is (build, commit), for the report")
    ap.add_argument("--label-b", default=None, help="what --recorder-b is")
    ap.add_argument("--zeldump", required=True)
    ap.add_argument("--helper", required=True)
    ap.add_argument("--workload", required=True)
    ap.add_argument("--analyze", required=True)
    ap.add_argument("--seconds", type=float, default=15, help="capture length per workload (default 15)")
    ap.add_argument("--fullscreen-seconds", type=float, default=None,
                    help="capture length of the full-screen workload (default 4 x --seconds, so 60)")
    ap.add_argument("--repeat", type=int, default=1, help="runs per workload and capture; medians are reported")
    ap.add_argument("--only", help="comma-separated workload names: " + ",".join(w.name for w in WORKLOADS))
    ap.add_argument("--skip", default="", help="comma-separated phases to skip: compare,latency,replay,profile")
    ap.add_argument("--profile", default="scrolling,terminal-ls,fullscreen", help="workloads to profile the recorder on")
    ap.add_argument("--profile-seconds", type=float, default=10)
    ap.add_argument("--output", required=True)
    ap.add_argument("--keep", help="keep recordings and the figures (runs.json, results.json) in this directory")
    ap.add_argument("--reuse", action="store_true",
                    help="with --keep: reuse the runs found in runs.json, and the latency, replay and profile figures "
                    "of results.json for the phases skipped")
    ap.add_argument("--redo", help="with --reuse: measure these workloads again (comma-separated), e.g. the "
                    "wall-clock bound full-screen one once the machine is quiet")
    ap.add_argument("--report-only", action="store_true",
                    help="with --keep: write the report from the figures saved there (results.json), measuring nothing")
    args = ap.parse_args()
    if args.fullscreen_seconds is None:
        args.fullscreen_seconds = 4 * args.seconds
    if args.seconds <= START_UP + 1:
        ap.error(f"--seconds must be more than {START_UP + 1:g}")
    outdir = os.path.abspath(args.keep or tempfile.mkdtemp(prefix="pelk-perf-"))
    os.makedirs(outdir, exist_ok=True)
    tools = {"recorder": args.recorder, "recorder-b": args.recorder_b, "zeldump": args.zeldump,
             "helper": args.helper, "workload": args.workload, "analyze": args.analyze, "outdir": outdir}
    skip = set(filter(None, args.skip.split(",")))
    results_path = os.path.join(outdir, "results.json")
    if args.report_only:
        saved = json.load(open(results_path))
        runs, latency, replay, prof, meta = (saved[k] for k in ("runs", "latency", "replay", "profile", "meta"))
    else:
        meta = {"started": datetime.datetime.now(datetime.timezone.utc).isoformat(), "load_before": loadavg(),
                "seconds": args.seconds, "fullscreen_seconds": args.fullscreen_seconds, "repeat": args.repeat,
                "profile_seconds": args.profile_seconds,
                "labels": {"recorder": args.label_a or os.path.abspath(args.recorder),
                           "recorder-b": (args.label_b or os.path.abspath(args.recorder_b)) if args.recorder_b else None}}
        captures = ["recorder"] + (["recorder-b"] if args.recorder_b else []) + ["ffmpeg"]
        saved = json.load(open(results_path)) if args.reuse and os.path.exists(results_path) else {}
        if saved:
            meta["started"], meta["load_before"] = saved["meta"]["started"], saved["meta"]["load_before"]
        runs = run_all(args, tools, captures, outdir) if "compare" not in skip else []
        latency = saved.get("latency") or {}
        if "latency" not in skip:
            latency = {}
            for c in captures[:-1]:
                print(f"[perf] latency / {c} ...", file=sys.stderr, flush=True)
                try:
                    latency[c] = measure_latency(tools, c, args.seconds, outdir)
                except Exception as e:
                    print(f"[perf]   failed: {e}", file=sys.stderr, flush=True)
        replay = saved.get("replay")
        rec_file = os.path.join(outdir, "fullscreen.recorder.zel")
        if "replay" not in skip and os.path.exists(rec_file):
            print("[perf] replay ...", file=sys.stderr, flush=True)
            try:
                replay = measure_replay(tools, rec_file, outdir)
            except Exception as e:
                print(f"[perf]   failed: {e}", file=sys.stderr, flush=True)
        prof = saved.get("profile") or {}
        if "profile" not in skip:
            prof = {}
            for name in filter(None, args.profile.split(",")):
                w = next(w for w in WORKLOADS if w.name == name)
                print(f"[perf] profile / {name} ...", file=sys.stderr, flush=True)
                try:
                    prof[name] = profile(tools, w, args.profile_seconds, outdir)
                except Exception as e:  # the figures measured so far still make a report
                    print(f"[perf]   failed: {e}", file=sys.stderr, flush=True)
        busy = [r["machine_busy_cores"] for r in runs if r["capture"] != "none"] or [0]
        meta.update(load_after=loadavg(), busy_min=min(busy), busy_max=max(busy), busy_mean=statistics.mean(busy))
        with open(results_path, "w") as fh:
            json.dump({"runs": runs, "latency": latency, "replay": replay, "profile": prof, "meta": meta}, fh)
    for k in ("seconds", "fullscreen_seconds", "repeat", "profile_seconds"):
        setattr(args, k, meta[k])
    text = report(args, runs, latency, replay, prof, meta)
    with open(args.output, "w") as fh:
        fh.write(text)
    print(f"[perf] wrote {args.output}", file=sys.stderr)
    if not args.keep:
        shutil.rmtree(outdir, ignore_errors=True)


if __name__ == "__main__":
    # A stop signal unwinds like an exception, so every display and workload
    # started so far is stopped by the same code that stops them normally.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    main()
