#!/usr/bin/env python3
"""The update timeline: one whole TX update in real time against the simulated unit on a paced
line, natively and under Wine, set beside the floor that the procedure and the line impose.

For each run it prints:
  floor      the read windows and pauses the procedure prescribes for this run, plus the line
             time of every byte the program sent (10 bit times a byte, 8N1, at its rate); the
             line time of the bytes received is shown too, but it passes inside read windows
             (a read lasts its whole window whatever arrives), so it adds nothing
  wall       spawn of the updater to its key prompt (natively the key waits in its input, so
             the run ends with the prompt)
  transfers  each image's achieved rate at the unit: first to last image byte on the line
  CPU        user + system time of the updater (under Wine: the program's process, the Wine
             server and Wine's helper processes of the run's prefix)
  start-up   spawn to the first byte the unit took from the program (the first probe)
  memory     peak resident set of the updater, beside what its buffers and images need
and, natively, the cost of detection with no port at all (COM1 to COM32 absent, input at its
end). Goals: wall within 0.5% of the floor, each transfer at >= 98% of the line rate, CPU below
0.5% of the wall time, first probe within 20 ms, peak memory within 2 MiB of the requirement,
detection without a port within 50 ms.

A pty cannot hold a write half-way: the simulator holds the program's output while the line is
busy, but each release lets one kernel buffer's worth (some 10 KiB) in at once, and that write
returns while its bytes are still on the line; a real port's write would wait for them. That
overlap is measured from the simulator's log and the floor is shown with and without it.

Usage: update_timeline.py --build-dir DIR [--windows-dir DIR] [--skip-native] [--skip-wine]
"""
import argparse
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "wine"))
import expected  # noqa: E402
import run_e2e  # noqa: E402

MIB = 1024 * 1024
UNIT_PORT = 1
UNIT_BAUD = 115200
TRANSFER_BAUD = 115200

# ---- The procedure -------------------------------------------------------------------------

BAUD_LIST = [115200, 9600, 57600, 4800, 2400, 1200]
PROBES_PER_RATE = 2
DETECTION_WINDOW_MS = 500
IDENTIFICATION_WINDOW_MS = 1000
READY_WINDOW_MS = {"logic": 10000, "controller": 5000}
SUCCESS_WINDOW_MS = 1000
REBOOT_STEPS, REBOOT_STEP_MS = 46, 3000
FIRST_READ_AFTER_REBOOT_MS, LAST_READ_MS = 1000, 11000


def answered(window_ms):
    """A reply collection that is answered: the window the reply arrives in, then the silent
    window that ends it (a short reply never spans two windows)."""
    return 2 * window_ms


def procedure_windows(kind, console_baud):
    """The read windows and pauses of a whole successful update, stage by stage, in ms."""
    unanswered_rates = BAUD_LIST[:BAUD_LIST.index(console_baud)]
    # At a wrong rate the unit hears noise and stays silent: one window per probe.
    probes = len(unanswered_rates) * PROBES_PER_RATE * DETECTION_WINDOW_MS
    # An RX unit is first asked whether it is TX; its answer does not match.
    product_queries = 1 if kind == "tx" else 2
    return [
        ("detection: unanswered probes", probes),
        ("detection: answered probe", answered(DETECTION_WINDOW_MS)),
        ("identification: version query (one read)", IDENTIFICATION_WINDOW_MS),
        ("identification: product query", product_queries * answered(IDENTIFICATION_WINDOW_MS)),
        ("logic image: Ready", answered(READY_WINDOW_MS["logic"])),
        ("logic image: SUCCESS", answered(SUCCESS_WINDOW_MS)),
        ("controller image: Ready", answered(READY_WINDOW_MS["controller"])),
        ("controller image: SUCCESS", answered(SUCCESS_WINDOW_MS)),
        ("reboot wait", REBOOT_STEPS * REBOOT_STEP_MS),
        ("reads after the reboot wait", FIRST_READ_AFTER_REBOOT_MS + LAST_READ_MS),
    ]


# ---- The simulator's log -------------------------------------------------------------------

LOG_LINE = re.compile(r"^\s*(-?[\d.]+) ms  (.*)$")
ESCAPE = re.compile(r"\\(x[0-9A-F]{2}|.)")


def unescape(text):
    names = {"r": "\r", "n": "\n"}
    return ESCAPE.sub(lambda m: chr(int(m.group(1)[1:], 16)) if m.group(1)[0] == "x"
                      else names.get(m.group(1), m.group(1)), text)


def parse_log(path):
    """What the unit saw, on the steady clock: seconds since the clock's origin."""
    log = dict(origin=None, first_bytes=None, bursts=[], sent=[], received=[], images={})
    with open(path) as f:
        for raw in f:
            match = LOG_LINE.match(raw)
            if not match:
                continue
            ms, what = float(match.group(1)), match.group(2)
            if what.startswith("clock origin "):
                log["origin"] = float(what.split()[2])
            elif what.startswith("first bytes from the program") and log["first_bytes"] is None:
                log["first_bytes"] = ms
            elif what.startswith("line: "):
                n, start, end = re.match(r"line: (\d+) bytes taken, on the line from "
                                         r"([\d.]+) to ([\d.]+) ms", what).groups()
                log["bursts"].append(dict(taken=ms, n=int(n), start=float(start), end=float(end)))
            elif what.startswith("rx frame "):
                log["sent"].append(unescape(what[len('rx frame "'):-1]))
            elif what.startswith("tx at "):
                baud, text = re.match(r'tx at (\d+): "(.*)"$', what).groups()
                log["received"].append((int(baud), len(unescape(text))))
            elif what.startswith("image "):
                kind = what[6]
                image = log["images"].setdefault(kind, {})
                if what.endswith("first byte"):
                    image["first"] = ms
                elif " of " in what:
                    image["last"] = ms
                    image["length"] = int(what.split()[2])
    return log


def burst_at(log, taken_ms):
    return next(b for b in log["bursts"] if abs(b["taken"] - taken_ms) < 0.0005)


def transfer_rates(log):
    """Per image: bytes, line ms from its first byte's start bit to its last byte's stop bit."""
    rates = []
    for kind, name in (("l", "logic image"), ("h", "controller image")):
        image = log["images"].get(kind)
        if not image or "last" not in image:
            continue
        start = burst_at(log, image["first"])["start"]
        end = burst_at(log, image["last"])["end"]
        rates.append((name, image["length"], end - start))
    return rates


# A pause on the line longer than this after a write means the program went on to read;
# shorter ones within a transfer are the program a little late to refill the line.
READING_PAUSE_MS = 100


def overlap_ms(log):
    """Line time left when the program's last write before each read returned: what the pty's
    buffer let the program gain over a real port, whose write would have waited for it."""
    bursts = log["bursts"]
    total = 0.0
    for i, burst in enumerate(bursts):
        last = i + 1 == len(bursts) or bursts[i + 1]["start"] > burst["end"] + READING_PAUSE_MS
        if last:
            total += max(0.0, burst["end"] - burst["taken"])
    return total


def line_ms(count, baud):
    return count * 10000.0 / baud


# ---- Runs ------------------------------------------------------------------------------------

class Run:
    """One updater process: spawn time, rusage, wall time to its key prompt."""

    def __init__(self):
        self.spawned = self.prompted = None
        self.status = self.cpu = self.peak = None
        self.helpers_cpu = 0.0
        self.helpers = ""
        self.transcript = ""


# The peak resident set comes from /usr/bin/time: the rusage of a child that Python forks counts
# the fork's copy of Python before the exec. CPU times come from wait4 (finer than time's 10 ms);
# they include /usr/bin/time's own, about a millisecond.
TIME_COMMAND = ["/usr/bin/time", "-f", "%M"]


def timed(command, work):
    return TIME_COMMAND + ["-o", os.path.join(work, "maxrss.txt")] + command


def wait_with_rusage(process, work):
    """Exit status, CPU seconds (user, system) and peak resident bytes of a timed() command."""
    _, status, rusage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    with open(os.path.join(work, "maxrss.txt")) as f:
        peak_kib = int(f.read().split()[-1])
    return process.returncode, (rusage.ru_utime, rusage.ru_stime), peak_kib * 1024


def run_native(updater, com_dir, work):
    run = Run()
    output = os.path.join(work, "console.out")
    env = dict(os.environ, BRIVANTA_COM_DIR=com_dir)
    with open(output, "wb") as out:
        run.spawned = time.monotonic()
        process = subprocess.Popen(timed([updater], work), stdin=subprocess.PIPE, stdout=out,
                                   env=env)
        process.stdin.write(b"\r")  # the last key, there before the prompt asks for it
        process.stdin.close()
        run.status, run.cpu, run.peak = wait_with_rusage(process, work)
        run.prompted = time.monotonic()  # the key is waiting: the run ends with its prompt
    run.transcript = open(output, "rb").read().decode("latin-1")
    return run


def prefix_processes(prefix):
    """(parent pid, CPU seconds user + system, name) of every live process in the prefix."""
    tick = os.sysconf("SC_CLK_TCK")
    cpu = {}
    needle = ("WINEPREFIX=" + prefix).encode() + b"\0"
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if needle not in f.read() + b"\0":
                    continue
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                name = os.path.basename(f.read().split(b"\0")[0].decode(errors="replace"))
            cpu[int(pid)] = (int(fields[1]), (int(fields[11]) + int(fields[12])) / tick, name)
        except OSError:
            continue
    return cpu


def run_wine(exe, prefix, work):
    """The program under Wine until its key prompt; a key then ends it. Wine's helper processes
    are sampled while the run lasts, so that those that end early still count."""
    import run_wine_e2e
    run = Run()
    output = os.path.join(work, "console.out")
    keyboard = run_wine_e2e.Keyboard()
    seen = {}
    try:
        with open(output, "wb") as out:
            run.spawned = time.monotonic()
            process = subprocess.Popen(timed(["wine", exe], work), cwd=work, env=prefix.env,
                                       stdin=keyboard.slave, stdout=out, stderr=prefix.log,
                                       start_new_session=True)
        prompt = expected.KEY_PROMPT.encode("latin-1")
        while not open(output, "rb").read().endswith(prompt):
            if process.poll() is not None:
                break
            seen.update(prefix_processes(prefix.path))
            time.sleep(0.05)
        run.prompted = time.monotonic()
        seen.update(prefix_processes(prefix.path))
        keyboard.type(b"\r")
        run.status, run.cpu, run.peak = wait_with_rusage(process, work)
    finally:
        keyboard.close()
    seen.update(prefix_processes(prefix.path))
    # /usr/bin/time and the program, its child, are counted by wait4.
    helpers = [(cpu, name) for pid, (parent, cpu, name) in seen.items()
               if process.pid not in (pid, parent)]
    run.helpers_cpu = sum(cpu for cpu, _ in helpers)
    run.helpers = ", ".join("%s %.2f s" % (name, cpu) for cpu, name in sorted(helpers)[::-1]
                            if cpu >= 0.01)
    run.transcript = open(output, "rb").read().decode("latin-1")
    return run


def with_simulator(simulator, link, work, action):
    """Runs `action` against a paced simulated TX unit; returns (its result, the unit's log)."""
    save_dir = os.path.join(work, "received")
    os.makedirs(save_dir)
    unit = run_e2e.start_simulator(simulator, ["--kind", "tx", "--baud", str(UNIT_BAUD),
                                               "--pace"], link, save_dir)
    try:
        result = action()
    finally:
        unit.terminate()
        unit.wait(timeout=30)
    return result, parse_log(os.path.join(save_dir, "log.txt"))


# ---- Memory ----------------------------------------------------------------------------------

def memory_requirement(firmware_dir, kind):
    """Bytes a TX or RX update must have resident: (what, bytes) rows."""
    controller, logic = (os.path.join(firmware_dir, expected.IMAGE_FILES[i])
                         for i in (0, 1 if kind == "tx" else 2))
    rows = [("flat image buffer (0xFF-filled: all touched)", 4 * MIB + 16)]
    for name, path in (("controller", controller), ("logic", logic)):
        size = os.path.getsize(path)
        records = open(path, "rb").read().count(b":")
        rows.append(("%s image text, embedded (read once to copy)" % name, size))
        rows.append(("%s working copy (+16)" % name, size + 16))
        rows.append(("%s token table of the split (%d records)" % (name, records),
                     (records + 1) * 8))
    rows.append(("text buffer and reply buffer: pages touched by frames and replies", 2 * 4096))
    return rows


# ---- Report ----------------------------------------------------------------------------------

def pct(part, whole):
    return 100.0 * part / whole if whole else float("nan")


def report_run(label, run, log, firmware_dir):
    wall_s = run.prompted - run.spawned
    windows = procedure_windows("tx", UNIT_BAUD)
    windows_ms = sum(ms for _, ms in windows)
    sent_ms = sum(b["end"] - b["start"] for b in log["bursts"])
    sent_bytes = sum(b["n"] for b in log["bursts"])
    received_ms = sum(line_ms(n, baud) for baud, n in log["received"])
    received_bytes = sum(n for _, n in log["received"])
    floor_s = (windows_ms + sent_ms) / 1000
    gained_s = overlap_ms(log) / 1000
    print("\n== %s ==" % label)
    print("exit status %d; transcript %s" % (run.status, "as expected" if
          run.transcript == expected.full_update("tx", UNIT_PORT, UNIT_BAUD, firmware_dir)
          else "DIFFERS"))
    print("%-52s %12s" % ("floor: read windows and pauses", "ms"))
    for stage, ms in windows:
        print("  %-50s %12.1f" % (stage, ms))
    print("  %-50s %12.1f" % ("line time of %d bytes sent" % sent_bytes, sent_ms))
    print("  %-50s %12.1f" % ("(line time of %d bytes received, in windows)" % received_bytes,
                                received_ms))
    print("  %-50s %12.1f" % ("floor", floor_s * 1000))
    print("  %-50s %12.1f" % ("pty overlap (writes returning early)", gained_s * 1000))
    print("wall time            %9.3f s   floor %9.3f s   wall/floor %.4f   "
          "wall/(floor - overlap) %.4f" % (wall_s, floor_s, wall_s / floor_s,
                                           wall_s / (floor_s - gained_s)))
    line_rate = TRANSFER_BAUD / 10.0
    for name, length, ms in transfer_rates(log):
        rate = length / (ms / 1000)
        print("%-20s %d bytes in %.1f ms on the line: %.1f bytes/s = %.2f%% of %d" % (
            name, length, ms, rate, pct(rate, line_rate), line_rate))
    user, system = run.cpu
    cpu = user + system + run.helpers_cpu
    print("CPU time             %.3f s (user %.3f, system %.3f%s) = %.3f%% of the wall time" % (
        cpu, user, system,
        ", Wine server and helpers %.3f" % run.helpers_cpu if run.helpers_cpu else "",
        pct(cpu, wall_s)))
    if run.helpers:
        print("  Wine's processes:  %s" % run.helpers)
    first_probe_ms = (log["origin"] + log["first_bytes"] / 1000 - run.spawned) * 1000
    print("start-up             %.1f ms from spawn to the first probe's bytes at the unit" %
          first_probe_ms)
    rows = memory_requirement(firmware_dir, "tx")
    need = sum(size for _, size in rows)
    peak = run.peak
    print("peak resident set    %.2f MiB; the buffers and images need %.2f MiB; "
          "the rest %.2f MiB" % (peak / MIB, need / MIB, (peak - need) / MIB))
    for what, size in rows:
        print("  %-66s %9d" % (what, size))
    return dict(wall=wall_s, floor=floor_s, overlap=gained_s, cpu=cpu,
                startup=first_probe_ms, peak=peak, need=need, rates=transfer_rates(log))


def detection_cost(updater, runs):
    """Spawn to "FAILED" on the console, and the whole run, with no port at all."""
    with tempfile.TemporaryDirectory(prefix="timeline-noport-") as empty:
        failed, whole = [], []
        for _ in range(runs):
            env = dict(os.environ, BRIVANTA_COM_DIR=empty)
            started = time.monotonic()
            process = subprocess.Popen([updater], stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, env=env)
            seen = b""
            while b"FAILED" not in seen:
                select.select([process.stdout], [], [], 1)
                chunk = os.read(process.stdout.fileno(), 4096)
                if not chunk:
                    break
                seen += chunk
            failed.append((time.monotonic() - started) * 1000)
            process.stdout.read()
            process.wait()
            whole.append((time.monotonic() - started) * 1000)
    failed.sort()
    whole.sort()
    print("\n== detection with no port (COM1 to COM32 absent), %d runs ==" % runs)
    print("spawn to \"FAILED\": median %.1f ms (best %.1f, worst %.1f); whole run: median %.1f ms"
          % (failed[runs // 2], failed[0], failed[-1], whole[runs // 2]))
    return failed[runs // 2]


def native(args, firmware_dir):
    with tempfile.TemporaryDirectory(prefix="timeline-native-") as work:
        com_dir = os.path.join(work, "com")
        os.makedirs(com_dir)
        link = os.path.join(com_dir, "COM%d" % UNIT_PORT)
        run, log = with_simulator(args.simulator, link, work,
                                  lambda: run_native(args.updater, com_dir, work))
        return report_run("native", run, log, firmware_dir)


def wine(args, firmware_dir):
    import run_wine_e2e
    exe = os.path.join(args.windows_dir, "BrivantaFwUpgrade.exe")
    if not os.path.isfile(exe) or shutil.which("wine") is None:
        print("\n== Wine: SKIPPED (no %s or no wine; build the windows preset) ==" % exe)
        return None
    with tempfile.TemporaryDirectory(prefix="timeline-wine-") as work:
        link = os.path.join(work, "unit-port")
        prefix = run_wine_e2e.WinePrefix(work, UNIT_PORT, link)
        try:
            run, log = with_simulator(args.simulator, link, work,
                                      lambda: run_wine(exe, prefix, work))
        finally:
            prefix.close()
        return report_run("Wine (%s)" % subprocess.run(["wine", "--version"],
                          capture_output=True, text=True).stdout.strip(), run, log,
                          firmware_dir)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True, help="a Release build, no sanitizers")
    parser.add_argument("--windows-dir", default=os.path.join(SOURCE, "build", "windows", "src"))
    parser.add_argument("--skip-native", action="store_true")
    parser.add_argument("--skip-wine", action="store_true")
    parser.add_argument("--detection-runs", type=int, default=11)
    args = parser.parse_args()
    args.updater = os.path.join(args.build_dir, "src", "BrivantaFwUpgrade")
    args.simulator = os.path.join(args.build_dir, "tools", "unit-simulator", "unit-simulator")
    firmware_dir = os.path.join(SOURCE, "firmware")
    print("load before: %s" % open("/proc/loadavg").read().strip())
    if not args.skip_native:
        detection_cost(args.updater, args.detection_runs)
        native(args, firmware_dir)
    if not args.skip_wine:
        wine(args, firmware_dir)
    print("\nload after: %s" % open("/proc/loadavg").read().strip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
