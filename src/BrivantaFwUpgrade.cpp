// BrivantaFwUpgrade: puts new firmware on a video-extender unit (TX or RX) over a serial port.
//
// One straight run: start-up buffers, detection of the port and baud rate (or the operator's
// manual set-up), identification of the unit, upload of the programmable-logic image and then of
// the controller image, the reboot wait, the verdict and a last key press. The web package export
// lives here too; the updater does not call it.
#include "BrivantaFwUpgrade.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ComPortAPI.h"
#include "Encoder.h"
#include "FileAPI.h"
#include "HexDigits.h"
#include "IntelHex.h"
#include "StringOperations.h"
#include "firmware/BinImage.h"

// ---- Command catalogue ----

#define VERSION_PROBE_COMMAND "%help -c version"
#define VERSION_PROBE_RESPONSE \
    "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>"
#define VERSION_QUERY_COMMAND "%fw -v"
#define PRODUCT_QUERY_COMMAND "%fw -p"
#define VALIDATE_TX_PRODUCT_ID_STRING "Quorvi 6G SDI EXTENDER TX WITH ETHERNET\r\n>>"
#define VALIDATE_RX_PRODUCT_ID_STRING "Quorvi 6G SDI EXTENDER RX WITH ETHERNET\r\n>>"
#define LOGIC_UPLOAD_COMMAND "%fw -l "
#define CONTROLLER_UPLOAD_COMMAND "%fw -h "
#define READY_RESPONSE "Ready"
#define SUCCESS_RESPONSE "SUCCESS"
#define COMMAND_PREFIX_NO_ECHO "%%"
#define COMMAND_TERMINATOR "\n\r"

enum DeviceCode {
    DEVICE_NONE = 0,
    DEVICE_XC7A35_484 = 1,
    DEVICE_XC7A50_484 = 2,
    DEVICE_XC7A75_484 = 3,
    DEVICE_XC7A100_484 = 4,
    DEVICE_XC7A200_S484 = 5,
    DEVICE_XC7A200_F484 = 6,
    DEVICE_XC7A75_676 = 7,
    DEVICE_XC7A100_676 = 8,
    DEVICE_XC7A15_484 = 9,
};

namespace {

constexpr int kFirstComPort = 1;
constexpr int kLastComPort = 32;
constexpr int kProbeBaudRates[] = {115200, 9600, 57600, 4800, 2400, 1200};
constexpr int kProbesPerRate = 2;

constexpr int kTransferBaudRate = 115200;
constexpr int kIdentificationTimeoutMs = 1000;
constexpr int kLogicReadyTimeoutMs = 10000;
constexpr int kControllerReadyTimeoutMs = 5000;
constexpr int kSuccessTimeoutMs = 1000;
constexpr int kLastReadTimeoutMs = 11000;
constexpr int kRebootSteps = 46;  // max_cnt
constexpr DWORD kRebootStepMs = 3000;

constexpr int kReadRequest = DATA_BUFFER_SIZE - 1;  // room for the terminating NUL
constexpr int kPieceSize = 10240;
constexpr int kRecordLineSize = 100;  // ":" + at most 98 token characters + NUL

constexpr int kImageRowController = 0;
constexpr int kImageRowTxLogic = 1;
constexpr int kImageRowRxLogic = 2;

const char* const kUpdateFailedText = "\n\rERROR: The update was not successful.\r\n";
const char* const kNoMemoryText = "\r\nERROR: Not enough memory to run the update.\r\n";

}  // namespace

// ---- Module-wide state ----

char* gHexFirmware = nullptr;
char* gHexFPGA_Code = nullptr;
uint8_t* gDataConcatenated = nullptr;
char* gDataBuffer = nullptr;
int gComPortNumber = 0;
int gBaudRate = 0;
int gDataConcatenatedLenght = 0;
uint32_t gDataConcatenatedCheckSum = 0;

// ---- Start-up buffers ----

char* newWorkingCopyOfImage(int row) {
    const autogen_files& image = AUTOGEN_FILES[row];
    const size_t length = static_cast<size_t>(image.fileDataLength);
    char* copy = static_cast<char*>(calloc(length + 16, 1));
    if (copy != nullptr) memcpy(copy, image.fileData, length);
    return copy;
}

BOOL allocateStartupBuffers(void) {
    gHexFirmware = newWorkingCopyOfImage(kImageRowController);
    gDataConcatenated = static_cast<uint8_t*>(calloc(CONCAT_BUFFER_SIZE + 16, 1));
    if (gDataConcatenated != nullptr) memset(gDataConcatenated, 0xFF, CONCAT_BUFFER_SIZE);
    gDataBuffer = static_cast<char*>(calloc(DATA_BUFFER_SIZE, 1));
    if (gHexFirmware != nullptr && gDataConcatenated != nullptr && gDataBuffer != nullptr) {
        return TRUE;
    }
    releaseStartupBuffers();
    return FALSE;
}

void releaseStartupBuffers(void) {
    free(gDataBuffer);
    gDataBuffer = nullptr;
    free(gDataConcatenated);
    gDataConcatenated = nullptr;
    free(gHexFirmware);
    gHexFirmware = nullptr;
    free(gHexFPGA_Code);
    gHexFPGA_Code = nullptr;
}

// ---- Operator console ----

void dipsplayLastMessageToUserBeforeExit(const char* lastMessage) {
    printf("%s", lastMessage);
    printf("\r\nPress any key to exit");
    fflush(stdout);
    _getch();
}

namespace {

// Skips the rest of the current input line; FALSE when the input has ended.
BOOL discardRestOfLine() {
    int c;
    do {
        c = getchar();
    } while (c != '\n' && c != EOF);
    return c != EOF;
}

// One decimal entry: whitespace and empty lines are skipped; an entry that is not a decimal int
// is discarded with the rest of its line and the prompt is shown again. FALSE at end of input.
BOOL readDecimalEntry(const char* prompt, int* value) {
    for (;;) {
        printf("%s", prompt);
        fflush(stdout);
        char word[32];
        if (scanf("%31s", word) != 1) return FALSE;
        char* end = nullptr;
        errno = 0;
        const long number = strtol(word, &end, 10);
        if (end != word && *end == '\0' && errno == 0 && number >= INT_MIN && number <= INT_MAX) {
            *value = static_cast<int>(number);
            return TRUE;
        }
        if (!discardRestOfLine()) return FALSE;
    }
}

// The operator names the port and the baud rate; EXIT_UPDATE_OK when the port is open at that
// rate, else the status the run ends with.
int runManualSetUp() {
    if (!readDecimalEntry("\n\r\n\rEnter the COM port number : ", &gComPortNumber)) {
        dipsplayLastMessageToUserBeforeExit("\r\nERROR: No COM port number entered.\r\n");
        return EXIT_SETUP_FAILED;
    }
    printf("\r\nOpening COM%d....................", gComPortNumber);
    if (!ComPortAPI_OpenCOM(gComPortNumber)) {
        dipsplayLastMessageToUserBeforeExit("");
        return EXIT_SETUP_FAILED;
    }
    printf("OK\r\n");
    if (!readDecimalEntry("\n\r\n\rEnter the BAUD RATE       : ", &gBaudRate)) {
        ComPortAPI_CloseCOM();
        dipsplayLastMessageToUserBeforeExit("\r\nERROR: No baud rate entered.\r\n");
        return EXIT_SETUP_FAILED;
    }
    printf("\r\nSetting baud rate at %d..........", gBaudRate);
    if (!ComPortAPI_SetBaudRate(gBaudRate)) {
        ComPortAPI_CloseCOM();
        dipsplayLastMessageToUserBeforeExit("");
        return EXIT_SETUP_FAILED;
    }
    printf("OK\r\n");
    return EXIT_UPDATE_OK;
}

void resetRunState() {
    gHexFirmware = nullptr;
    gHexFPGA_Code = nullptr;
    gDataConcatenated = nullptr;
    gDataBuffer = nullptr;
    gComPortNumber = 0;
    gBaudRate = 0;
    gDataConcatenatedLenght = 0;
    gDataConcatenatedCheckSum = 0;
}

}  // namespace

int BrivantaFwUpgrade_main(void) {
    resetRunState();
    if (!allocateStartupBuffers()) {
        dipsplayLastMessageToUserBeforeExit(kNoMemoryText);
        return EXIT_UPDATE_FAILED;
    }
    printf("\n\rYou are about to upload the firmware version %s", FIRMWARE_VERSION_TO_UPLOAD);
    printf("\n\r\n\rDetecting COM port and Baud Rate..................");
    ComPortAPI_SetHardwareFlowControl(FALSE);
    if (detectComPortAndBaudrate()) {
        printf("OK\r\n");
        printf("COM PORT Number : %d", gComPortNumber);
        printf("\r\nBaud rate       : %d \r\n\r\n", gBaudRate);
    } else {
        printf("FAILED");
        const int status = runManualSetUp();
        if (status != EXIT_UPDATE_OK) {
            releaseStartupBuffers();
            return status;
        }
    }
    ComPortAPI_SetHardwareFlowControl(TRUE);
    const BOOL updated = updateFirmware();
    ComPortAPI_CloseCOM();
    dipsplayLastMessageToUserBeforeExit(updated ? "" : kUpdateFailedText);
    releaseStartupBuffers();
    return updated ? EXIT_UPDATE_OK : EXIT_UPDATE_FAILED;
}

// ---- Device detection ----

BOOL detectComPortAndBaudrate(void) {
    char ResponseExpected[100];
    snprintf(ResponseExpected, sizeof ResponseExpected, "%s", VERSION_PROBE_RESPONSE);
    char szCOM[16];
    for (int port = kFirstComPort; port <= kLastComPort; ++port) {
        ComPortAPI_FormatPortName(szCOM, sizeof szCOM, port);
        g_hCOM = CreateFileA(szCOM, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_SYSTEM, nullptr);
        if (g_hCOM == INVALID_HANDLE_VALUE) {
            gComPortNumber = 0;
            gBaudRate = 0;
            continue;
        }
        gComPortNumber = port;
        CloseHandle(g_hCOM);
        for (const int baudRate : kProbeBaudRates) {
            ComPortAPI_SetBaudRate(baudRate);
            if (!ComPortAPI_OpenCOM(port)) continue;
            gBaudRate = baudRate;
            for (int probe = 0; probe < kProbesPerRate; ++probe) {
                if (sendCommand(VERSION_PROBE_COMMAND, FALSE, TRUE, ResponseExpected)) return TRUE;
            }
            CloseHandle(g_hCOM);
        }
    }
    return FALSE;
}

// ---- Device identification ----

namespace {

// Reads an int as "%d" does: leading white space skipped, optional sign, decimal digits. A
// number outside int's range is not a field.
bool scanInt(const char*& p, int* out) {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    const char* start = p;
    if (*p == '+' || *p == '-') ++p;
    if (*p < '0' || *p > '9') {
        p = start;
        return false;
    }
    const bool negative = *start == '-';
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) value = -value;
    if (value < INT_MIN || value > INT_MAX) return false;
    *out = static_cast<int>(value);
    return true;
}

bool scanLiteral(const char*& p, char literal) {
    if (*p != literal) return false;
    ++p;
    return true;
}

bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads a word as "%s" does, into a field of 7 characters and a NUL. A longer word is not
// stored: the reply counts as not parsed from there on.
bool scanModelWord(const char*& p, char (&model)[8]) {
    while (isSpace(*p)) ++p;
    const char* start = p;
    while (*p != '\0' && !isSpace(*p)) ++p;
    const size_t length = static_cast<size_t>(p - start);
    if (length == 0 || length >= sizeof model) return false;
    memcpy(model, start, length);
    model[length] = '\0';
    return true;
}

}  // namespace

// The version reply, laid out as "%d.%d.%d %s %d.%d %d"; returns the number of fields filled.
int parseVersionReply(const char* text, VersionReply* out) {
    const char* p = text;
    int fields = 0;
    if (!scanInt(p, &out->fw_ver)) return fields;
    ++fields;
    if (!scanLiteral(p, '.') || !scanInt(p, &out->fw_rev)) return fields;
    ++fields;
    if (!scanLiteral(p, '.') || !scanInt(p, &out->fw_sub)) return fields;
    ++fields;
    if (!scanModelWord(p, out->model)) return fields;
    ++fields;
    if (!scanInt(p, &out->fpga_ver)) return fields;
    ++fields;
    if (!scanLiteral(p, '.') || !scanInt(p, &out->fpga_rev)) return fields;
    ++fields;
    if (!scanInt(p, &out->fpga_type)) return fields;
    return ++fields;
}

namespace {

// Asks the unit for its versions, accepts only the logic device the images are made for, tells
// TX from RX and makes the working copy of the matching logic image. FALSE with the reason shown.
BOOL identifyUnit() {
    ComPortAPI_SetReadingTimeoutInMs(kIdentificationTimeoutMs);
    sendCommand(VERSION_QUERY_COMMAND, FALSE, FALSE, nullptr);
    int nBytesRead = 0;
    ComPortAPI_ReadCOM(gDataBuffer, kReadRequest, &nBytesRead);
    if (nBytesRead < 0 || nBytesRead > kReadRequest) nBytesRead = 0;
    gDataBuffer[nBytesRead] = '\0';
    StrRemoveNL(gDataBuffer, ' ');

    VersionReply version = {0, 0, 0, {0}, 0, 0, -1};
    const int nbr = parseVersionReply(gDataBuffer, &version);
    if (nbr == 7) {
        printf("Checking firmware version ..............  %d.%02d.%02d \r\n", version.fw_ver,
               version.fw_rev, version.fw_sub);
        printf("Checking fpga version ..................  %s %d.%02d  device:%d\r\n", version.model,
               version.fpga_ver, version.fpga_rev, version.fpga_type);
    }
    printf("Checking product .......... ");
    if (nbr != 7 || version.fpga_type != DEVICE_XC7A15_484) {
        printf("FAILED, Unknown product\r\n");
        return FALSE;
    }

    // One product query per candidate identity: TX first, then RX.
    struct Identity {
        const char* reply;
        const char* verdict;
        int page_idx;
    };
    const Identity identities[] = {{VALIDATE_TX_PRODUCT_ID_STRING, "TX OK\r\n", kImageRowTxLogic},
                                   {VALIDATE_RX_PRODUCT_ID_STRING, "RX OK\r\n", kImageRowRxLogic}};
    int page_idx = 0;
    for (const Identity& identity : identities) {
        if (sendCommand(PRODUCT_QUERY_COMMAND, FALSE, TRUE, identity.reply)) {
            printf("%s", identity.verdict);
            printf("%s", identity.reply);
            printf("\r\n");
            page_idx = identity.page_idx;
            break;
        }
    }
    if (page_idx == 0) {
        printf("FAILED\r\n");
        return FALSE;
    }

    gHexFPGA_Code = newWorkingCopyOfImage(page_idx);
    if (gHexFPGA_Code == nullptr) {
        printf("%s", kNoMemoryText);
        return FALSE;
    }
    return TRUE;
}

// ---- Firmware upload sequence ----

struct UploadSettings {
    char* imageText;
    const char* invalidText;
    const char* announceLabel;
    const char* commandWord;
    int readyTimeoutMs;
    const char* transferLabel;
};

// Assembles one image, announces it, waits for "Ready" and sends it at the transfer rate.
BOOL uploadImage(const UploadSettings& upload) {
    if (!ValidateFwAndConcatenateData(upload.imageText)) {
        printf("%s\n", upload.invalidText);
        return FALSE;
    }
    printf("%s", upload.announceLabel);
    gDataConcatenatedCheckSum = imageChecksum(gDataConcatenated, gDataConcatenatedLenght);
    char commandToSend[100];
    snprintf(commandToSend, sizeof commandToSend, "%s%u %d", upload.commandWord,
             static_cast<unsigned>(gDataConcatenatedCheckSum), gDataConcatenatedLenght);
    ComPortAPI_SetReadingTimeoutInMs(upload.readyTimeoutMs);
    if (!sendCommand(commandToSend, FALSE, TRUE, READY_RESPONSE)) {
        printf("FAILED [Unit not ready]\r\n");
        return FALSE;
    }
    printf("OK\r\n");
    printf("%s", upload.transferLabel);
    ComPortAPI_SetBaudRate(kTransferBaudRate);
    ComPortAPI_SetReadingTimeoutInMs(kSuccessTimeoutMs);
    fflush(stdout);
    if (!sendData(gDataConcatenated, gDataConcatenatedLenght, TRUE, SUCCESS_RESPONSE)) {
        printf("FAILED\r\n");
        return FALSE;
    }
    return TRUE;
}

BOOL isRebootPrompt(const char* text) {
    const size_t length = strlen(text);
    return length >= 2 && text[0] == '[' && text[length - 2] == '>' && text[length - 1] == '>';
}

// Counts down the unit's fixed reboot time, then looks for its prompt.
void awaitReboot() {
    printf("Please wait while the unit is rebooting ........... ");
    for (int i = 0; i < kRebootSteps; ++i) {
        printf("%3d%%", i * 100 / kRebootSteps);
        fflush(stdout);
        Sleep(kRebootStepMs);
        printf("\b\b\b\b");
    }
    printf("%3d%%", kRebootSteps * 100 / kRebootSteps);
    fflush(stdout);

    int nBytesRead = 0;
    ComPortAPI_ReadCOM(gDataBuffer, kReadRequest, &nBytesRead);  // what came during the wait
    ComPortAPI_SetReadingTimeoutInMs(kLastReadTimeoutMs);
    nBytesRead = 0;
    ComPortAPI_ReadCOM(gDataBuffer, kReadRequest, &nBytesRead);
    if (nBytesRead < 0 || nBytesRead > kReadRequest) nBytesRead = 0;
    gDataBuffer[nBytesRead] = '\0';
    printf("\b\b\b\b");
    printf("100%%");
    if (isRebootPrompt(gDataBuffer)) {
        printf("\n\r\n\rThe update was successful, the unit is now operational\r\n");
    }
}

}  // namespace

BOOL updateFirmware(void) {
    if (!identifyUnit()) return FALSE;

    const UploadSettings logic = {gHexFPGA_Code,
                                  "\r\nERROR: Programmable Logic data is not valid !\r",
                                  "Preparing to Upload Programmable Logic ............ ",
                                  LOGIC_UPLOAD_COMMAND,
                                  kLogicReadyTimeoutMs,
                                  "Sending Programmable Logic data ................... "};
    if (!uploadImage(logic)) return FALSE;
    printf("OK\r\n");

    const UploadSettings controller = {gHexFirmware,
                                       "\r\nERROR: uC Firmware data is not valid !\r",
                                       "Preparing to Upload Firmware ...................... ",
                                       CONTROLLER_UPLOAD_COMMAND,
                                       kControllerReadyTimeoutMs,
                                       "Sending data ...................................... "};
    if (!uploadImage(controller)) return FALSE;
    ComPortAPI_SetBaudRate(gBaudRate);
    printf(" OK\n\r\n\r");
    awaitReboot();
    return TRUE;
}

// ---- Device console protocol: command exchange and bulk transfer ----

namespace {

// A reply collected over read windows, as NUL-terminated text of at most kReadRequest characters.
struct CollectedReply {
    char* text;       // responseReceivedCopy; null when it could not be allocated
    bool overflowed;  // the unit never paused: the reply outgrew the buffer or the window count
};

// No reply of the catalogue spans more than a few windows; a unit that trickles bytes into every
// window (a status line, line noise) is cut off here rather than after a megabyte of trickle.
constexpr int kMaxReplyWindows = 100;

// Reads window after window until one brings nothing. A unit that never pauses is cut off once
// it has sent more bytes than the buffer holds, and its reply counts as differing from anything
// expected. NUL bytes count too: they add no text, and a line that delivers nothing but NULs (a
// held break) would otherwise keep the collection going for ever. Nor may it go on for more than
// kMaxReplyWindows windows.
CollectedReply collectReply() {
    CollectedReply reply = {static_cast<char*>(malloc(DATA_BUFFER_SIZE)), false};
    if (reply.text == nullptr) return reply;
    size_t length = 0;
    size_t received = 0;
    reply.text[0] = '\0';
    for (int window = 0;; ++window) {
        if (window == kMaxReplyWindows) {
            reply.overflowed = true;
            break;
        }
        int count = 0;
        ComPortAPI_ReadCOM(gDataBuffer, kReadRequest, &count);
        if (count <= 0 || count > kReadRequest) break;
        received += static_cast<size_t>(count);
        if (received > static_cast<size_t>(kReadRequest)) {
            reply.overflowed = true;
            break;
        }
        gDataBuffer[count] = '\0';
        const size_t chunk = strlen(gDataBuffer);  // the text never outgrows what was received
        memcpy(reply.text + length, gDataBuffer, chunk + 1);
        length += chunk;
    }
    return reply;
}

bool replyMatches(const CollectedReply& reply, const char* expectedResponse) {
    return reply.text != nullptr && !reply.overflowed && strcmp(reply.text, expectedResponse) == 0;
}

// Frames a command in gDataBuffer; returns the frame's length.
int buildCommandFrame(const char* commandToSend, BOOL isEchoON) {
    const int length =
        snprintf(gDataBuffer, DATA_BUFFER_SIZE, "%s%s%s",
                 isEchoON == 1 ? "" : COMMAND_PREFIX_NO_ECHO, commandToSend, COMMAND_TERMINATOR);
    return length < DATA_BUFFER_SIZE ? length : -1;
}

void eraseProgressFigure(int percentage) {
    printf(percentage <= 9 ? "\b\b" : "\b\b\b");
}

}  // namespace

BOOL sendCommand(const char* commandToSend, BOOL isEchoON, BOOL validateResponse,
                 const char* expectedResponse) {
    fflush(stdout);
    const int frameLength = buildCommandFrame(commandToSend, isEchoON);
    int written = 0;
    if (frameLength < 0 || !ComPortAPI_WriteCOM(gDataBuffer, frameLength, &written)) {
        printf("\r\nError occurred when sending data !\r\n");
        return FALSE;
    }
    if (expectedResponse == nullptr) return TRUE;
    CollectedReply reply = collectReply();
    const bool differs = validateResponse == 1 && !replyMatches(reply, expectedResponse);
    free(reply.text);
    return differs ? FALSE : TRUE;
}

BOOL sendData(const uint8_t* dataToSend, int dataToSendLength, BOOL validateResponse,
              const char* expectedResponse) {
    if (dataToSendLength <= 0) return FALSE;  // there is always an image to send
    fflush(stdout);
    printf("1%%");
    int dataSent = 0;
    int percentage = 0;
    int written = 0;
    while (dataToSendLength - dataSent > kPieceSize) {
        if (!ComPortAPI_WriteCOM(dataToSend + dataSent, kPieceSize, &written)) return FALSE;
        dataSent += kPieceSize;
        eraseProgressFigure(percentage);
        percentage = static_cast<int>(static_cast<long long>(dataSent) * 100 / dataToSendLength);
        printf("%d%%", percentage);
        fflush(stdout);
    }
    if (!ComPortAPI_WriteCOM(dataToSend + dataSent, dataToSendLength - dataSent, &written)) {
        return FALSE;
    }
    eraseProgressFigure(percentage);
    printf("100%%");
    fflush(stdout);

    if (expectedResponse == nullptr) return TRUE;
    CollectedReply reply = collectReply();
    BOOL result = TRUE;
    if (validateResponse == 1 && !replyMatches(reply, expectedResponse)) {
        printf("\r\nExpected : %s  received : %s\r\n", expectedResponse,
               reply.text != nullptr ? reply.text : "");
        printf("\r\nError: Expected response did  not matched !\r\n");
        result = FALSE;
    }
    free(reply.text);
    return result;
}

// ---- Text helpers ----

BOOL StrRemoveNL(char* str, char ch) {
    const size_t length = strlen(str);
    for (size_t i = 0; i < length; ++i) {
        if (str[i] == '\r' || str[i] == '\n') str[i] = ch;
    }
    return TRUE;
}

// ---- Image assembly ----

namespace {

// Prints why a record stops the pass, then the record line itself as text (not as a format).
void reportBadRecord(const char* reason, const char* line) {
    printf("%s", reason);
    fputs(line, stdout);
    printf("\r\n");
}

// The record line of a token: ":" and the token up to its first line break, where the line ends
// (what follows the break before the next ":" changes nothing). The caller has checked that the
// token fits the line buffer.
void buildRecordLine(const char* token, size_t tokenLength, char* line) {
    const void* cr = memchr(token, '\r', tokenLength);
    const void* lf = memchr(token, '\n', tokenLength);
    size_t lineLength = tokenLength;
    if (cr != nullptr) lineLength = static_cast<size_t>(static_cast<const char*>(cr) - token);
    if (lf != nullptr) {
        lineLength =
            std::min(lineLength, static_cast<size_t>(static_cast<const char*>(lf) - token));
    }
    line[0] = ':';
    memcpy(line + 1, token, lineLength);
    line[lineLength + 1] = '\0';
}

// The byte of the two hex digits at `pair` of a line already found valid, hence long enough.
uint8_t byteOfValidLine(const char* pair) {
    return hexdigits::pairValue(pair);
}

enum class RecordResult { Placed, Failed };

// Places the data bytes of a valid data record at the upper offset plus its load address.
RecordResult placeDataRecord(const char* line, uint32_t memory_offset) {
    const uint8_t data_length = intel_hex_line_data_length(line);
    const uint32_t address =
        memory_offset +
        (static_cast<uint32_t>(byteOfValidLine(line + 3)) << 8 | byteOfValidLine(line + 5));
    if (address + data_length > static_cast<uint32_t>(CONCAT_BUFFER_SIZE)) {
        reportBadRecord("\r\n Record data beyond the 4 MiB image \r\n", line);
        return RecordResult::Failed;
    }
    const char* pair = line + 9;
    for (uint8_t i = 0; i < data_length; ++i, pair += 2) {
        gDataConcatenated[address + i] = byteOfValidLine(pair);
    }
    gDataConcatenatedLenght = static_cast<int>(address);
    return RecordResult::Placed;
}

// Places one valid record line; extended linear address records move the upper offset (bits 16
// to 23 of the upper address only), every other type changes nothing.
RecordResult placeRecord(const char* line, uint32_t* memory_offset) {
    if (intel_hex_line_is_data_record(line)) return placeDataRecord(line, *memory_offset);
    if (!intel_hex_line_is_extended_linear_address_record(line)) return RecordResult::Placed;
    if (intel_hex_line_data_length(line) < 2) {
        reportBadRecord("\r\n Extended linear address record without its address \r\n", line);
        return RecordResult::Failed;
    }
    *memory_offset = static_cast<uint32_t>(byteOfValidLine(line + 11)) << 16;
    return RecordResult::Placed;
}

}  // namespace

BOOL ValidateFwAndConcatenateData(char* gHexData) {
    memset(gDataConcatenated, 0xFF, CONCAT_BUFFER_SIZE);
    gDataConcatenatedLenght = 0;
    uint32_t memory_offset = 0;

    char** extractedHexLine = str_split(gHexData, ":");
    if (extractedHexLine == nullptr) {
        printf("\r\nNUL extractedHexLine \r\n");
        return FALSE;
    }
    BOOL passed = TRUE;
    for (int index = 0; extractedHexLine[index] != nullptr; ++index) {
        const char* token = extractedHexLine[index];
        const size_t tokenLength = strlen(token);
        if (tokenLength > kRecordLineSize - 2) {
            printf("\r\n Record line too long (%u characters) \r\n",
                   static_cast<unsigned>(std::min<size_t>(tokenLength + 1, UINT_MAX)));
            passed = FALSE;
            break;
        }
        char intelHexStringLine[kRecordLineSize];
        buildRecordLine(token, tokenLength, intelHexStringLine);
        if (intel_hex_line_is_valid(intelHexStringLine) != INTEL_HEX_STRING_OK) {
            reportBadRecord("\r\n intel_hex_line_is_valid \r\n", intelHexStringLine);
            passed = FALSE;
            break;
        }
        if (placeRecord(intelHexStringLine, &memory_offset) == RecordResult::Failed) {
            passed = FALSE;
            break;
        }
    }
    free(extractedHexLine);
    return passed;
}

uint32_t imageChecksum(const uint8_t* image, int length) {
    uint32_t checksum = 0;
    for (int index = 0; index < length; ++index) checksum -= image[index];
    return checksum;
}

// ---- Web package export ----

namespace {

constexpr int kWebTextBufferSize = 614400;  // encoded text + NUL: images of at most 460797 bytes
constexpr int kWebLineLength = FIRMWARE_CHUNCK_SIZE_FOR_WEB;
constexpr int kWebHeaderSize = 64;

// Written beside the package and moved over it only when complete: a failed export never leaves
// a truncated package, nor a header without its body.
const char* const kWebPackageTempName = WEB_PACKAGE_FILE_NAME ".tmp";

const char* const kWebWriteFailedText =
    "\r\nERROR: Cannot write the web package " WEB_PACKAGE_FILE_NAME " !\r\n";
const char* const kWebNotCreatedText =
    "\r\nERROR: The web package " WEB_PACKAGE_FILE_NAME " was not created.\r\n";
const char* const kWebNoMemoryText = "\r\nERROR: Not enough memory to make the web package.\r\n";

// The base64 text of the image in `text`, its pad turned into "A"; its length, or 0 after a
// message when there is nothing to encode or the text does not fit.
int encodeWebBody(unsigned char* text, const uint8_t* image, int imageLength) {
    if (imageLength <= 0) {
        printf("\r\nERROR: The firmware image is empty !\r\n");
        return 0;
    }
    int textLength = kWebTextBufferSize;
    if (base64_encode(text, textLength, image, imageLength) != 0) {
        printf("\r\n ERROR BASE 64 !\r\n");
        printf("\r\nERROR: The firmware image is larger than 460797 bytes !\r\n");
        return 0;
    }
    for (int index = textLength > 4 ? textLength - 4 : 0; index < textLength; ++index) {
        if (text[index] == '=') text[index] = 'A';
    }
    return textLength;
}

// Into the file just created, which it closes.
BOOL writeWebHeader(uint32_t checksum, int imageLength) {
    char header[kWebHeaderSize];
    snprintf(header, sizeof header, "%s%s\r\n%u\r\n%d\r\n", FIRMWARE_FILE_HEADER_FOR_WEB,
             FIRMWARE_VERSION_TO_UPLOAD, checksum, imageLength);
    const BOOL written = FileAPI_writeToFileBinary(reinterpret_cast<const uint8_t*>(header),
                                                   static_cast<uint32_t>(strlen(header)));
    const BOOL closed = FileAPI_CloseFile();
    return written && closed;
}

// Lines of 928 characters, each but the last followed by "\r\n" and written with it at once.
BOOL writeWebBody(const char* fileName, const unsigned char* text, int textLength) {
    if (!FileAPI_OpenFile_ToWrite(fileName, TRUE)) return FALSE;
    uint8_t line[kWebLineLength + 2];
    line[kWebLineLength] = '\r';
    line[kWebLineLength + 1] = '\n';
    BOOL written = TRUE;
    int offset = 0;
    for (; written && textLength - offset > kWebLineLength; offset += kWebLineLength) {
        memcpy(line, text + offset, kWebLineLength);
        written = FileAPI_writeToFileBinary(line, sizeof line);
    }
    if (written && offset < textLength) {
        written =
            FileAPI_writeToFileBinary(text + offset, static_cast<uint32_t>(textLength - offset));
    }
    const BOOL closed = FileAPI_CloseFile();
    return written && closed;
}

// Header, body and the move over the package; the temporary file is gone afterwards either way.
BOOL writeWebPackageFile(const unsigned char* text, int textLength, uint32_t checksum,
                         int imageLength) {
    if (!FileAPI_CreateFile(kWebPackageTempName, TRUE)) {
        printf("%s", kWebWriteFailedText);
        return FALSE;
    }
    const BOOL complete = writeWebHeader(checksum, imageLength) &&
                          writeWebBody(kWebPackageTempName, text, textLength) &&
                          platform_ReplaceFile(kWebPackageTempName, WEB_PACKAGE_FILE_NAME);
    if (!complete) {
        remove(kWebPackageTempName);
        printf("%s", kWebWriteFailedText);
    }
    return complete;
}

}  // namespace

BOOL writeWebPackage(const uint8_t* image, int imageLength, uint32_t checksum) {
    unsigned char* text = static_cast<unsigned char*>(malloc(kWebTextBufferSize));
    if (text == nullptr) {
        printf("%s", kWebNoMemoryText);
        return FALSE;
    }
    const int textLength = encodeWebBody(text, image, imageLength);
    const BOOL written =
        textLength > 0 && writeWebPackageFile(text, textLength, checksum, imageLength);
    free(text);
    return written;
}

BOOL createFirmwareFileForWeb(void) {
    if (!ValidateFwAndConcatenateData(gHexFirmware)) {
        printf("\r\nERROR: Firmware data is not valid !\r\n");
        return FALSE;
    }
    printf("\r\n Firmware data is valid !\r\n");
    gDataConcatenatedCheckSum = imageChecksum(gDataConcatenated, gDataConcatenatedLenght);
    char checksumText[16];
    snprintf(checksumText, sizeof checksumText, "%u", gDataConcatenatedCheckSum);
    printf("\r\n Firmware CheckSum = %s !\r\n", checksumText);
    printf("\r\n Firmware CheckSum u = %u !\r\n", gDataConcatenatedCheckSum);
    printf("\r\n Firmware data length = %d !\r\n", gDataConcatenatedLenght);
    if (!writeWebPackage(gDataConcatenated, gDataConcatenatedLenght, gDataConcatenatedCheckSum)) {
        return FALSE;
    }
    dipsplayLastMessageToUserBeforeExit("");
    return TRUE;
}

// Every run ends with the key prompt, so that a failure stays on the screen until it is read.
int BrivantaFwWebPackage_main(void) {
    if (!allocateStartupBuffers()) {
        dipsplayLastMessageToUserBeforeExit(kWebNoMemoryText);
        return EXIT_FAILURE;
    }
    const BOOL created = createFirmwareFileForWeb();
    if (!created) dipsplayLastMessageToUserBeforeExit(kWebNotCreatedText);
    releaseStartupBuffers();
    return created ? EXIT_SUCCESS : EXIT_FAILURE;
}
