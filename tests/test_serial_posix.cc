// The serial library on pseudo-terminals: the test holds the master side and
// plays the device; Serial opens the slave.
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "impl/unix.h"
#include "serial/serial.h"

using namespace serial;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int openDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// A pty pair: Serial opens `slave`, the test reads and writes `master`.
class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128];
    int slaveFd = -1;
    ASSERT_EQ(openpty(&master_, &slaveFd, name, nullptr, nullptr), 0);
    ::close(slaveFd);
    slave_ = name;
    termios raw;
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
  }
  void TearDown() override {
    if (master_ >= 0) ::close(master_);
  }

  // The line's termios as the device sees them.
  termios lineSettings() const {
    termios t;
    tcgetattr(master_, &t);
    return t;
  }

  void sendFromDevice(const std::string& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Sends `bytes` from the device after `delayMs`, on a thread of its own.
  std::thread sendLater(int delayMs, std::string bytes) {
    int fd = master_;
    return std::thread([fd, delayMs, bytes] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      ssize_t n = ::write(fd, bytes.data(), bytes.size());
      (void)n;
    });
  }

  std::string receivedByDevice() {
    std::string out;
    char buf[256];
    for (int i = 0; i < 20; ++i) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(master_, &set);
      timeval tv{0, 50000};
      if (select(master_ + 1, &set, nullptr, nullptr, &tv) <= 0) break;
      ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  int master_ = -1;
  std::string slave_;
};

const Timeout kModuleTimeout(Timeout::unlimited, 1000, 0, 1000, 0);

}  // namespace

TEST(SerialExceptions, MessagesAreComposedOnce) {
  EXPECT_STREQ(SerialException("Serial port already open.").what(),
               "SerialException Serial port already open. failed.");
  EXPECT_STREQ(PortNotOpenedException("Serial::read").what(),
               "PortNotOpenedException Serial::read failed.");
  IOException fromNumber("src/x.cc", 42, ENOENT);
  EXPECT_STREQ(fromNumber.what(),
               "IO Exception (2): No such file or directory, file src/x.cc, line 42.");
  EXPECT_EQ(fromNumber.getErrorNumber(), ENOENT);
  IOException fromText("f", -3, "::tcgetattr");
  EXPECT_STREQ(fromText.what(), "IO Exception: ::tcgetattr, file f, line -3.");
  EXPECT_EQ(fromText.getErrorNumber(), 0);
}

TEST(SerialClosed, OperationsNeedingAnOpenPortSayWhich) {
  Serial port;
  uint8_t byte = 0;
  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"Serial::read", [&] { port.read(&byte, 1); }},
      {"Serial::read", [&] { port.read(4); }},
      {"Serial::read", [&] { port.readline(); }},
      {"Serial::write", [&] { port.write("AT"); }},
      {"Serial::flush", [&] { port.flush(); }},
      {"Serial::flushInput", [&] { port.flushInput(); }},
      {"Serial::flushOutput", [&] { port.flushOutput(); }},
      {"Serial::sendBreak", [&] { port.sendBreak(10); }},
      {"Serial::setBreak", [&] { port.setBreak(true); }},
      {"Serial::setRTS", [&] { port.setRTS(true); }},
      {"Serial::setDTR", [&] { port.setDTR(false); }},
      {"Serial::getCTS", [&] { port.getCTS(); }},
      {"Serial::getDSR", [&] { port.getDSR(); }},
      {"Serial::getRI", [&] { port.getRI(); }},
      {"Serial::getCD", [&] { port.getCD(); }},
      {"Serial::waitReadable", [&] { port.waitReadable(); }},
  };
  for (const auto& c : cases) {
    try {
      c.second();
      ADD_FAILURE() << c.first << " did not throw";
    } catch (const PortNotOpenedException& e) {
      EXPECT_EQ(std::string(e.what()), "PortNotOpenedException " + c.first + " failed.");
    }
  }
  EXPECT_EQ(port.available(), 0u);
  EXPECT_FALSE(port.isOpen());
  EXPECT_NO_THROW(port.close());
}

TEST(SerialClosed, EmptyPortIsInvalid) {
  Serial port;
  try {
    port.open();
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Empty port is invalid.");
  }
}

TEST(SerialClosed, WaitForChangeFailsOnTheMissingDescriptor) {
  Serial port;
  std::string expected = std::string("SerialException waitForDSR failed on a call to "
                                     "ioctl(TIOCMIWAIT): ") +
                         std::to_string(EBADF) + " " + std::strerror(EBADF) + " failed.";
  try {
    port.waitForChange();
    FAIL();
  } catch (const SerialException& e) {
    EXPECT_EQ(e.what(), expected);
  }
}

TEST(SerialClosed, MissingDeviceReportsTheSystemError) {
  try {
    Serial port("/nonexistent/ttyUSB9", 9600, kModuleTimeout);
    FAIL();
  } catch (const IOException& e) {
    EXPECT_EQ(e.getErrorNumber(), ENOENT);
    std::string what = e.what();
    EXPECT_EQ(what.rfind("IO Exception (2): No such file or directory, file ", 0), 0u) << what;
    EXPECT_NE(what.find("serial/src/impl/unix.cc, line "), std::string::npos) << what;
  }
}

TEST_F(PtyTest, OpenCloseAndStateChanges) {
  Serial port(slave_, 9600, kModuleTimeout);
  EXPECT_TRUE(port.isOpen());
  try {
    port.open();
    FAIL();
  } catch (const SerialException& e) {
    EXPECT_STREQ(e.what(), "SerialException Serial port already open. failed.");
  }
  port.close();
  EXPECT_FALSE(port.isOpen());
  port.close();  // closing twice closes once
  EXPECT_FALSE(port.isOpen());

  // setPort on a closed port only stores the name.
  port.setPort("/nonexistent/ttyACM7");
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(port.getPort(), "/nonexistent/ttyACM7");

  // On an open port a failing reopen leaves it closed with the new name.
  port.setPort(slave_);
  port.open();
  EXPECT_THROW(port.setPort("/nonexistent/ttyACM8"), IOException);
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(port.getPort(), "/nonexistent/ttyACM8");
}

TEST_F(PtyTest, SecondOpenOfAPortInUseIsRefused) {
  Serial first(slave_, 9600, kModuleTimeout);
  try {
    Serial second(slave_, 9600, kModuleTimeout);
    FAIL();
  } catch (const IOException& e) {
    EXPECT_NE(std::string(e.what()).find("is in use by another program"), std::string::npos)
        << e.what();
  }
  first.close();
  Serial third(slave_, 9600, kModuleTimeout);
  EXPECT_TRUE(third.isOpen());
}

TEST_F(PtyTest, CustomRatesNeedTheSerialDriver) {
  // A pty refuses TIOCGSERIAL: rates without a speed constant cannot be set.
  for (uint32_t rate : {1382400u, 500000u, 576000u, 14400u}) {
    Serial port;
    port.setPort(slave_);
    port.setBaudrate(rate);
    try {
      port.open();
      ADD_FAILURE() << rate << " opened";
    } catch (const IOException& e) {
      EXPECT_EQ(e.getErrorNumber(), ENOTTY) << rate;
      EXPECT_EQ(std::string(e.what()).rfind("IO Exception (25): Inappropriate ioctl for device, "
                                            "file ",
                                            0),
                0u)
          << e.what();
    }
    EXPECT_FALSE(port.isOpen());
  }
}

TEST_F(PtyTest, FailedOpensLeakNoDescriptor) {
  Serial port;
  port.setPort(slave_);
  port.setBaudrate(1382400);
  EXPECT_THROW(port.open(), IOException);
  int before = openDescriptorCount();
  for (int i = 0; i < 300; ++i) EXPECT_THROW(port.open(), IOException);
  EXPECT_EQ(openDescriptorCount(), before);
  // The port was left closed, so it opens once the rate is one the pty takes.
  port.setBaudrate(9600);
  EXPECT_NO_THROW(port.open());
}

TEST_F(PtyTest, RegularFileIsNotATerminal) {
  char path[] = "/tmp/serial-regular-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "keep", 4), 4);
  ::close(fd);
  int before = openDescriptorCount();
  try {
    Serial port(path, 9600, kModuleTimeout);
    ADD_FAILURE();
  } catch (const IOException& e) {
    EXPECT_NE(std::string(e.what()).find("IO Exception: ::tcgetattr, file "), std::string::npos);
  }
  EXPECT_EQ(openDescriptorCount(), before);
  unlink(path);
}

TEST_F(PtyTest, SettingsReachTheLine) {
  Serial port(slave_, 9600, kModuleTimeout);
  termios t = lineSettings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & (CSTOPB | PARENB | CRTSCTS));
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_FALSE(t.c_iflag & (INLCR | IGNCR | ICRNL | IGNBRK | PARMRK | IXON | IXOFF | INPCK));
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  struct RateCase {
    uint32_t rate;
    speed_t speed;
  };
  for (RateCase c : {RateCase{1200, B1200}, RateCase{115200, B115200}, RateCase{921600, B921600},
                     RateCase{4000000, B4000000}, RateCase{0, B0}}) {
    port.setBaudrate(c.rate);
    t = lineSettings();
    EXPECT_EQ(cfgetospeed(&t), c.speed) << c.rate;
  }
  port.setBaudrate(9600);

  // A pty keeps stop bits, PARODD and CMSPAR but forces CS8 and clears
  // PARENB; the data bits and parity enable are checked on the mapping below.
  port.setStopbits(StopBits::Two);
  EXPECT_TRUE(lineSettings().c_cflag & CSTOPB);
  port.setStopbits(StopBits::OnePointFive);
  EXPECT_TRUE(lineSettings().c_cflag & CSTOPB);
  port.setStopbits(StopBits::One);
  EXPECT_FALSE(lineSettings().c_cflag & CSTOPB);
  port.setParity(Parity::Mark);
  EXPECT_TRUE(lineSettings().c_cflag & PARODD);
  EXPECT_TRUE(lineSettings().c_cflag & CMSPAR);
  port.setParity(Parity::None);
  EXPECT_FALSE(lineSettings().c_cflag & PARODD);
  EXPECT_TRUE(lineSettings().c_cflag & CMSPAR);  // None leaves CMSPAR as it was

  port.setFlowcontrol(FlowControl::Software);
  t = lineSettings();
  EXPECT_TRUE((t.c_iflag & IXON) && (t.c_iflag & IXOFF));
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  port.setFlowcontrol(static_cast<FlowControl>(9));  // unknown: keeps software flow
  t = lineSettings();
  EXPECT_TRUE((t.c_iflag & IXON) && (t.c_iflag & IXOFF));
  port.setFlowcontrol(FlowControl::Hardware);
  t = lineSettings();
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | IXANY));
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  port.setFlowcontrol(FlowControl::None);
  EXPECT_FALSE(lineSettings().c_cflag & CRTSCTS);
}

TEST_F(PtyTest, InvalidSettingsStayStoredButLeaveTheLineAlone) {
  Serial port(slave_, 9600, kModuleTimeout);
  port.setParity(Parity::Even);
  const termios before = lineSettings();

  struct Case {
    std::function<void()> set;
    std::function<int()> stored;
    std::function<void()> restore;
    int value;
    const char* text;
  };
  const std::vector<Case> cases = {
      {[&] { port.setBytesize(static_cast<ByteSize>(9)); },
       [&] { return static_cast<int>(port.getBytesize()); },
       [&] { port.setBytesize(ByteSize::Eight); }, 9, "invalid char len"},
      {[&] { port.setStopbits(static_cast<StopBits>(4)); },
       [&] { return static_cast<int>(port.getStopbits()); },
       [&] { port.setStopbits(StopBits::One); }, 4, "invalid stop bit"},
      {[&] { port.setParity(static_cast<Parity>(7)); },
       [&] { return static_cast<int>(port.getParity()); },
       [&] { port.setParity(Parity::Even); }, 7, "invalid parity"},
  };
  for (const Case& c : cases) {
    try {
      c.set();
      ADD_FAILURE() << c.text;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.text);
    }
    termios now = lineSettings();
    EXPECT_EQ(now.c_cflag, before.c_cflag) << c.text;
    EXPECT_EQ(now.c_iflag, before.c_iflag) << c.text;
    EXPECT_EQ(c.stored(), c.value) << c.text;
    c.restore();
  }
  EXPECT_TRUE(port.isOpen());
}

TEST_F(PtyTest, ModemLinesOfAPtyFailWithTheirTexts) {
  Serial port(slave_, 9600, kModuleTimeout);
  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"setRTS failed on a call to ioctl(TIOCMBIS): ", [&] { port.setRTS(true); }},
      {"setRTS failed on a call to ioctl(TIOCMBIC): ", [&] { port.setRTS(false); }},
      {"setDTR failed on a call to ioctl(TIOCMBIS): ", [&] { port.setDTR(true); }},
      {"setDTR failed on a call to ioctl(TIOCMBIC): ", [&] { port.setDTR(false); }},
      {"getCTS failed on a call to ioctl(TIOCMGET): ", [&] { port.getCTS(); }},
      {"getDSR failed on a call to ioctl(TIOCMGET): ", [&] { port.getDSR(); }},
      {"getRI failed on a call to ioctl(TIOCMGET): ", [&] { port.getRI(); }},
      {"getCD failed on a call to ioctl(TIOCMGET): ", [&] { port.getCD(); }},
  };
  const std::string reason = std::to_string(ENOTTY) + " " + std::strerror(ENOTTY);
  for (const auto& c : cases) {
    try {
      c.second();
      ADD_FAILURE() << c.first;
    } catch (const SerialException& e) {
      EXPECT_EQ(std::string(e.what()), "SerialException " + c.first + reason + " failed.");
    }
  }
  // A pty takes breaks.
  EXPECT_NO_THROW(port.setBreak(true));
  EXPECT_NO_THROW(port.setBreak(false));
  EXPECT_NO_THROW(port.sendBreak(10));
  EXPECT_NO_THROW(port.flush());
  EXPECT_NO_THROW(port.flushInput());
  EXPECT_NO_THROW(port.flushOutput());
}

TEST(SerialRules, CharacterTimes) {
  struct Case {
    uint32_t rate;
    ByteSize bytesize;
    Parity parity;
    StopBits stopbits;
    uint32_t ns;
  };
  const Case cases[] = {
      {9600, ByteSize::Eight, Parity::None, StopBits::One, 1041660},
      {300, ByteSize::Eight, Parity::None, StopBits::One, 33333330},
      {9600, ByteSize::Seven, Parity::Even, StopBits::Two, 1145826},
      {9600, ByteSize::Eight, Parity::None, StopBits::OnePointFive, 1093743},
      {0, ByteSize::Eight, Parity::None, StopBits::One, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detail::byteTimeNs(c.rate, c.bytesize, c.parity, c.stopbits), c.ns) << c.rate;
  }
  timespec ts = detail::byteTimesToTimespec(1000, 33333330);
  EXPECT_EQ(ts.tv_sec, 33);
  EXPECT_EQ(ts.tv_nsec, 333330000);
  ts = detail::millisecondsToTimespec(2500);
  EXPECT_EQ(ts.tv_sec, 2);
  EXPECT_EQ(ts.tv_nsec, 500000000);
  ts = detail::byteTimesToTimespec(static_cast<size_t>(-1), 4294967295u);  // saturates
  EXPECT_GT(ts.tv_sec, 0);
}

TEST(SerialRules, FramingToTermios) {
  struct Case {
    ByteSize bytesize;
    StopBits stopbits;
    Parity parity;
    tcflag_t csize;
    bool cstopb, parenb, parodd, cmspar;
  };
  const Case cases[] = {
      {ByteSize::Eight, StopBits::One, Parity::None, CS8, false, false, false, false},
      {ByteSize::Seven, StopBits::Two, Parity::Odd, CS7, true, true, true, false},
      {ByteSize::Six, StopBits::OnePointFive, Parity::Even, CS6, true, true, false, false},
      {ByteSize::Five, StopBits::One, Parity::Mark, CS5, false, true, true, true},
      {ByteSize::Eight, StopBits::One, Parity::Space, CS8, false, true, false, true},
  };
  for (const Case& c : cases) {
    termios t{};
    t.c_cflag = CS5 | PARODD;
    t.c_iflag = INPCK | ISTRIP;
    detail::applyFraming(t, c.bytesize, c.stopbits, c.parity);
    EXPECT_EQ(t.c_cflag & CSIZE, c.csize);
    EXPECT_EQ(!!(t.c_cflag & CSTOPB), c.cstopb);
    EXPECT_EQ(!!(t.c_cflag & PARENB), c.parenb);
    EXPECT_EQ(!!(t.c_cflag & PARODD), c.parodd);
    EXPECT_EQ(!!(t.c_cflag & CMSPAR), c.cmspar);
    EXPECT_EQ(t.c_iflag & (INPCK | ISTRIP), 0u);
  }
  // None, Odd and Even leave CMSPAR as it was.
  termios t{};
  t.c_cflag = CMSPAR;
  detail::applyFraming(t, ByteSize::Eight, StopBits::One, Parity::Odd);
  EXPECT_TRUE(t.c_cflag & CMSPAR);
  // A rejected value leaves the record untouched.
  termios before{};
  before.c_cflag = CS7 | PARENB;
  termios after = before;
  EXPECT_THROW(detail::applyFraming(after, ByteSize::Eight, StopBits::One,
                                    static_cast<Parity>(5)),
               std::invalid_argument);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
}

TEST(SerialRules, StandardSpeedsOnly) {
  speed_t s;
  for (uint32_t rate : {0u, 50u, 134u, 1800u, 9600u, 1000000u, 1152000u, 4000000u}) {
    EXPECT_TRUE(detail::standardSpeed(rate, &s)) << rate;
  }
  for (uint32_t rate : {500000u, 576000u, 1382400u, 14400u, 1u}) {
    EXPECT_FALSE(detail::standardSpeed(rate, &s)) << rate;
  }
}

TEST_F(PtyTest, ZeroTimeoutTakesOnlyWhatIsThere) {
  Serial port(slave_, 9600, Timeout());
  auto start = Clock::now();
  EXPECT_EQ(port.read(10), "");
  EXPECT_EQ(port.write("AT"), 0u);
  EXPECT_LT(secondsSince(start), 0.5);
  sendFromDevice("OK");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(port.read(10), "OK");
  EXPECT_EQ(port.read(0), "");
}

TEST_F(PtyTest, ReadOfTheModuleTimeoutEndsAfterItsBudget) {
  Serial port(slave_, 9600, kModuleTimeout);
  auto start = Clock::now();
  EXPECT_EQ(port.read(10), "");
  double silent = secondsSince(start);
  EXPECT_GT(silent, 0.95);
  EXPECT_LT(silent, 3.0);

  // A short answer is returned when the second is over.
  std::thread device = sendLater(100, "OKlinvorV1.8");
  start = Clock::now();
  EXPECT_EQ(port.read(100), "OKlinvorV1.8");
  double answered = secondsSince(start);
  device.join();
  EXPECT_GT(answered, 0.95);
  EXPECT_LT(answered, 3.0);

  // Writes go out whole, without terminator.
  EXPECT_EQ(port.write("AT+VERSION"), 10u);
  EXPECT_EQ(receivedByDevice(), "AT+VERSION");
  EXPECT_EQ(port.write(std::string()), 0u);
  EXPECT_EQ(port.write(std::vector<uint8_t>{'A', 'T'}), 2u);
  EXPECT_EQ(receivedByDevice(), "AT");
}

TEST_F(PtyTest, PauseBetweenBytesDoesNotEndTheRead) {
  Serial port(slave_, 9600, Timeout(50, 1000, 0, 1000, 0));
  std::thread first = sendLater(50, "a");
  std::thread second = sendLater(300, "b");
  auto start = Clock::now();
  EXPECT_EQ(port.read(5), "ab");
  double elapsed = secondsSince(start);
  first.join();
  second.join();
  EXPECT_GT(elapsed, 0.95);
  EXPECT_LT(elapsed, 3.0);

  // The read ends as soon as all bytes asked for are in.
  std::thread full = sendLater(100, "12345");
  start = Clock::now();
  EXPECT_EQ(port.read(5), "12345");
  full.join();
  EXPECT_LT(secondsSince(start), 0.9);
}

TEST_F(PtyTest, SignalDuringTheWaitDoesNotEndTheRead) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGUSR1, &action, nullptr);
  Serial port(slave_, 9600, kModuleTimeout);
  pthread_t reader = pthread_self();
  std::thread interrupter([reader] {
    for (int i = 0; i < 4; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      pthread_kill(reader, SIGUSR1);
    }
  });
  auto start = Clock::now();
  EXPECT_EQ(port.read(10), "");
  double elapsed = secondsSince(start);
  interrupter.join();
  EXPECT_GT(elapsed, 0.95);
  EXPECT_LT(elapsed, 3.0);
  signal(SIGUSR1, SIG_DFL);
}

TEST_F(PtyTest, BudgetWrapsInThirtyTwoBits) {
  // 5 + 4294967295 * 2 wraps to 3 ms.
  Serial port(slave_, 9600, Timeout(Timeout::unlimited, 5, Timeout::unlimited, 0, 0));
  auto start = Clock::now();
  EXPECT_EQ(port.read(2), "");
  EXPECT_LT(secondsSince(start), 0.5);
}

TEST_F(PtyTest, HangUpDuringReadIsReported) {
  // A pulled adapter: the descriptor reports readiness, then fails with EIO.
  // A one-byte read meets the failing read; a longer one first asks how much
  // is waiting, and that request fails.
  struct Case {
    size_t size;
    std::string expected;
  };
  const Case cases[] = {
      {1, "SerialException device reports readiness to read but returned no data (device "
          "disconnected?) failed."},
      {10, "IO Exception (5): Input/output error, file "},
  };
  for (const Case& c : cases) {
    if (master_ >= 0) ::close(master_);
    SetUp();
    Serial port(slave_, 9600, kModuleTimeout);
    std::thread device([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ::close(master_);
      master_ = -1;
    });
    std::string what;
    try {
      port.read(c.size);
    } catch (const std::exception& e) {
      what = e.what();
    }
    device.join();
    EXPECT_EQ(what.substr(0, c.expected.size()), c.expected) << c.size;
  }
}

TEST_F(PtyTest, ReadFormsAppendEveryByte) {
  Serial port(slave_, 9600, Timeout(Timeout::unlimited, 300, 0, 300, 0));
  sendFromDevice(std::string("O\0K", 3));
  std::string text = "x";
  EXPECT_EQ(port.read(text, 3), 3u);
  EXPECT_EQ(text, std::string("xO\0K", 4));
  sendFromDevice("12");
  std::vector<uint8_t> bytes{9};
  EXPECT_EQ(port.read(bytes, 2), 2u);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{9, '1', '2'}));
  sendFromDevice("z");
  uint8_t raw[4] = {0, 0, 0, 0};
  EXPECT_EQ(port.read(raw, 4), 1u);
  EXPECT_EQ(raw[0], 'z');
}

TEST_F(PtyTest, ReadlineTakesNoByteOfTheNextLine) {
  Serial port(slave_, 9600, Timeout(Timeout::unlimited, 200, 0, 200, 0));
  sendFromDevice("abcdefgh\n");
  std::string text;
  EXPECT_EQ(port.readline(text, 5, "\n"), 5u);
  EXPECT_EQ(text, "abcde");
  EXPECT_EQ(port.readline(100, "\n"), "fgh\n");

  sendFromDevice("one\rtwo\r\nthree");
  EXPECT_EQ(port.readline(100, "\r\n"), "one\rtwo\r\n");
  EXPECT_EQ(port.readline(100, ""), "t");  // an empty end of line matches at once
  EXPECT_EQ(port.readline(100, "\n"), "hree");  // silence ends the line

  text = "kept";
  EXPECT_EQ(port.readline(text, 0, "\n"), 0u);
  EXPECT_EQ(port.readline(text, 10, "\n"), 0u);  // nothing within one byte's budget
  EXPECT_EQ(text, "kept");

  sendFromDevice(std::string("a\0b\n", 4));
  EXPECT_EQ(port.readline(10, "\n"), std::string("a\0b\n", 4));
}

TEST_F(PtyTest, ReadlinesSplitsWhatArrives) {
  Serial port(slave_, 9600, Timeout(Timeout::unlimited, 200, 0, 200, 0));
  EXPECT_TRUE(port.readlines(0, "\n").empty());

  sendFromDevice("a\nb");
  EXPECT_EQ(port.readlines(100, "\n"), (std::vector<std::string>{"a\n", "b"}));

  sendFromDevice("xyz");
  EXPECT_EQ(port.readlines(100, ""), (std::vector<std::string>{"x", "y", "z"}));

  // The size bounds the batch; the rest stays for the next call.
  sendFromDevice("l1\nl2\nl3\n");
  EXPECT_EQ(port.readlines(5, "\n"), (std::vector<std::string>{"l1\n", "l2"}));
  EXPECT_EQ(port.readlines(6, "\n"), (std::vector<std::string>{"\n", "l3\n"}));
}

TEST_F(PtyTest, AvailableAndWaitReadable) {
  Serial port(slave_, 9600, Timeout(Timeout::unlimited, 100, 0, 100, 0));
  EXPECT_EQ(port.available(), 0u);
  auto start = Clock::now();
  EXPECT_FALSE(port.waitReadable());
  EXPECT_GT(secondsSince(start), 0.08);
  sendFromDevice("OK1200");
  EXPECT_TRUE(port.waitReadable());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(port.available(), 6u);

  port.setBaudrate(115200);
  start = Clock::now();
  port.waitByteTimes(1000);  // about 87 ms at 115200 8N1
  double slept = secondsSince(start);
  EXPECT_GT(slept, 0.08);
  EXPECT_LT(slept, 2.0);
}

TEST_F(PtyTest, DescriptorBeyondTheSelectLimitIsRefused) {
  rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_max < FD_SETSIZE + 16) GTEST_SKIP() << "descriptor limit too low to test";
  rlimit raised = limit;
  raised.rlim_cur = FD_SETSIZE + 16;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
  // Occupy every descriptor below the limit so the port gets a large one.
  std::vector<int> fillers;
  int fd;
  while ((fd = dup(0)) >= 0 && fd < FD_SETSIZE) fillers.push_back(fd);
  if (fd >= 0) ::close(fd);
  {
    Serial port(slave_, 9600, kModuleTimeout);
    try {
      port.read(1);
      ADD_FAILURE();
    } catch (const IOException& e) {
      EXPECT_NE(std::string(e.what()).find("beyond the select() limit"), std::string::npos)
          << e.what();
    }
    EXPECT_THROW(port.write("AT"), IOException);
    EXPECT_THROW(port.waitReadable(), IOException);
  }
  for (int f : fillers) ::close(f);
  setrlimit(RLIMIT_NOFILE, &limit);
}
