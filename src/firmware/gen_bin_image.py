#!/usr/bin/env python3
"""Checks the three firmware image files and generates BinImage.h / BinImage.cpp from them.

Every record is checked against the form the updater relies on (start code, upper-case hex
digits, CR LF line ends, record length, checksum, extended linear address records of two bytes,
flat offsets inside the 4 MiB image buffer, the end-of-file record last). The first bad record
fails the build with its file and line, so a broken image is caught on the bench.
"""
import argparse
import os
import sys

FLAT_IMAGE_SIZE = 4 * 1024 * 1024
MAX_RECORD_CHARS = 43  # ":" + 21 bytes of hex for 16 data bytes; the updater takes up to 97
HEX_DIGITS = set(b"0123456789ABCDEF")


class ImageError(Exception):
    pass


def check_record(line: bytes, upper: int) -> tuple[int, int]:
    """Checks one record line (without CR LF); returns (record type, new upper offset)."""
    if not line.startswith(b":"):
        raise ImageError("record does not start with ':'")
    body = line[1:]
    if len(body) < 10 or len(body) % 2:
        raise ImageError("record has %d hex digits, not an even number of at least 10" % len(body))
    if len(line) > MAX_RECORD_CHARS:
        raise ImageError("record of %d characters is longer than %d" % (len(line), MAX_RECORD_CHARS))
    if any(c not in HEX_DIGITS for c in body):
        raise ImageError("record holds a character that is not an upper-case hex digit")
    raw = bytes.fromhex(body.decode("ascii"))
    count, address, rtype, data = raw[0], (raw[1] << 8) | raw[2], raw[3], raw[4:-1]
    if len(data) != count:
        raise ImageError("data length %d but %d data bytes" % (count, len(data)))
    if sum(raw) & 0xFF:
        raise ImageError("checksum %02X is wrong" % raw[-1])
    if rtype == 4:
        if count != 2:
            raise ImageError("extended linear address record with %d data bytes" % count)
        upper = data[1] << 16
    elif rtype == 0:
        if upper + address + count > FLAT_IMAGE_SIZE:
            raise ImageError("data reaches offset 0x%X, beyond the 4 MiB image" % (upper + address + count - 1))
    elif rtype not in (1, 2, 3, 5):
        raise ImageError("unknown record type %02X" % rtype)
    return rtype, upper


def check_image(path: str, text: bytes) -> None:
    if not text.endswith(b"\r\n"):
        raise ImageError("%s:%d: the text does not end with CR LF" % (path, text.count(b"\n") + 1))
    lines = text[:-2].split(b"\r\n")
    upper = 0
    rtype = None
    for number, line in enumerate(lines, start=1):
        if b"\r" in line or b"\n" in line:
            raise ImageError("%s:%d: a line end that is not CR LF" % (path, number))
        try:
            rtype, upper = check_record(line, upper)
        except ImageError as error:
            raise ImageError("%s:%d: %s" % (path, number, error)) from None
    if rtype != 1:
        raise ImageError("%s:%d: the last record is not the end-of-file record" % (path, len(lines)))


def array_name(path: str) -> str:
    return os.path.basename(path).replace(".", "_")


def c_literals(text: bytes) -> str:
    # One literal per record line keeps the generated source readable and compiles quickly.
    out = []
    for line in text.split(b"\r\n")[:-1]:
        out.append('    "%s\\r\\n"\n' % line.decode("ascii"))
    return "".join(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out-dir", required=True)
    parser.add_argument("images", nargs=3, help="controller .hex, TX logic .mcs, RX logic .mcs")
    args = parser.parse_args()

    texts = []
    for path in args.images:
        with open(path, "rb") as f:
            text = f.read()
        try:
            check_image(path, text)
        except ImageError as error:
            print("error: %s" % error, file=sys.stderr)
            return 1
        texts.append(text)

    os.makedirs(args.out_dir, exist_ok=True)
    names = [array_name(p) for p in args.images]
    header = ["// Generated from the firmware image files; do not edit.\n",
              "#ifndef _AUTOGEN_BINIMAGE_H_\n#define _AUTOGEN_BINIMAGE_H_\n\n",
              "struct autogen_files {\n    char filePath[70];\n    char filePathLength;\n",
              "    const char* fileData;\n    int fileDataLength;\n};\n\n"]
    for name, text in zip(names, texts):
        header.append("extern const char %s[%d];\n" % (name, len(text) + 1))
    header.append("\nextern const autogen_files AUTOGEN_FILES[3];\n\n#endif\n")

    source = ['// Generated from the firmware image files; do not edit.\n#include "firmware/BinImage.h"\n\n']
    for name, text in zip(names, texts):
        source.append("extern const char %s[%d] =\n%s    ;\n\n" % (name, len(text) + 1, c_literals(text)))
    source.append("extern const autogen_files AUTOGEN_FILES[3] = {\n")
    for path, name, text in zip(args.images, names, texts):
        base = os.path.basename(path)
        source.append('    {"%s", %d, %s, %d},\n' % (base, len(base), name, len(text)))
    source.append("};\n")

    write_text(os.path.join(args.out_dir, "BinImage.h"), "".join(header))
    write_text(os.path.join(args.out_dir, "BinImage.cpp"), "".join(source))
    return 0


def write_text(path: str, content: str) -> None:
    with open(path, "w", newline="") as f:
        f.write(content)


if __name__ == "__main__":
    sys.exit(main())
