// The one serial port and its staged settings.
//
// The line settings (g_dcb) and timeouts (g_cto) are staged for the whole run: every setter
// stores its value and applies the whole record to the current handle at once; every open applies
// both records to the new port. A value set while no port is open is kept for the next open.
#ifndef COMPORTAPI_H
#define COMPORTAPI_H

#include "platform/platform.h"

#define RX_SIZE 8192
#define TX_SIZE 8192
#define MAX_WAIT_READ 500
#define BAUD_RATE 9600

extern HANDLE g_hCOM;

BOOL ComPortAPI_OpenCOM(int nId);
BOOL ComPortAPI_CloseCOM(void);
BOOL ComPortAPI_ReadCOM(void* buffer, int nBytesToRead, int* pBytesRead);
BOOL ComPortAPI_WriteCOM(const void* buffer, int nBytesToWrite, int* pBytesWritten);
BOOL ComPortAPI_SetReadingTimeoutInMs(int timeoutInMs);
BOOL ComPortAPI_SetBaudRate(int baudrate);
BOOL ComPortAPI_SetHardwareFlowControl(BOOL isEnable);

// Formats the device path of COMnId into name[size]; FALSE when it would not fit.
BOOL ComPortAPI_FormatPortName(char* name, int size, int nId);

// Tests only: puts the handle and the staged settings back to their start-up values.
void ComPortAPI_RestoreDefaults(void);
// Tests only: the staged records.
const DCB* ComPortAPI_StagedLineSettings(void);
const COMMTIMEOUTS* ComPortAPI_StagedTimeouts(void);

#endif  // COMPORTAPI_H
