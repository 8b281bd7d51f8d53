#!/usr/bin/env python3
"""Checks of the sample firmware images and of the build step that embeds them.

  SampleImagesRegenerate  the generator gives the committed files byte for byte
  SampleImagesForm        the committed files have exactly the form the updater relies on
  EmbedderChecks          the embedding step refuses broken files, naming file and line

Usage: firmware_images_test.py --source-dir DIR [unittest arguments, e.g. a class name]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = ""
IMAGE_NAMES = ["M614829_MCU_61_V1_02.hex", "M614829_TX_XC7A15_V1_02.mcs",
               "M614829_RX_XC7A15_V1_02.mcs"]
CONTROLLER, TX_LOGIC, RX_LOGIC = IMAGE_NAMES


def firmware_path(name: str) -> str:
    return os.path.join(SOURCE_DIR, "firmware", name)


def read_image(name: str) -> bytes:
    with open(firmware_path(name), "rb") as f:
        return f.read()


def parse_records(text: bytes):
    """(type, address, data) of every record; asserts the record's checksum."""
    records = []
    for line in text[:-2].split(b"\r\n"):
        raw = bytes.fromhex(line[1:].decode("ascii"))
        assert sum(raw) & 0xFF == 0, line
        records.append((raw[3], (raw[1] << 8) | raw[2], raw[4:-1]))
    return records


def assemble(records):
    """The flat image as the updater builds it: (image length, image checksum, covered offsets)."""
    flat = bytearray(b"\xFF" * (4 * 1024 * 1024))
    upper = 0
    length = 0
    covered = []
    for rtype, address, data in records:
        if rtype == 4:
            upper = data[1] << 16
        elif rtype == 0:
            start = upper + address
            flat[start:start + len(data)] = data
            covered.append((start, start + len(data)))
            length = start
    return length, (-sum(flat[:length])) & 0xFFFFFFFF, covered


def merge(ranges):
    merged = []
    for start, end in sorted(ranges):
        if merged and merged[-1][1] == start:
            merged[-1] = (merged[-1][0], end)
        else:
            merged.append((start, end))
    return merged


class SampleImagesRegenerate(unittest.TestCase):
    def test_generator_gives_the_committed_files(self):
        with tempfile.TemporaryDirectory() as out_dir:
            subprocess.run([sys.executable, firmware_path("make_sample_images.py"), out_dir],
                           check=True)
            for name in IMAGE_NAMES:
                with self.subTest(name), open(os.path.join(out_dir, name), "rb") as f:
                    self.assertTrue(f.read() == read_image(name), "%s differs" % name)


class SampleImagesForm(unittest.TestCase):
    EXPECTED = {
        CONTROLLER: dict(chars=255861, records=5689, data_records=5685, ela=[0x8000, 0x8001],
                         first=b":0200000480007A",
                         trailer=[(5, 0, bytes.fromhex("80008008")), (1, 0, b"")],
                         sizes={16: 5683, 12: 1, 4: 1},
                         data=[(0x8000, 0x1AEFC), (0x1B000, 0x1DEE4), (0x1DEE8, 0x1E448)],
                         image=(123960, 4278459187)),
        TX_LOGIC: dict(chars=2625949, records=58365, data_records=58349, ela=list(range(0xF)),
                       first=b":020000040000FA", trailer=[(1, 0, b"")], sizes={16: 58348, 4: 1},
                       data=[(0, 0xE3EC4)], image=(933568, 4281666209)),
        RX_LOGIC: dict(chars=3155785, records=70141, data_records=70122, ela=list(range(0x12)),
                       first=b":020000040000FA", trailer=[(1, 0, b"")], sizes={16: 70121, 4: 1},
                       data=[(0, 0x111E94)], image=(1121936, 4278101494)),
    }

    def check_image(self, name):
        expected = self.EXPECTED[name]
        text = read_image(name)
        self.assertEqual(len(text), expected["chars"])
        self.assertTrue(text.startswith(expected["first"] + b"\r\n"))
        self.assertTrue(text.endswith(b"\r\n:00000001FF\r\n"))
        self.assertEqual(set(text) - set(b":0123456789ABCDEF\r\n"), set())
        lines = text[:-2].split(b"\r\n")
        self.assertTrue(all(b"\r" not in l and b"\n" not in l for l in lines), "bare CR or LF")
        self.assertTrue(all(l.startswith(b":") and l.count(b":") == 1 for l in lines))
        self.assertLessEqual(max(len(l) for l in lines), 43)
        records = parse_records(text)
        self.assertEqual(len(records), expected["records"])
        data = [r for r in records if r[0] == 0]
        self.assertEqual(len(data), expected["data_records"])
        ela = [r for r in records if r[0] == 4]
        self.assertTrue(all(len(r[2]) == 2 and r[1] == 0 for r in ela))
        self.assertEqual([(r[2][0] << 8) | r[2][1] for r in ela], expected["ela"])
        others = [r for r in records if r[0] not in (0, 4)]
        self.assertEqual(others, expected["trailer"])
        self.assertEqual(records[-len(others):], others, "other records stand at the end")
        sizes = {}
        for r in data:
            sizes[len(r[2])] = sizes.get(len(r[2]), 0) + 1
        self.assertEqual(sizes, expected["sizes"])
        self.check_ascending_linear_addresses(records)
        length, checksum, covered = assemble(records)
        self.assertEqual(merge(covered), expected["data"])
        self.assertEqual((length, checksum), expected["image"])

    def check_ascending_linear_addresses(self, records):
        upper = None
        previous_end = -1
        for rtype, address, data in records:
            if rtype == 4:
                upper = (data[0] << 24) | (data[1] << 16)
            elif rtype == 0:
                start = upper + address
                self.assertGreaterEqual(start, previous_end, "data records out of order")
                self.assertLessEqual(address + len(data), 0x10000, "record crosses its window")
                previous_end = start + len(data)

    def test_controller_image(self):
        self.check_image(CONTROLLER)
        records = parse_records(read_image(CONTROLLER))
        self.assertEqual(records[1], (0, 0x8000, bytes.fromhex("481FD7038001517CE08F100000000000")))

    def test_controller_linear_addresses(self):
        records = parse_records(read_image(CONTROLLER))
        upper = [(r[2][0] << 24) | (r[2][1] << 16) for r in records if r[0] == 4]
        self.assertEqual(upper, [0x80000000, 0x80010000])
        last = [r for r in records if r[0] == 0][-1]
        self.assertEqual(0x80010000 + last[1] + len(last[2]) - 1, 0x8001E447)

    def test_tx_logic_image(self):
        self.check_image(TX_LOGIC)

    def test_rx_logic_image(self):
        self.check_image(RX_LOGIC)


SMALL_IMAGE = b":020000040000FA\r\n:0400000001020304F2\r\n:00000001FF\r\n"

# (what is broken, file text, line the error must name; None: the file as a whole)
BROKEN_IMAGES = [
    ("wrong checksum", b":020000040000FA\r\n:0400000001020304F3\r\n:00000001FF\r\n", 2),
    ("lower-case digit", b":020000040000FA\r\n:0400000001020304f2\r\n:00000001FF\r\n", 2),
    ("no start code", b":020000040000FA\r\n0400000001020304F2\r\n:00000001FF\r\n", 2),
    ("bare LF line end", b":020000040000FA\n:0400000001020304F2\r\n:00000001FF\r\n", 1),
    ("data length mismatch", b":020000040000FA\r\n:0500000001020304F1\r\n:00000001FF\r\n", 2),
    ("odd digit count", b":020000040000FA\r\n:0400000001020304F20\r\n:00000001FF\r\n", 2),
    ("short extended linear address", b":0100000400FB\r\n:00000001FF\r\n", 1),
    ("data beyond the 4 MiB image", b":020000040040BA\r\n:0400000001020304F2\r\n:00000001FF\r\n", 2),
    ("record too long", b":020000040000FA\r\n:110000000000000000000000000000000000000000EF\r\n"
     b":00000001FF\r\n", 2),
    ("no end-of-file record", b":020000040000FA\r\n:0400000001020304F2\r\n", 2),
    ("end-of-file record not last", b":00000001FF\r\n:0400000001020304F2\r\n", 2),
    ("empty line", b":020000040000FA\r\n\r\n:00000001FF\r\n", 2),
    ("no CR LF at the end", b":020000040000FA\r\n:00000001FF", None),
]


class EmbedderChecks(unittest.TestCase):
    def run_embedder(self, paths, out_dir):
        embedder = os.path.join(SOURCE_DIR, "src", "firmware", "gen_bin_image.py")
        return subprocess.run([sys.executable, embedder, "--out-dir", out_dir] + paths,
                              capture_output=True, text=True)

    def test_broken_files_fail_naming_file_and_line(self):
        with tempfile.TemporaryDirectory() as tmp:
            small = os.path.join(tmp, "small.hex")
            with open(small, "wb") as f:
                f.write(SMALL_IMAGE)
            for number, (what, text, line) in enumerate(BROKEN_IMAGES):
                # Each case in one slot, the slots in turn: every one of the three is checked.
                position = number % 3
                with self.subTest(what, position=position):
                    broken = os.path.join(tmp, "broken%d.mcs" % number)
                    with open(broken, "wb") as f:
                        f.write(text)
                    paths = [small] * 3
                    paths[position] = broken
                    out_dir = os.path.join(tmp, "out%d_%d" % (number, position))
                    result = self.run_embedder(paths, out_dir)
                    self.assertNotEqual(result.returncode, 0)
                    where = broken if line is None else "%s:%d:" % (broken, line)
                    self.assertIn(where, result.stderr)
                    self.assertFalse(os.path.exists(os.path.join(out_dir, "BinImage.cpp")))

    def test_small_and_committed_files_are_accepted(self):
        with tempfile.TemporaryDirectory() as tmp:
            small = os.path.join(tmp, "small.hex")
            with open(small, "wb") as f:
                f.write(SMALL_IMAGE)
            for paths in ([small] * 3, [firmware_path(n) for n in IMAGE_NAMES]):
                with self.subTest(paths[0]):
                    out_dir = os.path.join(tmp, "out_" + os.path.basename(paths[0]))
                    result = self.run_embedder(paths, out_dir)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    for generated in ("BinImage.h", "BinImage.cpp"):
                        self.assertTrue(os.path.isfile(os.path.join(out_dir, generated)))


def main() -> int:
    global SOURCE_DIR
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--source-dir", required=True)
    args, rest = parser.parse_known_args()
    SOURCE_DIR = args.source_dir
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
