// POSIX back end: a serial device node through a non-blocking descriptor,
// termios for the line, the Linux custom divisor for non-standard rates.
#include "impl/unix.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cstring>
#include <limits>

#include "impl/serial_impl.h"

#define THROW_IO(arg) throw IOException(__FILE__, __LINE__, (arg))

namespace serial {
namespace detail {

namespace {

struct SpeedEntry {
  uint32_t rate;
  speed_t speed;
};

const SpeedEntry kStandardSpeeds[] = {
    {0, B0},           {50, B50},           {75, B75},           {110, B110},
    {134, B134},       {150, B150},         {200, B200},         {300, B300},
    {600, B600},       {1200, B1200},       {1800, B1800},       {2400, B2400},
    {4800, B4800},     {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},   {115200, B115200},   {230400, B230400},   {460800, B460800},
    {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
};

constexpr long kNsPerSecond = 1000000000L;

}  // namespace

bool standardSpeed(uint32_t baudrate, speed_t* speed) {
  for (const SpeedEntry& entry : kStandardSpeeds) {
    if (entry.rate == baudrate) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

void applyRawMode(termios& tio) {
  tio.c_cflag |= (CLOCAL | CREAD);
  tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_iflag &= ~static_cast<tcflag_t>(INLCR | IGNCR | ICRNL | IGNBRK | IUCLC | PARMRK);
}

void applyFraming(termios& tio, ByteSize bytesize, StopBits stopbits, Parity parity) {
  termios t = tio;
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  switch (bytesize) {
    case ByteSize::Eight: t.c_cflag |= CS8; break;
    case ByteSize::Seven: t.c_cflag |= CS7; break;
    case ByteSize::Six: t.c_cflag |= CS6; break;
    case ByteSize::Five: t.c_cflag |= CS5; break;
    default: throw std::invalid_argument("invalid char len");
  }
  switch (stopbits) {
    case StopBits::One: t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB); break;
    // termios knows no one and a half stop bits: two are sent.
    case StopBits::Two:
    case StopBits::OnePointFive: t.c_cflag |= CSTOPB; break;
    default: throw std::invalid_argument("invalid stop bit");
  }
  t.c_iflag &= ~static_cast<tcflag_t>(INPCK | ISTRIP);
  switch (parity) {
    case Parity::None: t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD); break;
    case Parity::Odd: t.c_cflag |= (PARENB | PARODD); break;
    case Parity::Even:
      t.c_cflag |= PARENB;
      t.c_cflag &= ~static_cast<tcflag_t>(PARODD);
      break;
    case Parity::Mark: t.c_cflag |= (PARENB | PARODD | CMSPAR); break;
    case Parity::Space:
      t.c_cflag |= (PARENB | CMSPAR);
      t.c_cflag &= ~static_cast<tcflag_t>(PARODD);
      break;
    default: throw std::invalid_argument("invalid parity");
  }
  tio = t;
}

void applyFlowControl(termios& tio, FlowControl flowcontrol, bool& xonxoff, bool& rtscts) {
  switch (flowcontrol) {
    case FlowControl::None: xonxoff = false; rtscts = false; break;
    case FlowControl::Software: xonxoff = true; rtscts = false; break;
    case FlowControl::Hardware: xonxoff = false; rtscts = true; break;
    default: break;
  }
  if (xonxoff) {
    tio.c_iflag |= (IXON | IXOFF);
  } else {
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  }
  if (rtscts) {
    tio.c_cflag |= CRTSCTS;
  } else {
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  }
}

uint32_t byteTimeNs(uint32_t baudrate, ByteSize bytesize, Parity parity, StopBits stopbits) {
  if (baudrate == 0) return 0;
  uint64_t bitNs = 1000000000u / baudrate;
  // Counted in half bits so that one and a half stop bits stay exact.
  uint64_t halfBits = 2 * (1 + static_cast<uint64_t>(static_cast<int>(bytesize)) +
                           (parity == Parity::None ? 0 : 1));
  halfBits += stopbits == StopBits::Two ? 4 : stopbits == StopBits::OnePointFive ? 3 : 2;
  uint64_t ns = bitNs * halfBits / 2;
  return ns > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                   : static_cast<uint32_t>(ns);
}

timespec millisecondsToTimespec(uint32_t ms) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  return ts;
}

timespec byteTimesToTimespec(size_t count, uint32_t byteTimeNs) {
  // count = q * 1e9 + r, so count * t = q * t seconds + r * t nanoseconds,
  // and r * t stays below 2^62.
  uint64_t q = count / kNsPerSecond;
  uint64_t r = count % kNsPerSecond;
  uint64_t rest = r * byteTimeNs;
  uint64_t seconds = rest / kNsPerSecond;
  constexpr uint64_t maxSeconds = static_cast<uint64_t>(std::numeric_limits<time_t>::max());
  if (q != 0 && byteTimeNs > (maxSeconds - seconds) / q) {
    return timespec{std::numeric_limits<time_t>::max(), kNsPerSecond - 1};
  }
  seconds += q * byteTimeNs;
  timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>(rest % kNsPerSecond);
  return ts;
}

std::string modemFailureText(const char* fixedText, int errorNumber) {
  return std::string(fixedText) + std::to_string(errorNumber) + " " + std::strerror(errorNumber);
}

Deadline::Deadline(uint32_t ms) {
  clock_gettime(CLOCK_MONOTONIC, &end_);
  end_.tv_sec += static_cast<time_t>(ms / 1000);
  end_.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (end_.tv_nsec >= kNsPerSecond) {
    end_.tv_sec += 1;
    end_.tv_nsec -= kNsPerSecond;
  }
}

int64_t Deadline::remainingMs() const {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t ns = (static_cast<int64_t>(end_.tv_sec) - now.tv_sec) * kNsPerSecond +
               (end_.tv_nsec - now.tv_nsec);
  return ns / 1000000;  // truncates toward zero
}

}  // namespace detail

using detail::modemFailureText;

namespace {

// Descriptor sets are fixed-size: a larger descriptor number must never be
// put into one.
void checkSelectable(int fd) {
  if (fd >= FD_SETSIZE) {
    THROW_IO("descriptor " + std::to_string(fd) + " is beyond the select() limit of " +
             std::to_string(FD_SETSIZE));
  }
}

}  // namespace

Serial::SerialImpl::SerialImpl(const std::string& port, uint32_t baudrate, ByteSize bytesize,
                               Parity parity, StopBits stopbits, FlowControl flowcontrol)
    : port_(port),
      fd_(-1),
      isOpen_(false),
      xonxoff_(false),
      rtscts_(false),
      timeout_(),
      baudrate_(baudrate),
      byteTimeNs_(detail::byteTimeNs(baudrate, bytesize, parity, stopbits)),
      parity_(parity),
      bytesize_(bytesize),
      stopbits_(stopbits),
      flowcontrol_(flowcontrol) {
  pthread_mutex_init(&readMutex_, nullptr);
  pthread_mutex_init(&writeMutex_, nullptr);
  if (!port_.empty()) {
    try {
      open();
    } catch (...) {
      pthread_mutex_destroy(&readMutex_);
      pthread_mutex_destroy(&writeMutex_);
      throw;
    }
  }
}

Serial::SerialImpl::~SerialImpl() {
  try {
    close();
  } catch (...) {
    // The descriptor is gone either way; a destructor must not throw.
  }
  pthread_mutex_destroy(&readMutex_);
  pthread_mutex_destroy(&writeMutex_);
}

void Serial::SerialImpl::open() {
  if (port_.empty()) throw std::invalid_argument("Empty port is invalid.");
  if (isOpen_) throw SerialException("Serial port already open.");

  int fd;
  do {
    fd = ::open(port_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) {
    int err = errno;
    if (err == ENFILE || err == EMFILE) THROW_IO("Too many file handles open.");
    THROW_IO(err);
  }
  // Another program talking to the module at the same time would interleave
  // its commands with ours.
  if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
    int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) THROW_IO("Serial port " + port_ + " is in use by another program.");
    THROW_IO(err);
  }
  fd_ = fd;
  try {
    reconfigurePort();
  } catch (...) {
    ::close(fd_);
    fd_ = -1;
    throw;
  }
  isOpen_ = true;
}

void Serial::SerialImpl::reconfigurePort() {
  if (fd_ == -1) THROW_IO("Invalid file descriptor, is the serial port open?");

  termios tio;
  if (tcgetattr(fd_, &tio) == -1) THROW_IO("::tcgetattr");

  detail::applyRawMode(tio);

  speed_t speed;
  if (!detail::standardSpeed(baudrate_, &speed)) {
    // Linux serial drivers take other rates as a divisor of their base clock,
    // selected by B38400 while ASYNC_SPD_CUST is set.
    serial_struct ser;
    if (ioctl(fd_, TIOCGSERIAL, &ser) == -1) {
      int err = errno;
      THROW_IO(err);
    }
    ser.custom_divisor = ser.baud_base / static_cast<int>(baudrate_);
    ser.flags &= ~ASYNC_SPD_MASK;
    ser.flags |= ASYNC_SPD_CUST;
    if (ioctl(fd_, TIOCSSERIAL, &ser) == -1) {
      int err = errno;
      THROW_IO(err);
    }
    speed = B38400;
  }
  cfsetspeed(&tio, speed);

  detail::applyFraming(tio, bytesize_, stopbits_, parity_);
  detail::applyFlowControl(tio, flowcontrol_, xonxoff_, rtscts_);

  // Reads return at once with whatever is there; waiting is done in pselect.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;

  tcsetattr(fd_, TCSANOW, &tio);

  byteTimeNs_ = detail::byteTimeNs(baudrate_, bytesize_, parity_, stopbits_);
}

void Serial::SerialImpl::close() {
  if (!isOpen_) return;
  if (fd_ != -1) {
    if (::close(fd_) == -1) {
      int err = errno;
      THROW_IO(err);
    }
    fd_ = -1;
  }
  isOpen_ = false;
}

bool Serial::SerialImpl::isOpen() const { return isOpen_; }

size_t Serial::SerialImpl::available() {
  if (!isOpen_) return 0;
  int count = 0;
  if (ioctl(fd_, FIONREAD, &count) == -1) {
    int err = errno;
    THROW_IO(err);
  }
  return static_cast<size_t>(count);
}

bool Serial::SerialImpl::waitReadable(uint32_t timeoutMs) {
  if (!isOpen_) throw PortNotOpenedException("Serial::waitReadable");
  checkSelectable(fd_);
  fd_set readfds;
  FD_ZERO(&readfds);
  FD_SET(fd_, &readfds);
  timespec wait = detail::millisecondsToTimespec(timeoutMs);
  int r = pselect(fd_ + 1, &readfds, nullptr, nullptr, &wait, nullptr);
  if (r < 0) {
    int err = errno;
    if (err == EINTR) return false;
    THROW_IO(err);
  }
  if (r == 0) return false;
  if (!FD_ISSET(fd_, &readfds)) {
    THROW_IO("select reports ready to read, but our fd isn't in the list, this shouldn't happen!");
  }
  return true;
}

void Serial::SerialImpl::waitByteTimes(size_t count) {
  timespec wait = detail::byteTimesToTimespec(count, byteTimeNs_);
  pselect(0, nullptr, nullptr, nullptr, &wait, nullptr);
}

size_t Serial::SerialImpl::read(uint8_t* buffer, size_t size) {
  if (!isOpen_) throw PortNotOpenedException("Serial::read");
  uint32_t budget = timeout_.readTimeoutConstant +
                    timeout_.readTimeoutMultiplier * static_cast<uint32_t>(size);
  detail::Deadline deadline(budget);

  ssize_t first = ::read(fd_, buffer, size);
  size_t got = first > 0 ? static_cast<size_t>(first) : 0;

  while (got < size) {
    int64_t remaining = deadline.remainingMs();
    if (remaining <= 0) break;
    uint32_t wait = static_cast<uint32_t>(remaining);
    if (timeout_.interByteTimeout < wait) wait = timeout_.interByteTimeout;
    // A wait that ran out or was interrupted does not end the read; only the
    // deadline does.
    if (!waitReadable(wait)) continue;
    // Let the rest of the request arrive, then take it in one call.
    if (size > 1 && timeout_.interByteTimeout == Timeout::unlimited) {
      size_t waiting = available();
      if (waiting + got < size) waitByteTimes(size - (waiting + got));
    }
    ssize_t n = ::read(fd_, buffer + got, size - got);
    if (n <= 0) {
      throw SerialException(
          "device reports readiness to read but returned no data (device disconnected?)");
    }
    got += static_cast<size_t>(n);
    if (got == size) break;
    if (got > size) {
      throw SerialException(
          "read over read, too many bytes where read, this shouldn't happen, might be a logical "
          "error!");
    }
  }
  return got;
}

size_t Serial::SerialImpl::write(const uint8_t* data, size_t length) {
  if (!isOpen_) throw PortNotOpenedException("Serial::write");
  uint32_t budget = timeout_.writeTimeoutConstant +
                    timeout_.writeTimeoutMultiplier * static_cast<uint32_t>(length);
  detail::Deadline deadline(budget);

  size_t written = 0;
  if (length == 0) return 0;
  checkSelectable(fd_);
  while (true) {
    int64_t remaining = deadline.remainingMs();
    if (remaining <= 0) return written;
    fd_set writefds;
    FD_ZERO(&writefds);
    FD_SET(fd_, &writefds);
    timespec wait = detail::millisecondsToTimespec(static_cast<uint32_t>(remaining));
    int r = pselect(fd_ + 1, nullptr, &writefds, nullptr, &wait, nullptr);
    if (r < 0) {
      int err = errno;
      if (err == EINTR) continue;
      THROW_IO(err);
    }
    if (r == 0) return written;
    if (!FD_ISSET(fd_, &writefds)) {
      THROW_IO(
          "select reports ready to write, but our fd isn't in the list, this shouldn't happen!");
    }
    ssize_t n = ::write(fd_, data + written, length - written);
    if (n <= 0) {
      throw SerialException(
          "device reports readiness to write but returned no data (device disconnected?)");
    }
    written += static_cast<size_t>(n);
    if (written == length) return written;
    if (written > length) {
      throw SerialException(
          "write over wrote, too many bytes where written, this shouldn't happen, might be a "
          "logical error!");
    }
  }
}

void Serial::SerialImpl::setPort(const std::string& port) { port_ = port; }
std::string Serial::SerialImpl::getPort() const { return port_; }
void Serial::SerialImpl::setTimeout(const Timeout& timeout) { timeout_ = timeout; }
Timeout Serial::SerialImpl::getTimeout() const { return timeout_; }

// Setters store first, so a value the device refuses stays stored.
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
  tcdrain(fd_);
}

void Serial::SerialImpl::flushInput() {
  if (!isOpen_) throw PortNotOpenedException("Serial::flushInput");
  tcflush(fd_, TCIFLUSH);
}

void Serial::SerialImpl::flushOutput() {
  if (!isOpen_) throw PortNotOpenedException("Serial::flushOutput");
  tcflush(fd_, TCOFLUSH);
}

void Serial::SerialImpl::sendBreak(int duration) {
  if (!isOpen_) throw PortNotOpenedException("Serial::sendBreak");
  tcsendbreak(fd_, duration / 4);
}

void Serial::SerialImpl::setBreak(bool level) {
  if (!isOpen_) throw PortNotOpenedException("Serial::setBreak");
  if (ioctl(fd_, level ? TIOCSBRK : TIOCCBRK) == -1) {
    throw SerialException(modemFailureText(level ? "setBreak failed on a call to ioctl(TIOCSBRK): "
                                                 : "setBreak failed on a call to ioctl(TIOCCBRK): ",
                                           errno));
  }
}

void Serial::SerialImpl::setRTS(bool level) {
  if (!isOpen_) throw PortNotOpenedException("Serial::setRTS");
  int bits = TIOCM_RTS;
  if (ioctl(fd_, level ? TIOCMBIS : TIOCMBIC, &bits) == -1) {
    throw SerialException(modemFailureText(level ? "setRTS failed on a call to ioctl(TIOCMBIS): "
                                                 : "setRTS failed on a call to ioctl(TIOCMBIC): ",
                                           errno));
  }
}

void Serial::SerialImpl::setDTR(bool level) {
  if (!isOpen_) throw PortNotOpenedException("Serial::setDTR");
  int bits = TIOCM_DTR;
  if (ioctl(fd_, level ? TIOCMBIS : TIOCMBIC, &bits) == -1) {
    throw SerialException(modemFailureText(level ? "setDTR failed on a call to ioctl(TIOCMBIS): "
                                                 : "setDTR failed on a call to ioctl(TIOCMBIC): ",
                                           errno));
  }
}

bool Serial::SerialImpl::waitForChange() {
  // No open test: on a closed port the request fails on descriptor -1.
  if (ioctl(fd_, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CAR) == -1) {
    throw SerialException(
        modemFailureText("waitForDSR failed on a call to ioctl(TIOCMIWAIT): ", errno));
  }
  return true;
}

bool Serial::SerialImpl::modemBit(int bit, const char* failureText) {
  int status = 0;
  if (ioctl(fd_, TIOCMGET, &status) == -1) {
    throw SerialException(modemFailureText(failureText, errno));
  }
  return (status & bit) != 0;
}

bool Serial::SerialImpl::getCTS() {
  if (!isOpen_) throw PortNotOpenedException("Serial::getCTS");
  return modemBit(TIOCM_CTS, "getCTS failed on a call to ioctl(TIOCMGET): ");
}

bool Serial::SerialImpl::getDSR() {
  if (!isOpen_) throw PortNotOpenedException("Serial::getDSR");
  return modemBit(TIOCM_DSR, "getDSR failed on a call to ioctl(TIOCMGET): ");
}

bool Serial::SerialImpl::getRI() {
  if (!isOpen_) throw PortNotOpenedException("Serial::getRI");
  return modemBit(TIOCM_RNG, "getRI failed on a call to ioctl(TIOCMGET): ");
}

bool Serial::SerialImpl::getCD() {
  if (!isOpen_) throw PortNotOpenedException("Serial::getCD");
  return modemBit(TIOCM_CAR, "getCD failed on a call to ioctl(TIOCMGET): ");
}

void Serial::SerialImpl::readLock() {
  int rc = pthread_mutex_lock(&readMutex_);
  if (rc != 0) THROW_IO(rc);
}

void Serial::SerialImpl::readUnlock() {
  int rc = pthread_mutex_unlock(&readMutex_);
  if (rc != 0) THROW_IO(rc);
}

void Serial::SerialImpl::writeLock() {
  int rc = pthread_mutex_lock(&writeMutex_);
  if (rc != 0) THROW_IO(rc);
}

void Serial::SerialImpl::writeUnlock() {
  int rc = pthread_mutex_unlock(&writeMutex_);
  if (rc != 0) THROW_IO(rc);
}

}  // namespace serial
