// The main unit: operator console, detection, identification, upload, the command exchange and
// bulk transfer, image assembly and the web package export. Declared here so that the two
// executables' entry points and the tests can reach it.
#ifndef BRIVANTAFWUPGRADE_H
#define BRIVANTAFWUPGRADE_H

#include <cstdint>

#include "platform/platform.h"

#define FIRMWARE_VERSION_TO_UPLOAD "1.0.0"
#define DATA_BUFFER_SIZE (1024 * 1000)
#define CONCAT_BUFFER_SIZE (4 * 1024 * 1024)

#define FIRMWARE_FILE_HEADER_FOR_WEB "QuorVi\r\n614829\r\n"
#define FIRMWARE_CHUNCK_SIZE_FOR_WEB 928
#define WEB_PACKAGE_FILE_NAME "FwToUpload.bin"

// Exit statuses of the updater.
#define EXIT_UPDATE_OK 0
#define EXIT_UPDATE_FAILED 1
#define EXIT_SETUP_FAILED (-1)

extern char* gHexFirmware;
extern char* gHexFPGA_Code;
extern uint8_t* gDataConcatenated;
extern char* gDataBuffer;
extern int gComPortNumber;
extern int gBaudRate;
extern int gDataConcatenatedLenght;
extern uint32_t gDataConcatenatedCheckSum;

// Entry points of the two executables.
int BrivantaFwUpgrade_main(void);
int BrivantaFwWebPackage_main(void);

// Start-up buffers and their release (shared by both entry points).
BOOL allocateStartupBuffers(void);
void releaseStartupBuffers(void);
// A fresh working copy of row `row` of AUTOGEN_FILES, or null when memory runs out.
char* newWorkingCopyOfImage(int row);

void dipsplayLastMessageToUserBeforeExit(const char* lastMessage);
BOOL detectComPortAndBaudrate(void);
BOOL updateFirmware(void);
BOOL sendCommand(const char* commandToSend, BOOL isEchoON, BOOL validateResponse,
                 const char* expectedResponse);
BOOL sendData(const uint8_t* dataToSend, int dataToSendLength, BOOL validateResponse,
              const char* expectedResponse);
BOOL ValidateFwAndConcatenateData(char* gHexData);
uint32_t imageChecksum(const uint8_t* image, int length);
BOOL StrRemoveNL(char* str, char ch);
BOOL createFirmwareFileForWeb(void);
// The web package of `imageLength` bytes at `image` in FwToUpload.bin (current directory), as
// createFirmwareFileForWeb writes it after the assembly; FALSE, with no package, on any failure.
BOOL writeWebPackage(const uint8_t* image, int imageLength, uint32_t checksum);
// The version reply's fields; exposed for the parser's tests.
struct VersionReply {
    int fw_ver, fw_rev, fw_sub;
    char model[8];
    int fpga_ver, fpga_rev, fpga_type;
};
int parseVersionReply(const char* text, VersionReply* out);

#endif  // BRIVANTAFWUPGRADE_H
