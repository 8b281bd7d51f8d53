// The Windows serial functions the program calls, on termios, poll and unistd.
//
// A handle is a number handed out once per successful CreateFileA and never reused; it keys a
// table of open ports. A closed, invalid or made-up handle is simply not in the table, so every
// call on it fails without touching any file descriptor (never someone else's).
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace {

struct SerialPort {
    int fd;
    COMMTIMEOUTS timeouts;
};

using Clock = std::chrono::steady_clock;

// Handle values start well clear of null and INVALID_HANDLE_VALUE.
constexpr uintptr_t FIRST_HANDLE = 0x1000;

std::map<uintptr_t, SerialPort>& openPorts() {
    static std::map<uintptr_t, SerialPort> ports;
    return ports;
}

uintptr_t nextHandleValue() {
    static uintptr_t next = FIRST_HANDLE;
    return next++;
}

SerialPort* findPort(HANDLE handle) {
    auto& ports = openPorts();
    const auto found = ports.find(reinterpret_cast<uintptr_t>(handle));
    return found == ports.end() ? nullptr : &found->second;
}

// ---- Port names -------------------------------------------------------------------------------

constexpr char PORT_PREFIX[] = "\\\\.\\COM";
constexpr int MAX_PORT_DIGITS = 9;

// The n of "\\.\COMn" (n >= 1, no sign, no leading zero), or nothing for any other name.
std::optional<long> portNumberOf(const char* name) {
    const size_t prefixLength = sizeof(PORT_PREFIX) - 1;
    if (name == nullptr || std::strncmp(name, PORT_PREFIX, prefixLength) != 0) {
        return std::nullopt;
    }
    const char* digits = name + prefixLength;
    const size_t count = std::strlen(digits);
    if (count == 0 || count > MAX_PORT_DIGITS || digits[0] == '0' ||
        std::strspn(digits, "0123456789") != count) {
        return std::nullopt;
    }
    return std::strtol(digits, nullptr, 10);
}

bool isDirectory(const char* path) {
    struct stat info {};
    return path != nullptr && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// USB adapters first: they are what a unit is connected through today.
std::optional<std::string> fixedDevicePath(long number) {
    struct Range {
        long first, last;
        const char* device;
    };
    static constexpr Range TABLE[] = {
        {1, 8, "/dev/ttyUSB"}, {9, 16, "/dev/ttyACM"}, {17, 32, "/dev/ttyS"}};
    for (const Range& range : TABLE) {
        if (number >= range.first && number <= range.last) {
            return range.device + std::to_string(number - range.first);
        }
    }
    return std::nullopt;
}

std::optional<std::string> devicePathOf(const char* name) {
    const std::optional<long> number = portNumberOf(name);
    if (!number) {
        return std::nullopt;
    }
    const char* comDir = std::getenv("BRIVANTA_COM_DIR");
    if (isDirectory(comDir)) {
        return std::string(comDir) + "/COM" + std::to_string(*number);
    }
    return fixedDevicePath(*number);
}

// ---- Opening ----------------------------------------------------------------------------------

// Share mode 0 means no second opener: flock keeps out other programs that lock (and this one),
// TIOCEXCL keeps out everyone else who is not privileged.
bool takeExclusively(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    ioctl(fd, TIOCEXCL);
    return true;
}

int openDevice(const std::string& path) {
    // O_NONBLOCK stays on: reads and writes wait in poll, where their deadlines are kept.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (!isatty(fd) || !takeExclusively(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

// ---- Line settings ----------------------------------------------------------------------------

std::optional<speed_t> termiosSpeedOf(DWORD baudRate) {
    struct Rate {
        DWORD baud;
        speed_t speed;
    };
    static constexpr Rate RATES[] = {
        {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
        {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
        {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
        {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B500000
        {500000, B500000},
#endif
#ifdef B576000
        {576000, B576000},
#endif
#ifdef B921600
        {921600, B921600},
#endif
#ifdef B1000000
        {1000000, B1000000},
#endif
    };
    for (const Rate& rate : RATES) {
        if (rate.baud == baudRate) {
            return rate.speed;
        }
    }
    return std::nullopt;
}

// Only 8N1 is offered; a record asking for anything else is refused rather than half applied.
bool isEightNoneOne(const DCB& dcb) {
    return dcb.ByteSize == 8 && dcb.Parity == NOPARITY && dcb.StopBits == ONESTOPBIT;
}

void applyRawEightNoneOne(termios& tio, const DCB& dcb) {
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    if (dcb.fOutxCtsFlow) {
        tio.c_cflag |= CRTSCTS;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (dcb.fOutX) {
        tio.c_iflag |= IXON;
    }
    if (dcb.fInX) {
        tio.c_iflag |= IXOFF;
    }
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

// A pseudo-terminal has no modem lines; that is not a failure.
bool changeModemLine(int fd, int line, bool raise) {
    const int request = raise ? TIOCMBIS : TIOCMBIC;
    return ioctl(fd, request, &line) == 0 || errno == ENOTTY || errno == EINVAL;
}

bool applyHandshakeLines(int fd, const DCB& dcb) {
    const bool dtrOk = changeModemLine(fd, TIOCM_DTR, dcb.fDtrControl == DTR_CONTROL_ENABLE);
    const bool rtsOk = changeModemLine(fd, TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE);
    return dtrOk && rtsOk;
}

// tcsetattr succeeds when any part was taken; read back so an unsupported rate is reported.
bool setAndConfirmSpeed(int fd, const termios& wanted, speed_t speed) {
    termios actual{};
    return tcsetattr(fd, TCSANOW, &wanted) == 0 && tcgetattr(fd, &actual) == 0 &&
           cfgetospeed(&actual) == speed && cfgetispeed(&actual) == speed;
}

// ---- Waiting ----------------------------------------------------------------------------------

enum class Readiness { Ready, TimedOut, Failed };

// Waits for `events` on fd until the deadline (none: without limit).
Readiness waitFor(int fd, short events, std::optional<Clock::time_point> deadline) {
    for (;;) {
        int timeoutMs = -1;
        if (deadline) {
            const auto left = *deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                return Readiness::TimedOut;
            }
            // Rounded up, so the wait never ends before the deadline.
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            timeoutMs = ms > 60000 ? 60000 : static_cast<int>(ms);
        }
        pollfd pfd{fd, events, 0};
        const int ready = poll(&pfd, 1, timeoutMs);
        if (ready > 0) {
            // A hung-up pseudo-terminal also reports POLLIN while reads bring nothing.
            const bool lost = (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            return lost ? Readiness::Failed : Readiness::Ready;
        }
        if (ready < 0 && errno != EINTR) {
            return Readiness::Failed;
        }
    }
}

std::optional<Clock::time_point> readDeadline(const COMMTIMEOUTS& timeouts, DWORD count,
                                              Clock::time_point start) {
    const unsigned long long totalMs =
        static_cast<unsigned long long>(timeouts.ReadTotalTimeoutMultiplier) * count +
        timeouts.ReadTotalTimeoutConstant;
    if (totalMs == 0) {
        return std::nullopt;
    }
    return start + std::chrono::milliseconds(totalMs);
}

bool isRetryable(int error) {
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

// Every byte waiting now, up to `capacity` (0 when none: VMIN = VTIME = 0); -1 on a hard error,
// such as EIO once the other side of a pseudo-terminal has closed.
ssize_t readAvailable(int fd, BYTE* into, size_t capacity) {
    const ssize_t got = read(fd, into, capacity);
    if (got < 0) {
        return isRetryable(errno) ? 0 : -1;
    }
    return got;
}

bool drainOutput(int fd) {
    while (tcdrain(fd) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD /*desiredAccess*/, DWORD /*shareMode*/,
                   void* /*securityAttributes*/, DWORD /*creationDisposition*/,
                   DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
    const std::optional<std::string> path = devicePathOf(fileName);
    const int fd = path ? openDevice(*path) : -1;
    if (fd < 0) {
        return INVALID_HANDLE_VALUE;
    }
    const uintptr_t handle = nextHandleValue();
    openPorts().emplace(handle, SerialPort{fd, COMMTIMEOUTS{}});
    return reinterpret_cast<HANDLE>(handle);
}

// The kernel's own buffers are used as they are.
BOOL SetupComm(HANDLE file, DWORD /*inQueue*/, DWORD /*outQueue*/) {
    return findPort(file) != nullptr ? TRUE : FALSE;
}

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
    SerialPort* port = findPort(file);
    if (port == nullptr || timeouts == nullptr) {
        return FALSE;
    }
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL SetCommState(HANDLE file, DCB* dcb) {
    const SerialPort* port = findPort(file);
    if (port == nullptr || dcb == nullptr || !isEightNoneOne(*dcb)) {
        return FALSE;
    }
    const std::optional<speed_t> speed = termiosSpeedOf(dcb->BaudRate);
    termios tio{};
    if (!speed || tcgetattr(port->fd, &tio) != 0) {
        return FALSE;
    }
    applyRawEightNoneOne(tio, *dcb);
    if (cfsetispeed(&tio, *speed) != 0 || cfsetospeed(&tio, *speed) != 0 ||
        !setAndConfirmSpeed(port->fd, tio, *speed)) {
        return FALSE;
    }
    return applyHandshakeLines(port->fd, *dcb) ? TRUE : FALSE;
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    const SerialPort* port = findPort(file);
    if (port == nullptr) {
        return FALSE;
    }
    const bool input = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
    const bool output = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
    if (!input && !output) {
        return TRUE;
    }
    const int queue = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
    return tcflush(port->fd, queue) == 0 ? TRUE : FALSE;
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
    const SerialPort* port = findPort(file);
    if (port == nullptr) {
        return FALSE;
    }
    switch (function) {
        case SETDTR:
            return changeModemLine(port->fd, TIOCM_DTR, true) ? TRUE : FALSE;
        case CLRDTR:
            return changeModemLine(port->fd, TIOCM_DTR, false) ? TRUE : FALSE;
        case SETRTS:
            return changeModemLine(port->fd, TIOCM_RTS, true) ? TRUE : FALSE;
        case CLRRTS:
            return changeModemLine(port->fd, TIOCM_RTS, false) ? TRUE : FALSE;
        default:
            return FALSE;
    }
}

// Read timing. The read window is T = ReadTotalTimeoutConstant (+ multiplier x count) ms from
// the call. The read returns:
//   - as soon as `bytesToRead` bytes have arrived (bytes already queued count);
//   - otherwise when the window ends, with every byte that arrived in it, and TRUE; a silent
//     line gives TRUE with *bytesRead == 0. Bytes arriving in bursts are all collected: the
//     read does not end early just because something arrived.
// NUL bytes are delivered like any other (the line is raw). ReadIntervalTimeout is not kept:
// with the program's settings (interval == total) it can never end a read before the window.
// With no total limit at all the read waits for the full count. A hang-up of the other side
// ends the read at once: TRUE with what had arrived, FALSE when nothing had.
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    const SerialPort* port = findPort(file);
    if (port == nullptr || bytesRead == nullptr || overlapped != nullptr ||
        (buffer == nullptr && bytesToRead > 0)) {
        return FALSE;
    }
    const auto deadline = readDeadline(port->timeouts, bytesToRead, Clock::now());
    BYTE* into = static_cast<BYTE*>(buffer);
    DWORD got = 0;
    bool windowOver = false;
    bool lineLost = false;
    for (;;) {
        // One last look after the window ends or the line is lost collects what arrived before.
        const ssize_t n = readAvailable(port->fd, into + got, bytesToRead - got);
        if (n < 0) {
            lineLost = true;
            break;
        }
        got += static_cast<DWORD>(n);
        if (got == bytesToRead || windowOver || lineLost) {
            break;
        }
        const Readiness readiness = waitFor(port->fd, POLLIN, deadline);
        lineLost = readiness == Readiness::Failed;
        windowOver = readiness == Readiness::TimedOut;
    }
    *bytesRead = got;
    return lineLost && got == 0 ? FALSE : TRUE;
}

// Returns once every byte has been handed to the device and sent (tcdrain), so that a change
// of line settings after a write never applies to bytes still in the output queue. No write
// timeout: a line held off by CTS stalls the write until it is released.
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               void* overlapped) {
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    const SerialPort* port = findPort(file);
    if (port == nullptr || bytesWritten == nullptr || overlapped != nullptr ||
        (buffer == nullptr && bytesToWrite > 0)) {
        return FALSE;
    }
    const BYTE* from = static_cast<const BYTE*>(buffer);
    DWORD done = 0;
    while (done < bytesToWrite) {
        const ssize_t n = write(port->fd, from + done, bytesToWrite - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            *bytesWritten = done;
            continue;
        }
        if (n < 0 && !isRetryable(errno)) {
            return FALSE;
        }
        if (waitFor(port->fd, POLLOUT, std::nullopt) != Readiness::Ready) {
            return FALSE;
        }
    }
    return drainOutput(port->fd) ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE object) {
    auto& ports = openPorts();
    const auto found = ports.find(reinterpret_cast<uintptr_t>(object));
    if (found == ports.end()) {
        return FALSE;
    }
    const int fd = found->second.fd;
    ports.erase(found);
    ioctl(fd, TIOCNXCL);  // the exclusive mark would outlive us on a device others keep open
    return close(fd) == 0 ? TRUE : FALSE;
}

void Sleep(DWORD milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
