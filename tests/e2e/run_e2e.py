#!/usr/bin/env python3
"""End-to-end: the real updater executable against the simulated unit on a pseudo-terminal.

The simulator serves the unit on a pty and links it as $BRIVANTA_COM_DIR/COMn; the updater finds
it by detection, updates it and waits for a key, which comes from standard input. The test checks
the whole console transcript, the exit status and the images the unit received.

Usage: run_e2e.py --updater PATH --simulator PATH --firmware-dir DIR SCENARIO
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected  # noqa: E402


def scenario_tx_full(fw):
    """A whole TX update at 115200 baud on COM1 (about three minutes of real time)."""
    return dict(port=1, simulator=["--kind", "tx", "--baud", "115200"], status=0,
                transcript=expected.full_update("tx", 1, 115200, fw), images=["tx", "controller"])


def scenario_unit_not_ready(fw):
    """The unit never answers "Ready" to the logic upload command."""
    head = (expected.banner() + expected.detected(1, 115200) +
            expected.versions((1, 2, 0), "XC7A15", (1, 5), 9) + expected.identified("tx"))
    return dict(port=1, simulator=["--kind", "tx", "--fault", "no-ready-logic"], status=1,
                transcript=head + "Preparing to Upload Programmable Logic ............ "
                "FAILED [Unit not ready]\r\n" + expected.UPDATE_FAILED + expected.KEY_PROMPT,
                images=[])


def scenario_unknown_device(fw):
    """The unit reports another logic device (code 3): nothing is uploaded."""
    head = expected.banner() + expected.detected(1, 9600)
    return dict(port=1,
                simulator=["--kind", "rx", "--baud", "9600", "--version-reply",
                           "1.2.0 XC7A75 1.5 3\\r\\n>>"],
                status=1,
                transcript=head + expected.versions((1, 2, 0), "XC7A75", (1, 5), 3) +
                "Checking product .......... FAILED, Unknown product\r\n" +
                expected.UPDATE_FAILED + expected.KEY_PROMPT,
                images=[])


def scenario_hang_up(fw):
    """The unit hangs up in the middle of the logic image: the transfer fails, the run ends."""
    head = (expected.banner() + expected.detected(1, 115200) +
            expected.versions((1, 2, 0), "XC7A15", (1, 5), 9) + expected.identified("tx") +
            "Preparing to Upload Programmable Logic ............ OK\r\n"
            "Sending Programmable Logic data ................... 1%")
    return dict(port=1, simulator=["--kind", "tx", "--fault", "hang-up",
                                   "--hang-up-after-bytes", "30000"],
                status=1, head=head, ending="FAILED\r\n" + expected.UPDATE_FAILED +
                expected.KEY_PROMPT, images=None)


def scenario_flood(fw):
    """The unit floods the first probe with over 1 MiB and no pause: detection gives up on it,
    the operator names the port, and an unknown device ends the run."""
    transcript = (expected.banner() + "FAILED\n\r\n\rEnter the COM port number : "
                  "\r\nOpening COM1....................OK\r\n"
                  "\n\r\n\rEnter the BAUD RATE       : "
                  "\r\nSetting baud rate at 115200..........OK\r\n" +
                  expected.versions((1, 2, 0), "XC7A75", (1, 5), 3) +
                  "Checking product .......... FAILED, Unknown product\r\n" +
                  expected.UPDATE_FAILED + expected.KEY_PROMPT)
    return dict(port=1, simulator=["--kind", "tx", "--fault", "flood", "--version-reply",
                                   "1.2.0 XC7A75 1.5 3\\r\\n>>"],
                input=b"1\n115200\n\r", status=1, transcript=transcript, images=[])


SCENARIOS = {
    "tx_full": scenario_tx_full,
    "unit_not_ready": scenario_unit_not_ready,
    "unknown_device": scenario_unknown_device,
    "hang_up": scenario_hang_up,
    "flood": scenario_flood,
}


def start_simulator(simulator, args, link, save_dir):
    process = subprocess.Popen([simulator, "--link", link, "--save-dir", save_dir,
                                "--timeout-s", "600"] + args,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    deadline = time.monotonic() + 10
    while not os.path.islink(link):
        if process.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("the simulator did not start: %s" % process.stdout.read())
        time.sleep(0.02)
    return process


def show_difference(want, got):
    for index, (a, b) in enumerate(zip(want, got)):
        if a != b:
            print("first difference at character %d" % index)
            print("expected: %r" % want[max(0, index - 80):index + 80])
            print("received: %r" % got[max(0, index - 80):index + 80])
            return
    print("lengths differ: expected %d, received %d" % (len(want), len(got)))
    print("tail expected: %r" % want[-160:])
    print("tail received: %r" % got[-160:])


def received_images(save_dir):
    names = sorted(n for n in os.listdir(save_dir) if n.startswith("image-") and n.endswith(".bin"))
    names.sort(key=lambda n: int(n[len("image-"):-len(".bin")]))
    images = []
    for name in names:
        with open(os.path.join(save_dir, name), "rb") as f:
            images.append(f.read())
    return images


def run(args):
    case = SCENARIOS[args.scenario](args.firmware_dir)
    with tempfile.TemporaryDirectory() as work:
        com_dir = os.path.join(work, "com")
        save_dir = os.path.join(work, "received")
        os.makedirs(com_dir)
        os.makedirs(save_dir)
        simulator = start_simulator(args.simulator, case["simulator"],
                                    os.path.join(com_dir, "COM%d" % case["port"]), save_dir)
        try:
            env = dict(os.environ, BRIVANTA_COM_DIR=com_dir)
            started = time.monotonic()
            updater = subprocess.run([args.updater], input=case.get("input", b"\r"),
                                     stdout=subprocess.PIPE,
                                     env=env, timeout=400)
            elapsed = time.monotonic() - started
        finally:
            simulator.terminate()
            simulator.wait(timeout=10)
        transcript = updater.stdout.decode("latin-1")
        print("%s: exit status %d after %.1f s" % (args.scenario, updater.returncode, elapsed))
        failures = []
        if updater.returncode != case["status"]:
            failures.append("exit status %d, expected %d" % (updater.returncode, case["status"]))
        if "transcript" in case and transcript != case["transcript"]:
            show_difference(case["transcript"], transcript)
            failures.append("the console transcript differs")
        # Where the exact middle depends on the line's timing, the start and the end must hold.
        if "head" in case and not transcript.startswith(case["head"]):
            show_difference(case["head"], transcript[:len(case["head"])])
            failures.append("the console transcript begins otherwise")
        if "ending" in case and not transcript.endswith(case["ending"]):
            show_difference(case["ending"], transcript[-len(case["ending"]):])
            failures.append("the console transcript ends otherwise")
        controller, tx, rx = expected.images(args.firmware_dir)
        flats = {"controller": controller, "tx": tx, "rx": rx}
        want_images = [flats[name] for name in case["images"] or []]
        got_images = received_images(save_dir)
        if case["images"] is not None and got_images != want_images:
            failures.append("the unit received %s, expected %s" % (
                [len(i) for i in got_images], [len(i) for i in want_images]))
        for failure in failures:
            print("FAILED: " + failure)
        return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--updater", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--firmware-dir", required=True)
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    return run(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
