#include "FileAPI.h"

#include <cstdio>
#include <cstring>

namespace {

// The one open file of the module; null when none is open.
FILE* fptr = nullptr;

const char* const OPEN_FAILED_MESSAGE = "ERROR: File does not exists\n";
const char* const NOT_OPENED_MESSAGE = "ERROR: File does not exists or Not opened !\n";

// Only 1 selects binary mode; any other value is text mode.
const char* modeFor(BOOL isBinary, const char* binaryMode, const char* textMode) {
    return isBinary == TRUE ? binaryMode : textMode;
}

BOOL openStoredFile(const char* fileName, const char* mode) {
    fptr = fileName != nullptr ? fopen(fileName, mode) : nullptr;
    if (fptr == nullptr) {
        fputs(OPEN_FAILED_MESSAGE, stdout);
        return FALSE;
    }
    return TRUE;
}

bool reportIfNotOpened() {
    if (fptr != nullptr) return false;
    fputs(NOT_OPENED_MESSAGE, stdout);
    return true;
}

// A short count or a stream error means the bytes did not all reach the file.
BOOL writeStored(const void* data, size_t length) {
    if (length == 0) return TRUE;
    if (data == nullptr) return FALSE;
    const size_t written = fwrite(data, 1, length, fptr);
    return written == length && ferror(fptr) == 0 ? TRUE : FALSE;
}

}  // namespace

BOOL FileAPI_CreateFile(const char* fileName, BOOL isBinary) {
    return openStoredFile(fileName, modeFor(isBinary, "wb", "w"));
}

BOOL FileAPI_OpenFile_ToWrite(const char* fileName, BOOL isBinary) {
    return openStoredFile(fileName, modeFor(isBinary, "ab", "a"));
}

BOOL FileAPI_OpenFile_ToRead(const char* fileName, BOOL isBinary) {
    return openStoredFile(fileName, modeFor(isBinary, "rb", "r"));
}

BOOL FileAPI_writeToFileBinary(const uint8_t* dataToWrite, uint32_t dataLength) {
    if (reportIfNotOpened()) return FALSE;
    return writeStored(dataToWrite, dataLength);
}

BOOL FileAPI_writeToFile(const char* stringToWrite) {
    if (reportIfNotOpened()) return FALSE;
    if (stringToWrite == nullptr) return FALSE;
    return writeStored(stringToWrite, strlen(stringToWrite));
}

// Fails when any byte written since the open was lost: at an earlier write (the stream's error
// flag) or when the close flushed what was still buffered.
BOOL FileAPI_CloseFile(void) {
    if (reportIfNotOpened()) return FALSE;
    const bool lostBefore = ferror(fptr) != 0;
    const bool closed = fclose(fptr) == 0;
    fptr = nullptr;
    return closed && !lostBefore ? TRUE : FALSE;
}
