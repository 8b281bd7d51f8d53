#!/usr/bin/env python3
"""End-to-end under Wine: the Windows executables against the simulated unit on a pseudo-terminal.

Every scenario gets a fresh Wine prefix in which COM1 to COM32 are all defined: the unit's port
leads to the simulator's pty (through the simulator's --link symlink) and every other one to a
directory, which Windows refuses to open as a port, so it counts as absent. Left undefined, Wine
would map COMn to the host's /dev/ttyS(n-1), and the host's own ports would leak into the run.

Standard input is a pty of its own, the operator's keyboard: Wine's _getch reads the console,
never a pipe, so a key written to a pipe would not end the last wait. Standard output goes to a
file, never a pipe: the Wine server started by the run would keep a pipe open after the program
ends. The Wine server of the prefix is killed at the end of every scenario.

The transcripts expected are the same ones the native end-to-end tests check (tests/e2e).

Usage: run_wine_e2e.py --windows-dir DIR --simulator PATH --native-web-package PATH
                       --firmware-dir DIR SCENARIO
Exit status 0 passed, 1 failed, 77 skipped (Windows executables or Wine missing).
"""
import argparse
import os
import pty
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import expected  # noqa: E402
import run_e2e  # noqa: E402

SKIP = 77
PORT_COUNT = 32
UPDATER_EXE = "BrivantaFwUpgrade.exe"
WEB_PACKAGE_EXE = "BrivantaFwWebPackage.exe"
STATUS_SETUP_FAILED = 255  # -1 as the process exit status


def scenario_tx_full(fw):
    """A whole TX update at 115200 baud on COM1 (about three minutes of real time)."""
    return run_e2e.scenario_tx_full(fw)


def scenario_rx_full_com3(fw):
    """A whole RX update at 9600 baud on COM3, with COM1 and COM2 absent."""
    return dict(port=3, simulator=["--kind", "rx", "--baud", "9600"], status=0,
                transcript=expected.full_update("rx", 3, 9600, fw), images=["rx", "controller"])


def scenario_unit_not_ready(fw):
    """The unit never answers "Ready": the update fails with status 1."""
    return run_e2e.scenario_unit_not_ready(fw)


def scenario_setup_failed(fw):
    """No port answers; the operator types a port that does not exist: status -1."""
    return dict(port=None, simulator=None, status=STATUS_SETUP_FAILED,
                entries=[("Enter the COM port number : ", b"7\r")],
                transcript=expected.banner() + "FAILED\n\r\n\rEnter the COM port number : "
                "\r\nOpening COM7....................ERROR: Opening COM7 failed !" +
                expected.KEY_PROMPT,
                images=[])


UPDATER_SCENARIOS = {
    "tx_full": scenario_tx_full,
    "rx_full_com3": scenario_rx_full_com3,
    "unit_not_ready": scenario_unit_not_ready,
    "setup_failed": scenario_setup_failed,
}


class WinePrefix:
    """A fresh prefix whose COM1..COM32 are the unit's link or absent; its server dies with it."""

    def __init__(self, work, unit_port, unit_link):
        self.path = os.path.join(work, "prefix")
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all")
        self.log = open(os.path.join(work, "wine.log"), "wb")
        try:
            self._make(work, unit_port, unit_link)
        except BaseException:
            self.close()
            raise

    def _make(self, work, unit_port, unit_link):
        absent = os.path.join(work, "absent-port")
        os.makedirs(absent)
        self._wine(["wineboot", "-i"])
        ports = os.path.join(work, "ports.reg")
        with open(ports, "w") as f:
            f.write("Windows Registry Editor Version 5.00\n\n")
            f.write("[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n")
            for n in range(1, PORT_COUNT + 1):
                target = unit_link if n == unit_port else absent
                f.write('"COM%d"="%s"\n' % (n, target))
        self._wine(["wine", "reg", "import", ports])
        # The port table is read when a session starts: end this one so the next one sees it.
        self._wine(["wineserver", "-w"])

    def _wine(self, command):
        subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL, stdout=self.log,
                       stderr=subprocess.STDOUT, check=True, timeout=300)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=self.log,
                       stderr=subprocess.STDOUT, timeout=60)
        self.log.close()


class Keyboard:
    """A pty on the program's standard input; keys are typed into its other end."""

    def __init__(self):
        self.master, self.slave = pty.openpty()

    def type(self, keys):
        os.write(self.master, keys)

    def close(self):
        os.close(self.master)
        os.close(self.slave)


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def wait_for_output_end(process, output_path, text, timeout):
    """Waits until the output ends with `text` while the program still runs; False if it ended
    (or the time ran out) first."""
    want = text.encode("latin-1")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if read_file(output_path).endswith(want):
            time.sleep(0.5)  # the program must still be waiting, not just finishing
            return process.poll() is None
        if process.poll() is not None:
            return False
        time.sleep(0.1)
    return False


def run_under_wine(prefix, exe, cwd, work, entries, timeout):
    """Runs one Windows program; `entries` are (text the program waits after, keys typed).
    Returns (exit status, console transcript, failures)."""
    output_path = os.path.join(work, "console.out")
    failures = []
    keyboard = Keyboard()
    try:
        with open(output_path, "wb") as output:
            process = subprocess.Popen(["wine", exe], cwd=cwd, env=prefix.env,
                                       stdin=keyboard.slave, stdout=output, stderr=prefix.log,
                                       start_new_session=True)
        try:
            for text, keys in entries:
                if not wait_for_output_end(process, output_path, text, timeout):
                    failures.append("the program did not wait for input after %r" % text)
                    break
                keyboard.type(keys)
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            status = process.wait()
            failures.append("no exit within %d s" % timeout)
    finally:
        keyboard.close()
    return status, read_file(output_path).decode("latin-1"), failures


def check_updater_run(case, status, transcript, save_dir, fw):
    failures = []
    if status != case["status"]:
        failures.append("exit status %d, expected %d" % (status, case["status"]))
    if transcript != case["transcript"]:
        run_e2e.show_difference(case["transcript"], transcript)
        failures.append("the console transcript differs")
    controller, tx, rx = expected.images(fw)
    flats = {"controller": controller, "tx": tx, "rx": rx}
    want_images = [flats[name] for name in case["images"]]
    got_images = run_e2e.received_images(save_dir)
    if got_images != want_images:
        failures.append("the unit received %s, expected %s" % (
            [len(i) for i in got_images], [len(i) for i in want_images]))
    return failures


def run_updater_scenario(args, work):
    case = UPDATER_SCENARIOS[args.scenario](args.firmware_dir)
    save_dir = os.path.join(work, "received")
    os.makedirs(save_dir)
    link = os.path.join(work, "unit-port")
    prefix = WinePrefix(work, case["port"], link)
    simulator = None
    try:
        if case["simulator"] is not None:
            simulator = run_e2e.start_simulator(args.simulator, case["simulator"], link, save_dir)
        entries = case.get("entries", []) + [(expected.KEY_PROMPT, b"\r")]
        started = time.monotonic()
        status, transcript, failures = run_under_wine(
            prefix, os.path.join(args.windows_dir, UPDATER_EXE), work, work, entries, 400)
        print("%s: exit status %d after %.1f s" % (args.scenario, status,
                                                   time.monotonic() - started))
    finally:
        if simulator is not None:
            simulator.terminate()
            simulator.wait(timeout=10)
        prefix.close()
    return failures + check_updater_run(case, status, transcript, save_dir, args.firmware_dir)


def run_web_package_scenario(args, work):
    """The web package written under Wine equals the native one, byte for byte, and replaces an
    older package in its place."""
    native_dir = os.path.join(work, "native")
    windows_dir = os.path.join(work, "windows")
    os.makedirs(native_dir)
    os.makedirs(windows_dir)
    with open(os.path.join(windows_dir, "FwToUpload.bin"), "wb") as old_package:
        old_package.write(b"an older package, longer than nothing\r\n" * 5000)
    native = subprocess.run([args.native_web_package], cwd=native_dir, input=b"\r",
                            stdout=subprocess.PIPE, timeout=120)
    prefix = WinePrefix(work, None, None)
    try:
        status, transcript, failures = run_under_wine(
            prefix, os.path.join(args.windows_dir, WEB_PACKAGE_EXE), windows_dir, work,
            [(expected.KEY_PROMPT, b"\r")], 120)
    finally:
        prefix.close()
    if status != 0 or native.returncode != 0:
        failures.append("exit status %d under Wine, %d native" % (status, native.returncode))
    if transcript.encode("latin-1") != native.stdout:
        failures.append("console output %r under Wine, %r native" % (transcript, native.stdout))
    package = "FwToUpload.bin"
    paths = [os.path.join(d, package) for d in (windows_dir, native_dir)]
    if not all(os.path.isfile(p) for p in paths):
        failures.append("%s missing: %s" % (package, [os.path.isfile(p) for p in paths]))
    elif read_file(paths[0]) != read_file(paths[1]):
        failures.append("%s differs from the native one" % package)
    else:
        print("%s: %d bytes, identical" % (package, len(read_file(paths[0]))))
    return failures


def missing_tools(args):
    exes = [os.path.join(args.windows_dir, n) for n in (UPDATER_EXE, WEB_PACKAGE_EXE)]
    missing = [e for e in exes if not os.path.isfile(e)]
    missing += [t for t in ("wine", "wineboot", "wineserver") if shutil.which(t) is None]
    return missing


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--windows-dir", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--native-web-package", required=True)
    parser.add_argument("--firmware-dir", required=True)
    parser.add_argument("scenario", choices=sorted(UPDATER_SCENARIOS) + ["web_package"])
    args = parser.parse_args()
    missing = missing_tools(args)
    if missing:
        print("SKIPPED: not available: %s (build the windows preset first)" % ", ".join(missing))
        return SKIP
    with tempfile.TemporaryDirectory(prefix="wine-e2e-") as work:
        if args.scenario == "web_package":
            failures = run_web_package_scenario(args, work)
        else:
            failures = run_updater_scenario(args, work)
        if failures:
            print("Wine's own output, last lines:")
            print(read_file(os.path.join(work, "wine.log"))[-2000:].decode("latin-1"))
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
