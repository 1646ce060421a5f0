// Win32 back end: one synchronous handle from CreateFileW; line settings
// through the DCB, all read/write timing through COMMTIMEOUTS (the driver
// enforces it, there is no waiting loop here); two Win32 mutexes as the locks.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "impl/serial_impl.h"
#include "impl/win_logic.h"

namespace serial {

// The plain rules restate Win32's numbers; the system headers must agree.
static_assert(sizeof(DCB) == detail::kDcbLength, "DCB size");
static_assert(detail::kOneStopBit == ONESTOPBIT && detail::kOne5StopBits == ONE5STOPBITS &&
                  detail::kTwoStopBits == TWOSTOPBITS,
              "stop bit values");
static_assert(static_cast<int>(Parity::None) == NOPARITY &&
                  static_cast<int>(Parity::Odd) == ODDPARITY &&
                  static_cast<int>(Parity::Even) == EVENPARITY &&
                  static_cast<int>(Parity::Mark) == MARKPARITY &&
                  static_cast<int>(Parity::Space) == SPACEPARITY,
              "parity values");
static_assert(detail::kRtsControlDisable == RTS_CONTROL_DISABLE &&
                  detail::kRtsControlHandshake == RTS_CONTROL_HANDSHAKE,
              "RTS control values");
static_assert(detail::kErrorFileNotFound == ERROR_FILE_NOT_FOUND, "error code");
static_assert(detail::kModemEventMask == (EV_CTS | EV_DSR | EV_RLSD | EV_RING), "event mask");
static_assert(detail::modemStatusBit(detail::ModemLine::CTS) == MS_CTS_ON &&
                  detail::modemStatusBit(detail::ModemLine::DSR) == MS_DSR_ON &&
                  detail::modemStatusBit(detail::ModemLine::RI) == MS_RING_ON &&
                  detail::modemStatusBit(detail::ModemLine::CD) == MS_RLSD_ON,
              "modem status bits");
static_assert(detail::escapeFunction(detail::OutputLine::Break, true) == SETBREAK &&
                  detail::escapeFunction(detail::OutputLine::Break, false) == CLRBREAK &&
                  detail::escapeFunction(detail::OutputLine::RTS, true) == SETRTS &&
                  detail::escapeFunction(detail::OutputLine::RTS, false) == CLRRTS &&
                  detail::escapeFunction(detail::OutputLine::DTR, true) == SETDTR &&
                  detail::escapeFunction(detail::OutputLine::DTR, false) == CLRDTR,
              "escape functions");

namespace {

using detail::Failure;
using detail::failureText;

HANDLE createMutex(Failure failure) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  if (mutex == nullptr) {
    const DWORD error = GetLastError();
    throw IOException(__FILE__, __LINE__, failureText(failure, error));
  }
  return mutex;
}

detail::DcbFields fieldsOf(const DCB& dcb) {
  detail::DcbFields fields{};
  fields.BaudRate = dcb.BaudRate;
  fields.ByteSize = dcb.ByteSize;
  fields.Parity = dcb.Parity;
  fields.StopBits = dcb.StopBits;
  fields.fParity = dcb.fParity != 0;
  fields.fOutxCtsFlow = dcb.fOutxCtsFlow != 0;
  fields.fOutX = dcb.fOutX != 0;
  fields.fInX = dcb.fInX != 0;
  fields.fRtsControl = static_cast<uint8_t>(dcb.fRtsControl);
  return fields;
}

void storeFields(const detail::DcbFields& fields, DCB& dcb) {
  dcb.BaudRate = fields.BaudRate;
  dcb.ByteSize = fields.ByteSize;
  dcb.Parity = fields.Parity;
  dcb.StopBits = fields.StopBits;
  dcb.fParity = fields.fParity;
  dcb.fOutxCtsFlow = fields.fOutxCtsFlow;
  dcb.fOutX = fields.fOutX;
  dcb.fInX = fields.fInX;
  dcb.fRtsControl = fields.fRtsControl & 3u;
}

// ReadFile and WriteFile take 32-bit counts: larger requests move less.
DWORD transferSize(size_t size) {
  return static_cast<DWORD>(std::min<size_t>(size, MAXDWORD));
}

bool modemLineState(void* fd, bool isOpen, detail::ModemLine line, const char* operation) {
  if (!isOpen) throw PortNotOpenedException(operation);
  DWORD status = 0;
  if (!GetCommModemStatus(fd, &status)) {
    throw IOException(__FILE__, __LINE__, detail::modemLineFailureText(line));
  }
  return (status & detail::modemStatusBit(line)) != 0;
}

// The result of EscapeCommFunction is not looked at: drivers without the
// line (a pty under Wine, for one) refuse it.
void setOutputLine(void* fd, bool isOpen, detail::OutputLine line, bool level,
                   const char* operation) {
  if (!isOpen) throw PortNotOpenedException(operation);
  (void)EscapeCommFunction(fd, detail::escapeFunction(line, level));
}

}  // namespace

void Serial::SerialImpl::OwnedHandle::reset() noexcept {
  if (handle_ != nullptr) {
    (void)CloseHandle(handle_);
    handle_ = nullptr;
  }
}

Serial::SerialImpl::SerialImpl(const std::string& port, uint32_t baudrate, ByteSize bytesize,
                               Parity parity, StopBits stopbits, FlowControl flowcontrol)
    : port_(detail::widenPortName(port)),
      fd_(INVALID_HANDLE_VALUE),
      isOpen_(false),
      timeout_(),
      baudrate_(baudrate),
      parity_(parity),
      bytesize_(bytesize),
      stopbits_(stopbits),
      flowcontrol_(flowcontrol),
      readMutex_(createMutex(Failure::CreateReadMutex)),
      writeMutex_(createMutex(Failure::CreateWriteMutex)) {
  // If open throws, the mutex members close their handles on the way out.
  if (!port_.empty()) open();
}

Serial::SerialImpl::~SerialImpl() {
  if (isOpen_) {
    try {
      close();
    } catch (const IOException&) {
      // The handle is beyond saving; the system releases it with the process.
    }
  }
  readMutex_.reset();
  writeMutex_.reset();
}

void Serial::SerialImpl::open() {
  if (port_.empty()) throw std::invalid_argument(failureText(Failure::EmptyPort));
  if (isOpen_) throw SerialException(failureText(Failure::AlreadyOpen));

  fd_ = CreateFileW(port_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (fd_ == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == detail::kErrorFileNotFound) {
      throw IOException(__FILE__, __LINE__, detail::portDoesNotExistText(port_));
    }
    throw IOException(__FILE__, __LINE__, failureText(Failure::OpenUnknown, error));
  }

  // A device whose settings cannot be applied is closed again before the
  // failure leaves, so a failed open holds no handle.
  struct CloseUnlessOpened {
    void*& fd;
    bool opened;
    ~CloseUnlessOpened() {
      if (!opened && fd != INVALID_HANDLE_VALUE) {
        (void)CloseHandle(fd);
        fd = INVALID_HANDLE_VALUE;
      }
    }
  } guard{fd_, false};

  reconfigurePort();
  guard.opened = true;
  isOpen_ = true;
}

void Serial::SerialImpl::close() {
  if (!isOpen_) return;
  if (fd_ != INVALID_HANDLE_VALUE) {
    if (!CloseHandle(fd_)) {
      const DWORD error = GetLastError();
      throw IOException(__FILE__, __LINE__, failureText(Failure::Close, error));
    }
    fd_ = INVALID_HANDLE_VALUE;
  }
  isOpen_ = false;
}

bool Serial::SerialImpl::isOpen() const { return isOpen_; }

void Serial::SerialImpl::reconfigurePort() {
  if (fd_ == INVALID_HANDLE_VALUE) {
    throw IOException(__FILE__, __LINE__, failureText(Failure::InvalidHandle));
  }

  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(fd_, &dcb)) {
    throw IOException(__FILE__, __LINE__, failureText(Failure::GetState));
  }

  // Members the settings do not name keep the driver's values.
  detail::DcbFields fields = fieldsOf(dcb);
  detail::applyLineSettings(fields, {baudrate_, bytesize_, parity_, stopbits_, flowcontrol_});
  storeFields(fields, dcb);

  if (!SetCommState(fd_, &dcb)) {
    // The device is given up: from here on the port counts as closed, also
    // when this runs for a setter on an open port.
    (void)CloseHandle(fd_);
    fd_ = INVALID_HANDLE_VALUE;
    isOpen_ = false;
    throw IOException(__FILE__, __LINE__, failureText(Failure::SetState));
  }

  const detail::CommTimeouts t = detail::toCommTimeouts(timeout_);
  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = t.ReadIntervalTimeout;
  timeouts.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
  timeouts.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
  timeouts.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
  timeouts.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
  if (!SetCommTimeouts(fd_, &timeouts)) {
    throw IOException(__FILE__, __LINE__, failureText(Failure::SetTimeouts));
  }
}

size_t Serial::SerialImpl::available() {
  if (!isOpen_) return 0;
  COMSTAT status;
  std::memset(&status, 0, sizeof status);
  if (!ClearCommError(fd_, nullptr, &status)) {
    const DWORD error = GetLastError();
    throw IOException(__FILE__, __LINE__, failureText(Failure::Available, error));
  }
  return status.cbInQue;
}

bool Serial::SerialImpl::waitReadable(uint32_t /*timeoutMs*/) {
  throw IOException(__FILE__, __LINE__, failureText(Failure::WaitReadable));
}

void Serial::SerialImpl::waitByteTimes(size_t /*count*/) {
  throw IOException(__FILE__, __LINE__, failureText(Failure::WaitByteTimes));
}

size_t Serial::SerialImpl::read(uint8_t* buffer, size_t size) {
  if (!isOpen_) throw PortNotOpenedException("Serial::read");
  DWORD got = 0;
  if (!ReadFile(fd_, buffer, transferSize(size), &got, nullptr)) {
    const DWORD error = GetLastError();
    throw IOException(__FILE__, __LINE__, failureText(Failure::Read, error));
  }
  return got;
}

size_t Serial::SerialImpl::write(const uint8_t* data, size_t length) {
  if (!isOpen_) throw PortNotOpenedException("Serial::write");
  DWORD written = 0;
  if (!WriteFile(fd_, data, transferSize(length), &written, nullptr)) {
    const DWORD error = GetLastError();
    throw IOException(__FILE__, __LINE__, failureText(Failure::Write, error));
  }
  return written;
}

void Serial::SerialImpl::setPort(const std::string& port) { port_ = detail::widenPortName(port); }

std::string Serial::SerialImpl::getPort() const { return detail::narrowPortName(port_); }

void Serial::SerialImpl::setTimeout(const Timeout& timeout) {
  timeout_ = timeout;
  if (isOpen_) reconfigurePort();
}

Timeout Serial::SerialImpl::getTimeout() const { return timeout_; }

void Serial::SerialImpl::setBaudrate(uint32_t baudrate) {
  baudrate_ = baudrate;
  if (isOpen_) reconfigurePort();
}

uint32_t Serial::SerialImpl::getBaudrate() const { return baudrate_; }

void Serial::SerialImpl::setBytesize(ByteSize bytesize) {
  bytesize_ = bytesize;
  if (isOpen_) reconfigurePort();
}

ByteSize Serial::SerialImpl::getBytesize() const { return bytesize_; }

void Serial::SerialImpl::setParity(Parity parity) {
  parity_ = parity;
  if (isOpen_) reconfigurePort();
}

Parity Serial::SerialImpl::getParity() const { return parity_; }

void Serial::SerialImpl::setStopbits(StopBits stopbits) {
  stopbits_ = stopbits;
  if (isOpen_) reconfigurePort();
}

StopBits Serial::SerialImpl::getStopbits() const { return stopbits_; }

void Serial::SerialImpl::setFlowcontrol(FlowControl flowcontrol) {
  flowcontrol_ = flowcontrol;
  if (isOpen_) reconfigurePort();
}

FlowControl Serial::SerialImpl::getFlowcontrol() const { return flowcontrol_; }

void Serial::SerialImpl::flush() {
  if (!isOpen_) throw PortNotOpenedException("Serial::flush");
  (void)FlushFileBuffers(fd_);
}

void Serial::SerialImpl::flushInput() {
  throw IOException(__FILE__, __LINE__, failureText(Failure::FlushInput));
}

void Serial::SerialImpl::flushOutput() {
  throw IOException(__FILE__, __LINE__, failureText(Failure::FlushOutput));
}

void Serial::SerialImpl::sendBreak(int /*duration*/) {
  throw IOException(__FILE__, __LINE__, failureText(Failure::SendBreak));
}

void Serial::SerialImpl::setBreak(bool level) {
  setOutputLine(fd_, isOpen_, detail::OutputLine::Break, level, "Serial::setBreak");
}

void Serial::SerialImpl::setRTS(bool level) {
  setOutputLine(fd_, isOpen_, detail::OutputLine::RTS, level, "Serial::setRTS");
}

void Serial::SerialImpl::setDTR(bool level) {
  setOutputLine(fd_, isOpen_, detail::OutputLine::DTR, level, "Serial::setDTR");
}

bool Serial::SerialImpl::waitForChange() {
  if (!isOpen_) throw PortNotOpenedException("Serial::waitForChange");
  if (!SetCommMask(fd_, detail::kModemEventMask)) return false;
  DWORD events = 0;
  return WaitCommEvent(fd_, &events, nullptr) != 0;
}

bool Serial::SerialImpl::getCTS() {
  return modemLineState(fd_, isOpen_, detail::ModemLine::CTS, "Serial::getCTS");
}

bool Serial::SerialImpl::getDSR() {
  return modemLineState(fd_, isOpen_, detail::ModemLine::DSR, "Serial::getDSR");
}

bool Serial::SerialImpl::getRI() {
  return modemLineState(fd_, isOpen_, detail::ModemLine::RI, "Serial::getRI");
}

bool Serial::SerialImpl::getCD() {
  return modemLineState(fd_, isOpen_, detail::ModemLine::CD, "Serial::getCD");
}

void Serial::SerialImpl::readLock() {
  if (WaitForSingleObject(readMutex_.get(), INFINITE) != WAIT_OBJECT_0) {
    throw IOException(__FILE__, __LINE__, failureText(Failure::ClaimReadMutex));
  }
}

void Serial::SerialImpl::readUnlock() {
  if (!ReleaseMutex(readMutex_.get())) {
    throw IOException(__FILE__, __LINE__, failureText(Failure::ReleaseReadMutex));
  }
}

void Serial::SerialImpl::writeLock() {
  if (WaitForSingleObject(writeMutex_.get(), INFINITE) != WAIT_OBJECT_0) {
    throw IOException(__FILE__, __LINE__, failureText(Failure::ClaimWriteMutex));
  }
}

void Serial::SerialImpl::writeUnlock() {
  if (!ReleaseMutex(writeMutex_.get())) {
    throw IOException(__FILE__, __LINE__, failureText(Failure::ReleaseWriteMutex));
  }
}

}  // namespace serial
