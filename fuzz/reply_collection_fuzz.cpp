// The command exchange and the bulk transfer against a line that delivers the fuzz input in
// windows of its choosing: split replies, NUL bytes, floods that never leave a silent window.
// The verdict is checked against an independent reading of the same windows.
//
// Input: one byte of settings, one byte for the bulk transfer's length, then windows, each a
// length byte L and L bytes; L 255 is a flooded window (the next byte repeated to fill the whole
// read); L 0 is a silent window.
#include <algorithm>
#include <cstring>
#include <string>

#include "ComPortAPI.h"
#include "fuzz_support.h"
#include "scripted_line.h"

namespace {

constexpr size_t kReadRequest = DATA_BUFFER_SIZE - 1;
constexpr uint8_t kFloodMark = 255;

const char* const kExpectedReplies[] = {
    "Ready", "SUCCESS",
    "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>",
    "Quorvi 6G SDI EXTENDER TX WITH ETHERNET\r\n>>"};

struct Settings {
    const char* expected;
    BOOL validate;  // only 1 compares
    BOOL echo;
    bool bulkTransfer;
    bool failWrites;
    int transferLength;
};

Settings settingsOf(uint8_t flags, uint8_t lengthByte) {
    return {kExpectedReplies[flags & 3],
            static_cast<BOOL>((flags >> 2) & 3),
            static_cast<BOOL>((flags >> 4) & 1),
            ((flags >> 5) & 1) != 0,
            ((flags >> 6) & 1) != 0,
            1 + lengthByte * 97};
}

std::vector<std::vector<uint8_t>> windowsOf(const uint8_t* data, size_t size) {
    std::vector<std::vector<uint8_t>> windows;
    size_t at = 0;
    while (at < size) {
        const uint8_t length = data[at++];
        if (length == kFloodMark) {
            const uint8_t fill = at < size ? data[at++] : 'x';
            windows.emplace_back(kReadRequest, fill);
            continue;
        }
        const size_t taken = std::min<size_t>(length, size - at);
        windows.emplace_back(data + at, data + at + taken);
        at += taken;
    }
    return windows;
}

struct Collected {
    std::string text;
    bool overflowed = false;
    int reads = 0;
};

// What the program must make of the windows: each chunk's text up to its first NUL, joined,
// until a silent window. Once more bytes than the reply buffer holds have come in, NUL bytes
// included, the collection stops and the reply can match nothing.
Collected collect(const std::vector<std::vector<uint8_t>>& windows) {
    Collected reply;
    size_t received = 0;
    for (const auto& window : windows) {
        ++reply.reads;
        if (window.empty()) return reply;
        const size_t chunk = std::min(window.size(), kReadRequest);
        received += chunk;
        if (received > kReadRequest) {
            reply.overflowed = true;
            return reply;
        }
        const auto* bytes = reinterpret_cast<const char*>(window.data());
        reply.text.append(bytes, strnlen(bytes, chunk));
    }
    ++reply.reads;  // the silent window after the script
    return reply;
}

BOOL exchange(const Settings& settings) {
    if (!settings.bulkTransfer) {
        return sendCommand("%fw -p", settings.echo, settings.validate, settings.expected);
    }
    static const std::vector<uint8_t> image(1 + 255 * 97, 0xA5);
    return sendData(image.data(), settings.transferLength, settings.validate, settings.expected);
}

void openPortOnce() {
    static const bool opened = ComPortAPI_OpenCOM(1) != FALSE;
    if (!opened) fuzz::fail("the scripted port opens");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    fuzz::ensureStartupBuffers();
    openPortOnce();
    const Settings settings = settingsOf(data[0], data[1]);
    std::vector<std::vector<uint8_t>> windows = windowsOf(data + 2, size - 2);
    const Collected reply = collect(windows);
    scripted_line::play(std::move(windows), settings.failWrites);

    const BOOL result = exchange(settings);

    if (settings.failWrites) {
        fuzz::check(result == FALSE, "a failed write is a failure");
        fuzz::check(scripted_line::readsMade() == 0, "nothing read after a failed write");
        return 0;
    }
    const bool matches = !reply.overflowed && reply.text == settings.expected;
    fuzz::check(result == ((settings.validate != 1 || matches) ? TRUE : FALSE),
                "the verdict follows the collected reply");
    fuzz::check(scripted_line::readsMade() == reply.reads,
                "reads end at a silent window or when the reply buffer is full");
    return 0;
}
