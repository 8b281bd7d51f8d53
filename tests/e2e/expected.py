"""What the updater is expected to show and send, built from the system's own texts.

Shared by the end-to-end tests (native and under Wine): the console transcript of a run, piece by
piece, and the flat images the unit must receive, assembled independently from the image files.
"""
import os

TX_IDENTITY = "Quorvi 6G SDI EXTENDER TX WITH ETHERNET\r\n>>"
RX_IDENTITY = "Quorvi 6G SDI EXTENDER RX WITH ETHERNET\r\n>>"
IMAGE_FILES = ["M614829_MCU_61_V1_02.hex", "M614829_TX_XC7A15_V1_02.mcs",
               "M614829_RX_XC7A15_V1_02.mcs"]


def flat_image(path):
    """The bytes announced and sent for one image file: 0xFF-filled, up to the start of the
    last data record."""
    flat = bytearray(b"\xff" * (4 * 1024 * 1024))
    upper = 0
    length = 0
    with open(path, "rb") as f:
        for line in f.read().split(b"\r\n"):
            if not line:
                continue
            raw = bytes.fromhex(line[1:].decode("ascii"))
            count, address, rtype = raw[0], (raw[1] << 8) | raw[2], raw[3]
            if rtype == 4:
                upper = raw[5] << 16
            elif rtype == 0:
                start = upper + address
                flat[start:start + count] = raw[4:4 + count]
                length = start
    return bytes(flat[:length])


def checksum(image):
    return (-sum(image)) & 0xFFFFFFFF


def progress(length):
    """The running percentage of a bulk transfer of `length` bytes in pieces of 10240."""
    out = ["1%"]
    sent, shown = 0, 0
    while length - sent > 10240:
        sent += 10240
        out.append("\b\b" if shown <= 9 else "\b\b\b")
        shown = sent * 100 // length
        out.append("%d%%" % shown)
    out.append("\b\b" if shown <= 9 else "\b\b\b")
    out.append("100%")
    return "".join(out)


def countdown():
    steps = "".join("%3d%%\b\b\b\b" % (i * 100 // 46) for i in range(46))
    return steps + "100%" + "\b\b\b\b" + "100%"


def banner():
    return ("\n\rYou are about to upload the firmware version 1.0.0"
            "\n\r\n\rDetecting COM port and Baud Rate..................")


def detected(port, baud):
    return "OK\r\nCOM PORT Number : %d\r\nBaud rate       : %d \r\n\r\n" % (port, baud)


def versions(fw, model, fpga, device):
    return ("Checking firmware version ..............  %d.%02d.%02d \r\n" % fw +
            "Checking fpga version ..................  %s %d.%02d  device:%d\r\n"
            % ((model,) + fpga + (device,)))


def identified(kind):
    identity = TX_IDENTITY if kind == "tx" else RX_IDENTITY
    return "Checking product .......... %s OK\r\n%s\r\n" % (kind.upper(), identity)


def uploads(logic_length, controller_length):
    return ("Preparing to Upload Programmable Logic ............ OK\r\n"
            "Sending Programmable Logic data ................... " + progress(logic_length) +
            "OK\r\n"
            "Preparing to Upload Firmware ...................... OK\r\n"
            "Sending data ...................................... " + progress(controller_length) +
            " OK\n\r\n\r")


def reboot(prompt_seen=True):
    text = "Please wait while the unit is rebooting ........... " + countdown()
    if prompt_seen:
        text += "\n\r\n\rThe update was successful, the unit is now operational\r\n"
    return text


KEY_PROMPT = "\r\nPress any key to exit"
UPDATE_FAILED = "\n\rERROR: The update was not successful.\r\n"


def images(firmware_dir):
    return [flat_image(os.path.join(firmware_dir, name)) for name in IMAGE_FILES]


def full_update(kind, port, baud, firmware_dir, fw=(1, 2, 0), model="XC7A15", fpga=(1, 5)):
    controller, tx, rx = images(firmware_dir)
    logic = tx if kind == "tx" else rx
    return (banner() + detected(port, baud) + versions(fw, model, fpga, 9) + identified(kind) +
            uploads(len(logic), len(controller)) + reboot() + KEY_PROMPT)
