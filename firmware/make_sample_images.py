#!/usr/bin/env python3
"""Writes the three sample firmware images that the build embeds by default.

The real firmware is not ours to ship. These images have exactly the form of the real files
(record counts and sizes, extended linear address records, gaps, start address record, CR LF,
upper-case digits, ascending addresses, end-of-file record) and data bytes chosen so that image
assembly gives the real images' lengths and checksums. Deterministic: the same bytes every run.

Usage: make_sample_images.py [OUTPUT_DIR]   (default: the directory of this script)
"""
import os
import sys


class XorShift32:
    def __init__(self, seed: int):
        self.state = seed & 0xFFFFFFFF or 1

    def next(self) -> int:
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x


def record(rtype: int, address: int, data: bytes) -> bytes:
    raw = bytes([len(data), address >> 8, address & 0xFF, rtype]) + data
    raw += bytes([(-sum(raw)) & 0xFF])
    return b":" + raw.hex().upper().encode("ascii") + b"\r\n"


def layout(segments):
    """Data record (offset, size) list for segments of (start, end_exclusive)."""
    out = []
    for start, end in segments:
        offset = start
        while offset < end:
            size = min(16, end - offset)
            out.append((offset, size))
            offset += size
    return out


def fill_bytes(records, image_length, checksum, seed, fixed=b""):
    """Data bytes for the records such that 0 - sum(flat[0:image_length]) == checksum (mod 2^32).

    Bytes below image_length that no record covers stay 0xFF in the flat image and count too.
    """
    rng = XorShift32(seed)
    covered = sum(min(size, max(0, image_length - off)) for off, size in records)
    target = (-checksum) & 0xFFFFFFFF
    free_sum = (image_length - covered) * 0xFF
    need = target - free_sum - sum(fixed)
    adjustable = covered - len(fixed)
    average = need / adjustable
    data = bytearray()
    total = sum(size for _, size in records)
    for index in range(total):
        if index < len(fixed):
            data.append(fixed[index])
            continue
        r = rng.next()
        if average >= 127.5:  # mostly random, with a share of erased (0xFF) bytes
            data.append(0xFF if (r & 0xFFFF) < (average - 127.5) / 127.5 * 65536 else r >> 24)
        else:  # mostly zero, as a logic bitstream is
            data.append(1 + (r >> 24) % 255 if (r & 0xFFFF) < average / 128 * 65536 else 0)
    # Bring the checksummed bytes to the exact sum, nudging bytes from the end of the image.
    positions = []
    index = 0
    for off, size in records:
        for k in range(size):
            if off + k < image_length and index >= len(fixed):
                positions.append(index)
            index += 1
    diff = need - sum(data[i] for i in positions)
    for i in reversed(positions):
        if diff == 0:
            break
        step = max(-data[i], min(0xFF - data[i], diff))
        data[i] += step
        diff -= step
    assert diff == 0, "cannot reach the checksum"
    return bytes(data)


def build(records, data, upper_word_base, trailer):
    lines = []
    upper = None
    pos = 0
    for off, size in records:
        if off >> 16 != upper:
            upper = off >> 16
            word = upper_word_base + upper
            lines.append(record(4, 0, bytes([word >> 8, word & 0xFF])))
        lines.append(record(0, off & 0xFFFF, data[pos:pos + size]))
        pos += size
    lines.extend(trailer)
    lines.append(record(1, 0, b""))
    return b"".join(lines)


def controller_image() -> bytes:
    # Flat offsets 0x8000..0x1E447 with gaps 0x1AEFC..0x1AFFF and 0x1DEE4..0x1DEE7; the linear
    # addresses are 0x80000000 above them.
    records = layout([(0x8000, 0x1AEFC), (0x1B000, 0x1DEE4), (0x1DEE8, 0x1E448)])
    first = bytes.fromhex("481FD7038001517CE08F100000000000")
    data = fill_bytes(records, 0x1E438, 4278459187, seed=0x614829, fixed=first)
    start = record(5, 0, bytes.fromhex("80008008"))
    return build(records, data, 0x8000, [start])


def logic_image(end: int, image_length: int, checksum: int, seed: int) -> bytes:
    records = layout([(0, end)])
    data = fill_bytes(records, image_length, checksum, seed)
    return build(records, data, 0x0000, [])


IMAGES = {
    "M614829_MCU_61_V1_02.hex": controller_image,
    "M614829_TX_XC7A15_V1_02.mcs": lambda: logic_image(0xE3EC4, 933568, 4281666209, seed=0x7A15),
    "M614829_RX_XC7A15_V1_02.mcs": lambda: logic_image(0x111E94, 1121936, 4278101494, seed=0x8A15),
}


def main() -> int:
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(out_dir, exist_ok=True)
    for name, make in IMAGES.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(make())
    return 0


if __name__ == "__main__":
    sys.exit(main())
