// The portable part of Serial: forwarding to the back end, buffers, line
// splitting and the read/write locks.
#include <cstring>
#include <memory>

#include "impl/serial_impl.h"

namespace serial {

SerialException::SerialException(const std::string& description)
    : message_("SerialException " + description + " failed.") {}

PortNotOpenedException::PortNotOpenedException(const std::string& description)
    : message_("PortNotOpenedException " + description + " failed.") {}

IOException::IOException(const std::string& file, int line, int errorNumber)
    : file_(file),
      line_(line),
      message_("IO Exception (" + std::to_string(errorNumber) + "): " + std::strerror(errorNumber) +
               ", file " + file + ", line " + std::to_string(line) + "."),
      errorNumber_(errorNumber) {}

IOException::IOException(const std::string& file, int line, const std::string& description)
    : file_(file),
      line_(line),
      message_("IO Exception: " + description + ", file " + file + ", line " +
               std::to_string(line) + "."),
      errorNumber_(0) {}

// Holds the back end's read lock for a scope, released also on exceptions.
class Serial::ReadGuard {
 public:
  explicit ReadGuard(SerialImpl* impl) : impl_(impl) { impl_->readLock(); }
  ~ReadGuard() {
    try {
      impl_->readUnlock();
    } catch (...) {
    }
  }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

 private:
  SerialImpl* impl_;
};

class Serial::WriteGuard {
 public:
  explicit WriteGuard(SerialImpl* impl) : impl_(impl) { impl_->writeLock(); }
  ~WriteGuard() {
    try {
      impl_->writeUnlock();
    } catch (...) {
    }
  }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

 private:
  SerialImpl* impl_;
};

Serial::Serial(const std::string& port, uint32_t baudrate, Timeout timeout, ByteSize bytesize,
               Parity parity, StopBits stopbits, FlowControl flowcontrol)
    : pimpl_(nullptr) {
  std::unique_ptr<SerialImpl> impl(
      new SerialImpl(port, baudrate, bytesize, parity, stopbits, flowcontrol));
  impl->setTimeout(timeout);
  pimpl_ = impl.release();
}

Serial::~Serial() { delete pimpl_; }

void Serial::open() { pimpl_->open(); }
void Serial::close() { pimpl_->close(); }
bool Serial::isOpen() const { return pimpl_->isOpen(); }
size_t Serial::available() { return pimpl_->available(); }
bool Serial::waitReadable() { return pimpl_->waitReadable(pimpl_->getTimeout().readTimeoutConstant); }
void Serial::waitByteTimes(size_t count) { pimpl_->waitByteTimes(count); }

size_t Serial::read(uint8_t* buffer, size_t size) {
  ReadGuard guard(pimpl_);
  return pimpl_->read(buffer, size);
}

size_t Serial::read(std::vector<uint8_t>& buffer, size_t size) {
  ReadGuard guard(pimpl_);
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[size]);
  size_t got = pimpl_->read(chunk.get(), size);
  buffer.insert(buffer.end(), chunk.get(), chunk.get() + got);
  return got;
}

size_t Serial::read(std::string& buffer, size_t size) {
  ReadGuard guard(pimpl_);
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[size]);
  size_t got = pimpl_->read(chunk.get(), size);
  buffer.append(reinterpret_cast<const char*>(chunk.get()), got);
  return got;
}

std::string Serial::read(size_t size) {
  std::string buffer;
  read(buffer, size);
  return buffer;
}

namespace {

bool endsWith(const uint8_t* data, size_t n, const std::string& eol) {
  return n >= eol.size() && std::memcmp(data + n - eol.size(), eol.data(), eol.size()) == 0;
}

}  // namespace

size_t Serial::readline(std::string& buffer, size_t size, const std::string& eol) {
  ReadGuard guard(pimpl_);
  if (size == 0) return 0;
  std::unique_ptr<uint8_t[]> line(new uint8_t[size]);
  size_t n = 0;
  // One byte per call, so the bytes after the end of line stay in the device.
  while (true) {
    size_t got = pimpl_->read(line.get() + n, 1);
    n += got;
    if (got == 0 || endsWith(line.get(), n, eol) || n == size) break;
  }
  buffer.append(reinterpret_cast<const char*>(line.get()), n);
  return n;
}

std::string Serial::readline(size_t size, const std::string& eol) {
  std::string buffer;
  readline(buffer, size, eol);
  return buffer;
}

std::vector<std::string> Serial::readlines(size_t size, const std::string& eol) {
  ReadGuard guard(pimpl_);
  std::vector<std::string> lines;
  if (size == 0) return lines;
  std::unique_ptr<uint8_t[]> data(new uint8_t[size]);
  const char* text = reinterpret_cast<const char*>(data.get());
  size_t n = 0;
  size_t start = 0;
  while (true) {
    size_t got = pimpl_->read(data.get() + n, 1);
    n += got;
    if (got == 0) break;
    if (endsWith(data.get(), n, eol)) {
      lines.emplace_back(text + start, n - start);
      start = n;
      if (n == size) return lines;
    } else if (n == size) {
      break;
    }
  }
  if (start != n) lines.emplace_back(text + start, n - start);
  return lines;
}

size_t Serial::write(const uint8_t* data, size_t size) {
  WriteGuard guard(pimpl_);
  return pimpl_->write(data, size);
}

size_t Serial::write(const std::vector<uint8_t>& data) {
  WriteGuard guard(pimpl_);
  return pimpl_->write(data.data(), data.size());
}

size_t Serial::write(const std::string& data) {
  WriteGuard guard(pimpl_);
  return pimpl_->write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

void Serial::setPort(const std::string& port) {
  ReadGuard readGuard(pimpl_);
  WriteGuard writeGuard(pimpl_);
  bool wasOpen = pimpl_->isOpen();
  if (wasOpen) pimpl_->close();
  pimpl_->setPort(port);
  if (wasOpen) pimpl_->open();
}

std::string Serial::getPort() const { return pimpl_->getPort(); }
void Serial::setTimeout(const Timeout& timeout) { pimpl_->setTimeout(timeout); }
Timeout Serial::getTimeout() const { return pimpl_->getTimeout(); }
void Serial::setBaudrate(uint32_t baudrate) { pimpl_->setBaudrate(baudrate); }
uint32_t Serial::getBaudrate() const { return pimpl_->getBaudrate(); }
void Serial::setBytesize(ByteSize bytesize) { pimpl_->setBytesize(bytesize); }
ByteSize Serial::getBytesize() const { return pimpl_->getBytesize(); }
void Serial::setParity(Parity parity) { pimpl_->setParity(parity); }
Parity Serial::getParity() const { return pimpl_->getParity(); }
void Serial::setStopbits(StopBits stopbits) { pimpl_->setStopbits(stopbits); }
StopBits Serial::getStopbits() const { return pimpl_->getStopbits(); }
void Serial::setFlowcontrol(FlowControl flowcontrol) { pimpl_->setFlowcontrol(flowcontrol); }
FlowControl Serial::getFlowcontrol() const { return pimpl_->getFlowcontrol(); }

void Serial::flush() {
  ReadGuard readGuard(pimpl_);
  WriteGuard writeGuard(pimpl_);
  pimpl_->flush();
}

void Serial::flushInput() {
  ReadGuard guard(pimpl_);
  pimpl_->flushInput();
}

void Serial::flushOutput() {
  WriteGuard guard(pimpl_);
  pimpl_->flushOutput();
}

void Serial::sendBreak(int duration) { pimpl_->sendBreak(duration); }
void Serial::setBreak(bool level) { pimpl_->setBreak(level); }
void Serial::setRTS(bool level) { pimpl_->setRTS(level); }
void Serial::setDTR(bool level) { pimpl_->setDTR(level); }
bool Serial::waitForChange() { return pimpl_->waitForChange(); }
bool Serial::getCTS() { return pimpl_->getCTS(); }
bool Serial::getDSR() { return pimpl_->getDSR(); }
bool Serial::getRI() { return pimpl_->getRI(); }
bool Serial::getCD() { return pimpl_->getCD(); }

}  // namespace serial
