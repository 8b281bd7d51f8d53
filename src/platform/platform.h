// The operating-system interfaces the program calls, and nothing more.
//
// On Windows these are the real Win32 serial functions, Sleep and _getch. Elsewhere the same
// names are provided by one of our own implementations, chosen at link time:
//   platform/posix/   termios/unistd, for the native Linux build;
//   tests/sim/        a virtual clock and a simulated unit, for tests.
// This is the only place where the build target is tested with the preprocessor.
//
// Read timing that every implementation keeps (the program relies on nothing else):
//   ReadFile(h, buf, n, &got, NULL) with the read timeout T (ReadIntervalTimeout ==
//   ReadTotalTimeoutConstant == T, multiplier 0) returns as soon as n bytes have arrived, or
//   T ms after it began with every byte that arrived in that window; TRUE with got == 0 when
//   the line was silent for the whole window. NUL bytes are delivered like any other byte.
//   WriteFile returns only when every byte has been taken (no write timeout).
#ifndef BRIVANTA_PLATFORM_H
#define BRIVANTA_PLATFORM_H

#ifdef _WIN32

#include <conio.h>
#include <windows.h>

#else

#include <cstdint>

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef void* HANDLE;
typedef const char* LPCSTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

#define SETRTS 3u
#define CLRRTS 4u
#define SETDTR 5u
#define CLRDTR 6u

#define DTR_CONTROL_DISABLE 0u
#define DTR_CONTROL_ENABLE 1u
#define RTS_CONTROL_DISABLE 0u
#define RTS_CONTROL_ENABLE 1u
#define NOPARITY 0u
#define ONESTOPBIT 0u

// Line settings, field for field in the order and widths of the Windows record (28 bytes).
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB must keep the Windows layout");

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);
BOOL SetCommState(HANDLE file, DCB* dcb);
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL EscapeCommFunction(HANDLE file, DWORD function);
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               void* overlapped);
BOOL CloseHandle(HANDLE object);
void Sleep(DWORD milliseconds);
int _getch(void);

#endif  // _WIN32

// Not a Windows call of the program's own, but the one file operation that differs by platform:
// moves `from` over `to`, replacing `to` if it exists, in one step (rename(2) / MoveFileExA).
BOOL platform_ReplaceFile(const char* from, const char* to);

// Called first thing by both executables: standard output must pass the console texts byte for
// byte (on Windows it is put into binary mode; elsewhere there is nothing to do).
void platform_InitConsole(void);

#endif  // BRIVANTA_PLATFORM_H
