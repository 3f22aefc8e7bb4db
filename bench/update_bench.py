#!/usr/bin/env python3
"""Prints how close a whole update comes to the wire's limit: the real
pelupdate against the simulated adapter library (real clock, latency
model), device programming each block in 5 ms. Figures for three adapters
side by side: one that takes the updater's lowered latency timer, one that
ignores the call (the 16 ms default stays), and one without any latency.
Also the time from start to the prompt and the load-and-check time of a
5,000,000-byte file.

Usage: bench/update_bench.py BUILD_DIR [--blocks 64 1024]
"""
import argparse
import fcntl
import os
import pty
import resource
import shutil
import subprocess
import tempfile
import termios
import time

LIMIT_MS_PER_BLOCK = 1026 * 10 * 1000 / 115200  # the four legs on the wire
PROGRAM_MS = 5

CONFIGS = [
    ("latency timer 2 ms (as set)", ""),
    ("latency call ignored (16 ms)", "latency_call off\n"),
    ("no latency model", "latency_model off\n"),
]


def run_update(build, folder, scenario, answer=b"y", stdout_to_pty=False):
    with open(os.path.join(folder, "scenario.txt"), "w") as f:
        f.write(scenario)
    env = dict(os.environ, PELSIM_SCENARIO="scenario.txt",
               LD_LIBRARY_PATH=os.path.join(build, "sim"))
    master, slave = pty.openpty()
    out = slave if stdout_to_pty else open(os.path.join(folder, "out.txt"), "wb")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    proc = subprocess.Popen([os.path.join(build, "pelupdate")], cwd=folder, env=env, stdin=slave,
                            stdout=out, stderr=slave, start_new_session=True,
                            preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
    os.close(slave)
    prompt_s = None
    if stdout_to_pty:
        seen = b""
        while b"(Y or N)?" not in seen:
            seen += os.read(master, 4096)
        prompt_s = time.monotonic() - start
    else:
        while termios.tcgetattr(master)[3] & termios.ICANON:
            time.sleep(0.005)
    os.write(master, answer)
    if stdout_to_pty:
        try:
            while os.read(master, 4096):
                pass
        except OSError:
            pass
    proc.wait()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    os.close(master)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return prompt_s, cpu


def block_phase_ms(folder):
    """From the first block's write to the last reply's arrival."""
    first = last = None
    for line in open(os.path.join(folder, "scenario.txt.log")):
        start, end, name, rest = line.split(" ", 3)
        if name == "FT_Write" and rest.startswith("n=512") and first is None:
            first = float(start)
        if name == "FT_Read" and rest.startswith("n=1 -> 0 moved=1 80"):
            last = float(end)
    return last - first


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--blocks", type=int, nargs="+", default=[64, 1024])
    a = p.parse_args()
    build = os.path.abspath(a.build)
    folder = tempfile.mkdtemp(prefix="pel-bench-")
    try:
        print(f"{'blocks':>6}  {'adapter':<30} {'measured':>10} {'limit':>10} {'ratio':>6} {'CPU/block':>10}")
        for blocks in a.blocks:
            with open(os.path.join(folder, "payload.bin"), "wb") as f:
                f.write(os.urandom(blocks * 512))
            subprocess.run([os.path.join(build, "pelfwu"), "pack", "payload.bin", "2.0", "--force"],
                           cwd=folder, check=True)
            limit = blocks * (LIMIT_MS_PER_BLOCK + PROGRAM_MS)
            for label, extra in CONFIGS:
                _, cpu = run_update(build, folder, f"program_ms {PROGRAM_MS}\nerase_ms 100\n" + extra)
                measured = block_phase_ms(folder)
                print(f"{blocks:>6}  {label:<30} {measured / 1000:>9.2f}s {limit / 1000:>9.2f}s "
                      f"{measured / limit:>6.3f} {cpu * 1000 / blocks:>8.3f}ms", flush=True)
        prompt, _ = run_update(build, folder, "restart_ms 0\n", answer=b"n", stdout_to_pty=True)
        print(f"start to prompt, device answering the handshake at once: {prompt * 1000:.0f} ms")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    subprocess.run([os.path.join(build, "bench", "image_load_bench"), "10"], check=True)


if __name__ == "__main__":
    main()
