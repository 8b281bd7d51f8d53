#include <cstdio>

#include "platform/platform.h"

BOOL platform_ReplaceFile(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) {
        return FALSE;
    }
    return std::rename(from, to) == 0 ? TRUE : FALSE;
}
