// The little the Windows build needs beyond the Windows API itself, which the program calls
// directly.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/platform.h"

BOOL platform_ReplaceFile(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) {
        return FALSE;
    }
    // Write-through: the new file is on disk before the call reports success.
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

void platform_InitConsole(void) {
    // The console texts carry their own "\r\n" and "\n\r"; the C runtime's text mode would add a
    // "\r" before every "\n" and change them. Standard input stays in text mode: scanf reads
    // decimal numbers, and a stray "\r" is white space to it.
    _setmode(_fileno(stdout), _O_BINARY);
}
