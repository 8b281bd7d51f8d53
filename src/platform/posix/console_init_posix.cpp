// POSIX streams make no line-end translation: nothing to set up.
#include "platform/platform.h"

void platform_InitConsole(void) {}
