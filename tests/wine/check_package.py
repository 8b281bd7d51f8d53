#!/usr/bin/env python3
"""Makes the technicians' ZIP with CPack and checks what is in it: the two executables (Windows
programs), the README with Windows line ends, and nothing else.

Usage: check_package.py CPACK CPACK_CONFIG WORK_DIR
"""
import glob
import os
import subprocess
import sys
import zipfile

EXPECTED = {"BrivantaFwUpgrade.exe", "BrivantaFwWebPackage.exe", "TECHNICIAN-README.txt"}


def main():
    cpack, config, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    for old in glob.glob(os.path.join(work, "*.zip")):
        os.remove(old)
    subprocess.run([cpack, "--config", config, "-B", work], check=True, stdout=subprocess.DEVNULL)
    (package,) = glob.glob(os.path.join(work, "*.zip"))
    failures = []
    with zipfile.ZipFile(package) as z:
        names = {os.path.basename(n): n for n in z.namelist() if not n.endswith("/")}
        if set(names) != EXPECTED:
            failures.append("contents %s, expected %s" % (sorted(names), sorted(EXPECTED)))
        for exe in EXPECTED & set(names):
            data = z.read(names[exe])
            if exe.endswith(".exe") and not data.startswith(b"MZ"):
                failures.append("%s is not a Windows program" % exe)
            if exe.endswith(".txt") and data.replace(b"\r\n", b"").count(b"\n"):
                failures.append("%s has bare line feeds" % exe)
    print("%s: %s" % (os.path.basename(package), "; ".join(failures) or "ok"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
