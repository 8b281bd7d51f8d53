#include "ComPortAPI.h"

#include <cstdio>

HANDLE g_hCOM = nullptr;

namespace {

constexpr int PORT_NAME_SIZE = 16;

COMMTIMEOUTS initialTimeouts() {
    COMMTIMEOUTS cto{};
    cto.ReadIntervalTimeout = MAX_WAIT_READ;
    cto.ReadTotalTimeoutMultiplier = 0;
    cto.ReadTotalTimeoutConstant = MAX_WAIT_READ;
    cto.WriteTotalTimeoutMultiplier = 0;
    cto.WriteTotalTimeoutConstant = 0;
    return cto;
}

// 9600 8N1, no software flow control, DTR and RTS held on, CTS output flow control on.
DCB initialLineSettings() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = BAUD_RATE;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.fDummy2 = 0;
    dcb.wReserved = 0;
    dcb.XonLim = 256;
    dcb.XoffLim = 256;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0x3F;
    dcb.EofChar = 0x1A;
    dcb.EvtChar = 0x10;
    dcb.wReserved1 = 0;
    return dcb;
}

// Staged for the whole run: survives closes and failed opens, applied by every open.
COMMTIMEOUTS g_cto = initialTimeouts();
DCB g_dcb = initialLineSettings();

BOOL succeeded(BOOL platformResult) {
    return platformResult ? 1 : 0;
}

BOOL applyStagedTimeouts() {
    return succeeded(SetCommTimeouts(g_hCOM, &g_cto));
}

BOOL applyStagedLineSettings() {
    return succeeded(SetCommState(g_hCOM, &g_dcb));
}

BOOL reportOpeningFailure(int nId) {
    printf("ERROR: Opening COM%d failed !", nId);
    return 0;
}

// Timeouts first: the line settings are applied only to a port that took them.
BOOL applyStagedConfiguration() {
    return applyStagedTimeouts() && applyStagedLineSettings();
}

}  // namespace

BOOL ComPortAPI_FormatPortName(char* name, int size, int nId) {
    if (name == nullptr || size <= 0) {
        return FALSE;
    }
    const int length = snprintf(name, static_cast<size_t>(size), "\\\\.\\COM%d", nId);
    if (length < 0 || length >= size) {
        name[0] = '\0';  // never leave a truncated name that could name another port
        return FALSE;
    }
    return TRUE;
}

BOOL ComPortAPI_OpenCOM(int nId) {
    char szCOM[PORT_NAME_SIZE];
    if (!ComPortAPI_FormatPortName(szCOM, PORT_NAME_SIZE, nId)) {
        g_hCOM = INVALID_HANDLE_VALUE;
        return reportOpeningFailure(nId);
    }
    g_hCOM = CreateFileA(szCOM, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_SYSTEM, nullptr);
    if (g_hCOM == INVALID_HANDLE_VALUE) {
        return reportOpeningFailure(nId);
    }
    SetupComm(g_hCOM, RX_SIZE, TX_SIZE);
    if (!applyStagedConfiguration()) {
        printf("ERROR: COM%d configuration failed !", nId);
        CloseHandle(g_hCOM);
        return 0;
    }
    PurgeComm(g_hCOM, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    EscapeCommFunction(g_hCOM, SETDTR);
    return 1;
}

BOOL ComPortAPI_CloseCOM(void) {
    CloseHandle(g_hCOM);
    return 1;
}

BOOL ComPortAPI_ReadCOM(void* buffer, int nBytesToRead, int* pBytesRead) {
    if (pBytesRead != nullptr) {
        *pBytesRead = 0;
    }
    if (nBytesToRead < 0) {
        return FALSE;
    }
    const DWORD requested = static_cast<DWORD>(nBytesToRead);
    DWORD received = 0;
    const BOOL result = ReadFile(g_hCOM, buffer, requested, &received, nullptr);
    if (result && pBytesRead != nullptr) {
        // A driver never reports more than it was asked for; the bound keeps the int exact.
        *pBytesRead = static_cast<int>(received < requested ? received : requested);
    }
    return result;
}

BOOL ComPortAPI_WriteCOM(const void* buffer, int nBytesToWrite, int* pBytesWritten) {
    if (pBytesWritten != nullptr) {
        *pBytesWritten = 0;
    }
    if (nBytesToWrite < 0) {
        return FALSE;
    }
    const DWORD requested = static_cast<DWORD>(nBytesToWrite);
    DWORD written = 0;
    const BOOL result = WriteFile(g_hCOM, buffer, requested, &written, nullptr);
    if (pBytesWritten != nullptr) {
        *pBytesWritten = static_cast<int>(written < requested ? written : requested);
    }
    return result;
}

BOOL ComPortAPI_SetReadingTimeoutInMs(int timeoutInMs) {
    const DWORD timeout = static_cast<DWORD>(timeoutInMs);
    if (g_cto.ReadIntervalTimeout == timeout) {
        return 1;
    }
    g_cto.ReadIntervalTimeout = timeout;
    g_cto.ReadTotalTimeoutConstant = timeout;
    return applyStagedTimeouts();
}

BOOL ComPortAPI_SetBaudRate(int baudrate) {
    const DWORD rate = static_cast<DWORD>(baudrate);
    if (g_dcb.BaudRate == rate) {
        return 1;
    }
    g_dcb.BaudRate = rate;
    return applyStagedLineSettings();
}

BOOL ComPortAPI_SetHardwareFlowControl(BOOL isEnable) {
    const DWORD ctsFlow = static_cast<DWORD>(isEnable) & 1u;
    if (g_dcb.fOutxCtsFlow == ctsFlow) {
        return 1;
    }
    g_dcb.fOutxCtsFlow = ctsFlow & 1u;
    return applyStagedLineSettings();
}

void ComPortAPI_RestoreDefaults(void) {
    g_hCOM = nullptr;
    g_cto = initialTimeouts();
    g_dcb = initialLineSettings();
}

const DCB* ComPortAPI_StagedLineSettings(void) {
    return &g_dcb;
}

const COMMTIMEOUTS* ComPortAPI_StagedTimeouts(void) {
    return &g_cto;
}
