// The updater's console texts, piece by piece, for comparing whole transcripts.
#ifndef BRIVANTA_EXPECTED_CONSOLE_H
#define BRIVANTA_EXPECTED_CONSOLE_H

#include <cstdio>
#include <string>

namespace expected {

inline const std::string kTxIdentity = "Quorvi 6G SDI EXTENDER TX WITH ETHERNET\r\n>>";
inline const std::string kRxIdentity = "Quorvi 6G SDI EXTENDER RX WITH ETHERNET\r\n>>";
inline const std::string kKeyPrompt = "\r\nPress any key to exit";
inline const std::string kUpdateFailed = "\n\rERROR: The update was not successful.\r\n";
inline const std::string kLogicLabel = "Preparing to Upload Programmable Logic ............ ";
inline const std::string kLogicTransferLabel =
    "Sending Programmable Logic data ................... ";
inline const std::string kControllerLabel = "Preparing to Upload Firmware ...................... ";
inline const std::string kControllerTransferLabel =
    "Sending data ...................................... ";
inline const std::string kProductLabel = "Checking product .......... ";
inline const std::string kNotReady = "FAILED [Unit not ready]\r\n";
inline const std::string kSuccessLine =
    "\n\r\n\rThe update was successful, the unit is now operational\r\n";

// The running percentage of a bulk transfer of `length` bytes sent in pieces of 10240.
inline std::string progress(long long length) {
    std::string out = "1%";
    long long sent = 0;
    long long shown = 0;
    while (length - sent > 10240) {
        sent += 10240;
        out += shown <= 9 ? "\b\b" : "\b\b\b";
        shown = sent * 100 / length;
        out += std::to_string(shown) + "%";
    }
    out += shown <= 9 ? "\b\b" : "\b\b\b";
    return out + "100%";
}

inline std::string banner() {
    return "\n\rYou are about to upload the firmware version 1.0.0"
           "\n\r\n\rDetecting COM port and Baud Rate..................";
}

inline std::string detected(int port, int baud) {
    return "OK\r\nCOM PORT Number : " + std::to_string(port) +
           "\r\nBaud rate       : " + std::to_string(baud) + " \r\n\r\n";
}

inline std::string versionLines(const std::string& firmware, const std::string& fpga, int device) {
    return "Checking firmware version ..............  " + firmware + " \r\n" +
           "Checking fpga version ..................  " + fpga +
           "  device:" + std::to_string(device) + "\r\n";
}

// The version lines for the simulated unit's default reply "1.2.0 XC7A15 1.5 9".
inline std::string defaultVersionLines() {
    return versionLines("1.02.00", "XC7A15 1.05", 9);
}

inline std::string identified(bool tx) {
    return kProductLabel + (tx ? "TX OK\r\n" + kTxIdentity : "RX OK\r\n" + kRxIdentity) + "\r\n";
}

inline std::string logicUpload(long long length) {
    return kLogicLabel + "OK\r\n" + kLogicTransferLabel + progress(length) + "OK\r\n";
}

inline std::string controllerUpload(long long length) {
    return kControllerLabel + "OK\r\n" + kControllerTransferLabel + progress(length) +
           " OK\n\r\n\r";
}

inline std::string countdown() {
    std::string out = "Please wait while the unit is rebooting ........... ";
    char figure[8];
    for (int i = 0; i < 46; ++i) {
        snprintf(figure, sizeof figure, "%3d%%", i * 100 / 46);
        out += std::string(figure) + "\b\b\b\b";
    }
    return out + "100%\b\b\b\b100%";
}

}  // namespace expected

#endif  // BRIVANTA_EXPECTED_CONSOLE_H
