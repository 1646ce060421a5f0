// Rules of the Windows back end and port enumeration that need no Windows:
// settings to DCB members, Timeout to COMMTIMEOUTS, port-name conversions,
// failure texts, and the buffer handling and filtering of the SetupAPI port
// list.  The Win32 layers (win.cc, list_ports_win.cc) copy between these plain
// records and the system's structures; the numbers below are Win32's own.
#ifndef SERIAL_IMPL_WIN_LOGIC_H
#define SERIAL_IMPL_WIN_LOGIC_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/serial.h"

namespace serial {
namespace detail {

// DCB values.
constexpr uint8_t kOneStopBit = 0;
constexpr uint8_t kOne5StopBits = 1;
constexpr uint8_t kTwoStopBits = 2;
constexpr uint8_t kRtsControlDisable = 0;
constexpr uint8_t kRtsControlHandshake = 2;  // RTS_CONTROL_TOGGLE is 3
constexpr uint32_t kDcbLength = 28;

// Win32 error codes and event masks the back end looks at.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kModemEventMask = 0x138;  // EV_CTS | EV_DSR | EV_RLSD | EV_RING

// The DCB members that the line settings change; fParity is here because it
// must survive a parity change untouched.
struct DcbFields {
  uint32_t BaudRate;
  uint8_t ByteSize;
  uint8_t Parity;
  uint8_t StopBits;
  bool fParity;
  bool fOutxCtsFlow;
  bool fOutX;
  bool fInX;
  uint8_t fRtsControl;
};

struct LineSettings {
  uint32_t baudrate;
  ByteSize bytesize;
  Parity parity;
  StopBits stopbits;
  FlowControl flowcontrol;
};

// Applies the settings to the members the driver returned.  Checks byte size,
// then stop bits, then parity; the first bad value throws
// std::invalid_argument ("invalid char len", "invalid stop bit",
// "invalid parity") and leaves `dcb` unchanged.  An unknown flow control is no
// error: the flow-control members keep the driver's values.
void applyLineSettings(DcbFields& dcb, const LineSettings& settings);

// COMMTIMEOUTS, member for member.
struct CommTimeouts {
  uint32_t ReadIntervalTimeout;
  uint32_t ReadTotalTimeoutMultiplier;
  uint32_t ReadTotalTimeoutConstant;
  uint32_t WriteTotalTimeoutMultiplier;
  uint32_t WriteTotalTimeoutConstant;
};

// The values pass unchanged; the driver gives them their Win32 meaning.
CommTimeouts toCommTimeouts(const Timeout& timeout);

// One UTF-16 unit per byte, the byte sign-extended (0x80..0xFF become
// 0xFF80..0xFFFF); no code page.  narrowPortName keeps each unit's low byte,
// so the two round-trip any byte string.
std::wstring widenPortName(const std::string& name);
std::string narrowPortName(const std::wstring& name);

// Failures of the back end whose texts are fixed.
enum class Failure {
  EmptyPort,
  AlreadyOpen,
  OpenUnknown,        // + code
  InvalidHandle,
  GetState,
  SetState,
  SetTimeouts,
  Close,              // + code
  Available,          // + code
  Read,               // + code
  Write,              // + code
  WaitReadable,
  WaitByteTimes,
  FlushInput,
  FlushOutput,
  SendBreak,
  ClaimReadMutex,
  ReleaseReadMutex,
  ClaimWriteMutex,
  ReleaseWriteMutex,
  CreateReadMutex,    // + code
  CreateWriteMutex,   // + code
};

// The fixed text of a failure.
std::string failureText(Failure failure);
// The fixed text followed by the Win32 error code in decimal.
std::string failureText(Failure failure, uint32_t errorCode);
// "Specified port, <narrowed name>, does not exist."
std::string portDoesNotExistText(const std::wstring& port);

enum class ModemLine { CTS, DSR, RI, CD };

// The line's bit in GetCommModemStatus's word.
constexpr uint32_t modemStatusBit(ModemLine line) {
  switch (line) {
    case ModemLine::CTS:
      return 0x10;  // MS_CTS_ON
    case ModemLine::DSR:
      return 0x20;  // MS_DSR_ON
    case ModemLine::RI:
      return 0x40;  // MS_RING_ON
    case ModemLine::CD:
      return 0x80;  // MS_RLSD_ON
  }
  return 0;
}

// "Error getting the status of the <line> line."
std::string modemLineFailureText(ModemLine line);

enum class OutputLine { Break, RTS, DTR };

// EscapeCommFunction code that raises (level true) or lowers the line.
constexpr uint32_t escapeFunction(OutputLine line, bool level) {
  switch (line) {
    case OutputLine::Break:
      return level ? 8 : 9;  // SETBREAK, CLRBREAK
    case OutputLine::RTS:
      return level ? 3 : 4;  // SETRTS, CLRRTS
    case OutputLine::DTR:
      return level ? 5 : 6;  // SETDTR, CLRDTR
  }
  return 0;
}

// --- Port enumeration -------------------------------------------------------

constexpr uint32_t kPropertyBufferSize = 256;

// SetupAPI device registry properties (SPDRP_...).
enum class DeviceProperty : uint32_t { HardwareId = 1, FriendlyName = 12 };

// The device information set of the ports setup class, one device at a time.
class DeviceSource {
 public:
  virtual ~DeviceSource() = default;
  // Makes device `index` the current one; false past the last device.
  virtual bool selectDevice(uint32_t index) = 0;
  // Reads the current device's "PortName" value into `buffer`; `size` holds
  // the buffer's capacity on entry and the bytes written on return.  Returns
  // the registry status, 0 on success.  The device key is closed before it
  // returns.
  virtual long queryPortName(char* buffer, uint32_t& size) = 0;
  // Reads a property of the current device into `buffer` (`capacity` bytes);
  // `required` receives the size in bytes.  False when it could not be read.
  virtual bool getProperty(DeviceProperty property, char* buffer, uint32_t capacity,
                           uint32_t& required) = 0;
};

// "PortName" as returned in `size` bytes of a 256-byte buffer: empty when the
// size is 0 or beyond the buffer, otherwise the byte at size-1 is cleared (a
// value stored without its terminating zero loses its last character); then
// the text up to the first zero byte.
std::string terminatePortName(const char* buffer, uint32_t size);

// A property read into a 256-byte buffer: empty unless it was read with a
// required size of 1 to 256; the byte at required-1 is cleared and the text
// runs to the first zero byte, which for a list of strings is its first entry.
std::string terminateProperty(const char* buffer, bool read, uint32_t required);

// Parallel ports: any port name holding "LPT" (case-sensitive).
bool isParallelPort(const std::string& portName);

// The ports of the set in index order: devices whose "PortName" cannot be
// read, and parallel ports, are left out; unreadable properties are empty.
std::vector<PortInfo> enumeratePorts(DeviceSource& devices);

}  // namespace detail
}  // namespace serial

#endif  // SERIAL_IMPL_WIN_LOGIC_H
