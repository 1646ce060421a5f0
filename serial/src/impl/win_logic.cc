#include "win_logic.h"

#include <cstring>
#include <stdexcept>

namespace serial {
namespace detail {

void applyLineSettings(DcbFields& dcb, const LineSettings& settings) {
  DcbFields next = dcb;
  next.BaudRate = settings.baudrate;

  switch (settings.bytesize) {
    case ByteSize::Five:
    case ByteSize::Six:
    case ByteSize::Seven:
    case ByteSize::Eight:
      next.ByteSize = static_cast<uint8_t>(settings.bytesize);
      break;
    default:
      throw std::invalid_argument("invalid char len");
  }

  switch (settings.stopbits) {
    case StopBits::One:
      next.StopBits = kOneStopBit;
      break;
    case StopBits::OnePointFive:
      next.StopBits = kOne5StopBits;
      break;
    case StopBits::Two:
      next.StopBits = kTwoStopBits;
      break;
    default:
      throw std::invalid_argument("invalid stop bit");
  }

  switch (settings.parity) {
    // NOPARITY .. SPACEPARITY are 0 .. 4, the enumeration's own numbers.
    case Parity::None:
    case Parity::Odd:
    case Parity::Even:
    case Parity::Mark:
    case Parity::Space:
      next.Parity = static_cast<uint8_t>(settings.parity);
      break;
    default:
      throw std::invalid_argument("invalid parity");
  }

  switch (settings.flowcontrol) {
    case FlowControl::None:
      next.fOutxCtsFlow = false;
      next.fOutX = false;
      next.fInX = false;
      next.fRtsControl = kRtsControlDisable;
      break;
    case FlowControl::Software:
      next.fOutxCtsFlow = false;
      next.fOutX = true;
      next.fInX = true;
      next.fRtsControl = kRtsControlDisable;
      break;
    case FlowControl::Hardware:
      next.fOutxCtsFlow = true;
      next.fOutX = false;
      next.fInX = false;
      next.fRtsControl = kRtsControlHandshake;
      break;
    default:
      break;
  }

  dcb = next;
}

CommTimeouts toCommTimeouts(const Timeout& timeout) {
  CommTimeouts t{};
  t.ReadIntervalTimeout = timeout.interByteTimeout;
  t.ReadTotalTimeoutMultiplier = timeout.readTimeoutMultiplier;
  t.ReadTotalTimeoutConstant = timeout.readTimeoutConstant;
  t.WriteTotalTimeoutMultiplier = timeout.writeTimeoutMultiplier;
  t.WriteTotalTimeoutConstant = timeout.writeTimeoutConstant;
  return t;
}

std::wstring widenPortName(const std::string& name) {
  std::wstring wide;
  wide.reserve(name.size());
  for (char c : name) {
    // Sign-extend to 16 bits whatever the width of wchar_t.
    const auto unit = static_cast<uint16_t>(static_cast<int16_t>(static_cast<int8_t>(c)));
    wide.push_back(static_cast<wchar_t>(unit));
  }
  return wide;
}

std::string narrowPortName(const std::wstring& name) {
  std::string narrow;
  narrow.reserve(name.size());
  for (wchar_t unit : name) {
    narrow.push_back(static_cast<char>(static_cast<uint32_t>(unit) & 0xFFu));
  }
  return narrow;
}

namespace {

struct FailureEntry {
  Failure failure;
  const char* text;
};

// Texts that take an error code end with the blank the code follows.
constexpr FailureEntry kFailureTexts[] = {
    {Failure::EmptyPort, "Empty port is invalid."},
    {Failure::AlreadyOpen, "Serial port already open."},
    {Failure::OpenUnknown, "Unknown error opening the serial port: "},
    {Failure::InvalidHandle, "Invalid file descriptor, is the serial port open?"},
    {Failure::GetState, "Error getting the serial port state."},
    {Failure::SetState, "Error setting serial port settings."},
    {Failure::SetTimeouts, "Error setting timeouts."},
    {Failure::Close, "Error while closing serial port: "},
    {Failure::Available, "Error while checking status of the serial port: "},
    {Failure::Read, "Error while reading from the serial port: "},
    {Failure::Write, "Error while writing to the serial port: "},
    {Failure::WaitReadable, "waitReadable is not implemented on Windows."},
    {Failure::WaitByteTimes, "waitByteTimes is not implemented on Windows."},
    {Failure::FlushInput, "flushInput is not supported on Windows."},
    {Failure::FlushOutput, "flushOutput is not supported on Windows."},
    {Failure::SendBreak, "sendBreak is not supported on Windows."},
    {Failure::ClaimReadMutex, "Error claiming read mutex."},
    {Failure::ReleaseReadMutex, "Error releasing read mutex."},
    {Failure::ClaimWriteMutex, "Error claiming write mutex."},
    {Failure::ReleaseWriteMutex, "Error releasing write mutex."},
    {Failure::CreateReadMutex, "Error creating the read mutex: "},
    {Failure::CreateWriteMutex, "Error creating the write mutex: "},
};

}  // namespace

std::string failureText(Failure failure) {
  for (const FailureEntry& entry : kFailureTexts) {
    if (entry.failure == failure) return entry.text;
  }
  throw std::logic_error("failure without a text");
}

std::string failureText(Failure failure, uint32_t errorCode) {
  return failureText(failure) + std::to_string(errorCode);
}

std::string portDoesNotExistText(const std::wstring& port) {
  return "Specified port, " + narrowPortName(port) + ", does not exist.";
}

namespace {

const char* modemLineName(ModemLine line) {
  switch (line) {
    case ModemLine::CTS:
      return "CTS";
    case ModemLine::DSR:
      return "DSR";
    case ModemLine::RI:
      return "RI";
    case ModemLine::CD:
      return "CD";
  }
  return "?";
}

}  // namespace

std::string modemLineFailureText(ModemLine line) {
  return std::string("Error getting the status of the ") + modemLineName(line) + " line.";
}

namespace {

std::string upToFirstZero(const char* buffer, size_t capacity) {
  const void* zero = std::memchr(buffer, 0, capacity);
  const size_t length =
      zero ? static_cast<size_t>(static_cast<const char*>(zero) - buffer) : capacity;
  return std::string(buffer, length);
}

// The buffer's first `size` bytes with the last one cleared, up to the first
// zero byte.
std::string cutAt(const char* buffer, uint32_t size) {
  return upToFirstZero(buffer, size - 1);
}

}  // namespace

std::string terminatePortName(const char* buffer, uint32_t size) {
  if (size == 0 || size > kPropertyBufferSize) return std::string();
  return cutAt(buffer, size);
}

std::string terminateProperty(const char* buffer, bool read, uint32_t required) {
  if (!read || required == 0 || required > kPropertyBufferSize) return std::string();
  return cutAt(buffer, required);
}

bool isParallelPort(const std::string& portName) {
  return portName.find("LPT") != std::string::npos;
}

std::vector<PortInfo> enumeratePorts(DeviceSource& devices) {
  std::vector<PortInfo> ports;
  for (uint32_t index = 0; devices.selectDevice(index); ++index) {
    char portName[kPropertyBufferSize] = {};
    uint32_t size = kPropertyBufferSize;
    if (devices.queryPortName(portName, size) != 0) continue;

    PortInfo info;
    info.port = terminatePortName(portName, size);
    if (isParallelPort(info.port)) continue;

    char friendlyName[kPropertyBufferSize] = {};
    uint32_t required = 0;
    bool read = devices.getProperty(DeviceProperty::FriendlyName, friendlyName,
                                    kPropertyBufferSize, required);
    info.description = terminateProperty(friendlyName, read, required);

    char hardwareId[kPropertyBufferSize] = {};
    required = 0;
    read = devices.getProperty(DeviceProperty::HardwareId, hardwareId, kPropertyBufferSize,
                               required);
    info.hardwareId = terminateProperty(hardwareId, read, required);

    ports.push_back(std::move(info));
  }
  return ports;
}

}  // namespace detail
}  // namespace serial
