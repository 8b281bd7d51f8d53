#!/usr/bin/env bash
# Times our image assembly against srec_cat and objcopy turning the same Intel HEX files into a
# flat binary image, and prints the ratios. Goal for the RX logic image: ours <= 1/3 of objcopy's
# time and <= 1/8 of srec_cat's.
#
# Usage: bench/compare_tools.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  a Release build holding bench/image_assembly_bench (default: build/release)
#   RUNS       runs of each tool per image; the median is reported (default: 11)
#
# What is timed:
#   srec_cat  srec_cat FILE -Intel [-offset -0x80000000] -fill 0xFF 0 END -o OUT -Binary
#             (the flat image from offset 0, holes 0xFF, as our assembly lays it out)
#   objcopy   objcopy -I ihex -O binary --gap-fill 0xff FILE OUT (from the lowest address)
#   ours      one assembly pass with the copy of the text (AssemblyWithCopy), in-process: the
#             program holds the images in memory, so it reads no file and starts no process.
# Both wall and CPU (user + system) time are shown; on a shared machine CPU time is the steadier
# figure and the ratios use it. Each tool's output is checked against our image length and
# checksum before its time counts.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(dirname "$here")"
build_dir="${1:-$source_dir/build/release}"
runs="${2:-11}"
bench="$build_dir/bench/image_assembly_bench"
[[ -x "$bench" ]] || { echo "no $bench: build the image_assembly_bench target" >&2; exit 1; }
for tool in srec_cat objcopy; do
    command -v "$tool" >/dev/null || { echo "$tool not found (packages srecord, binutils)" >&2; exit 1; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$bench" --benchmark_filter='^AssemblyWithCopy/' --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true --benchmark_format=json >"$work/ours.json" 2>/dev/null

python3 - "$source_dir/firmware" "$work" "$runs" <<'PYTHON'
import json, os, resource, statistics, subprocess, sys, time

firmware_dir, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
IMAGES = ["M614829_MCU_61_V1_02.hex", "M614829_TX_XC7A15_V1_02.mcs", "M614829_RX_XC7A15_V1_02.mcs"]


def flat_range(path):
    """(upper address base, first and end offsets) of the data as our assembly places it."""
    base, upper, start, end = None, 0, None, 0
    with open(path, "rb") as f:
        for line in f.read().split(b"\r\n"):
            if not line:
                continue
            raw = bytes.fromhex(line[1:].decode())
            if raw[3] == 4:
                upper = raw[5] << 16
                base = base if base is not None else raw[4] << 24
            elif raw[3] == 0:
                offset = upper + ((raw[1] << 8) | raw[2])
                start = offset if start is None else min(start, offset)
                end = max(end, offset + raw[0])
    return base or 0, start, end


def timed(command):
    """Median wall and CPU seconds of `runs` runs of a command."""
    walls, cpus = [], []
    for _ in range(runs):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        walls.append(time.perf_counter() - start)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpus.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
    return statistics.median(walls), statistics.median(cpus)


def checksum(data):
    return (-sum(data)) & 0xFFFFFFFF


ours = {}
for b in json.load(open(os.path.join(work, "ours.json")))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        row = int(b["run_name"].split("/")[1])
        scale = {"ms": 1e-3, "us": 1e-6, "ns": 1e-9}[b["time_unit"]]
        ours[row] = (b["real_time"] * scale, b["cpu_time"] * scale, int(b["image_length"]),
                     int(b["checksum"]))

print("%-28s %-9s %10s %10s %14s" % ("image", "tool", "wall ms", "CPU ms", "ours/tool CPU"))
for row, name in enumerate(IMAGES):
    path = os.path.join(firmware_dir, name)
    base, start, end = flat_range(path)
    wall, cpu, length, expected = ours[row]
    srec_out = os.path.join(work, "srec.bin")
    objcopy_out = os.path.join(work, "objcopy.bin")
    offset = ["-offset", "-0x%X" % base] if base else []
    tools = {
        "srec_cat": ["srec_cat", path, "-Intel"] + offset +
                    ["-fill", "0xFF", "0", "0x%X" % end, "-o", srec_out, "-Binary"],
        "objcopy": ["objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xff", path,
                    objcopy_out],
    }
    print("%-28s %-9s %10.2f %10.2f" % (name, "ours", wall * 1e3, cpu * 1e3))
    for tool, command in tools.items():
        tool_wall, tool_cpu = timed(command)
        print("%-28s %-9s %10.2f %10.2f %14s" % ("", tool, tool_wall * 1e3, tool_cpu * 1e3,
                                                "1/%.1f" % (tool_cpu / cpu)))
    srec = open(srec_out, "rb").read()
    objcopy = open(objcopy_out, "rb").read()
    if checksum(srec[:length]) != expected or objcopy != srec[start:end]:
        print("  the tools' flat images differ from ours", file=sys.stderr)
        sys.exit(1)
print("goal (RX logic image): ours/objcopy <= 1/3, ours/srec_cat <= 1/8")
PYTHON
