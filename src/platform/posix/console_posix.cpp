// The single unechoed key read of the Windows console, on the terminal of stdin.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace {

// One byte from stdin, or -1 at end of input or on an error.
int readOneByte() {
    unsigned char key = 0;
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, &key, 1);
        if (got == 1) {
            return key;
        }
        if (got == 0 || errno != EINTR) {
            return -1;
        }
    }
}

// Like the console's key read: no echo, no Enter, and Ctrl+C is a key like any other, so the
// terminal is always given back its settings.
int readKeyFromTerminal(const termios& saved) {
    termios keyMode = saved;
    keyMode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    keyMode.c_cc[VMIN] = 1;
    keyMode.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keyMode) != 0) {
        return -1;
    }
    const int key = readOneByte();
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return key;
}

}  // namespace

int _getch(void) {
    // The Windows console shows what was printed before a key is awaited; so does this.
    fflush(stdout);
    termios saved{};
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0) {
        return readKeyFromTerminal(saved);
    }
    return readOneByte();
}
