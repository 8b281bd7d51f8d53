// One file at a time: create, append, read-open, write, close.
#ifndef FILEAPI_H
#define FILEAPI_H

#include <cstdint>

#include "platform/platform.h"

BOOL FileAPI_CreateFile(const char* fileName, BOOL isBinary);
BOOL FileAPI_OpenFile_ToWrite(const char* fileName, BOOL isBinary);
BOOL FileAPI_OpenFile_ToRead(const char* fileName, BOOL isBinary);
BOOL FileAPI_writeToFileBinary(const uint8_t* dataToWrite, uint32_t dataLength);
BOOL FileAPI_writeToFile(const char* stringToWrite);
BOOL FileAPI_CloseFile(void);

#endif  // FILEAPI_H
