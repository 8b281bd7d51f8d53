#include "scripted_line.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace scripted_line {
namespace {

struct Line {
    std::vector<std::vector<uint8_t>> windows;
    size_t next = 0;
    int reads = 0;
    bool failWrites = false;
};

Line& line() {
    static Line instance;
    return instance;
}

// Any non-null value other than INVALID_HANDLE_VALUE serves: there is one port.
HANDLE portHandle() {
    static int port;
    return &port;
}

}  // namespace

void play(std::vector<std::vector<uint8_t>> windows, bool failWrites) {
    line() = Line{std::move(windows), 0, 0, failWrites};
}

int readsMade() {
    return line().reads;
}

}  // namespace scripted_line

using scripted_line::line;
using scripted_line::portHandle;

HANDLE CreateFileA(LPCSTR, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
    return portHandle();
}
BOOL SetupComm(HANDLE, DWORD, DWORD) {
    return TRUE;
}
BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS*) {
    return file == portHandle();
}
BOOL SetCommState(HANDLE file, DCB*) {
    return file == portHandle();
}
BOOL PurgeComm(HANDLE, DWORD) {
    return TRUE;
}
BOOL EscapeCommFunction(HANDLE, DWORD) {
    return TRUE;
}

// A window never brings more than was asked for; the rest of a longer chunk is lost, as it
// would be for a driver whose queue overflowed.
BOOL ReadFile(HANDLE, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void*) {
    auto& state = line();
    ++state.reads;
    *bytesRead = 0;
    if (state.next >= state.windows.size()) return TRUE;
    const std::vector<uint8_t>& window = state.windows[state.next++];
    const DWORD count = static_cast<DWORD>(std::min<size_t>(window.size(), bytesToRead));
    if (count > 0) memcpy(buffer, window.data(), count);
    *bytesRead = count;
    return TRUE;
}

BOOL WriteFile(HANDLE, const void*, DWORD bytesToWrite, DWORD* bytesWritten, void*) {
    *bytesWritten = line().failWrites ? 0 : bytesToWrite;
    return line().failWrites ? FALSE : TRUE;
}

BOOL CloseHandle(HANDLE) {
    return TRUE;
}
void Sleep(DWORD) {}
int _getch(void) {
    return '\r';
}
BOOL platform_ReplaceFile(const char*, const char*) {
    return FALSE;
}
void platform_InitConsole(void) {}
