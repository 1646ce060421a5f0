// The Windows back end against Wine's serial driver.  Argument: the device
// path of a COM port that Wine maps to a pseudo-terminal, e.g. \\.\COM9.  The
// master side (the native test that starts this program) takes part:
//   this program writes "open\n" once the port is open at 9600; the master
//   notes the speed and answers "abc";
//   this program writes "fast\n" after switching to 115200; the master notes
//   the speed and answers "k".
// Prints one line per failed check and a summary; exits 0 when all passed.
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>

#include "serial/serial.h"

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what, int line) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAIL (line %d): %s\n", line, what.c_str());
    std::fflush(stdout);
  }
}

#define CHECK(cond) check((cond), #cond, __LINE__)

// Runs `action`; the text of the exception of type E it throws, or a note
// saying what happened instead.
template <class E>
std::string thrown(const std::function<void()>& action) {
  try {
    action();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("<other exception: ") + e.what() + ">";
  }
  return "<no exception>";
}

// An IOException with this description, raised in the Windows back end.
void checkIOFailure(const std::function<void()>& action, const std::string& description,
                    int line) {
  std::string file;
  std::string text;
  try {
    action();
    text = "<no exception>";
  } catch (const serial::IOException& e) {
    file = e.getFile();
    text = e.what();
  } catch (const std::exception& e) {
    text = std::string("<other exception: ") + e.what() + ">";
  }
  for (char& c : file) {
    if (c == '\\') c = '/';
  }
  const std::string suffix = "serial/src/impl/win.cc";
  const bool fromBackEnd =
      file.size() >= suffix.size() && file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0;
  const std::string prefix = "IO Exception: " + description + ", file ";
  check(fromBackEnd && text.compare(0, prefix.size(), prefix) == 0,
        "expected \"" + description + "\" from win.cc, got \"" + text + "\"", line);
}

#define CHECK_IO_FAILURE(action, description) \
  checkIOFailure([&] { action; }, description, __LINE__)

#define CHECK_THROWS(type, action, text)                                            \
  do {                                                                              \
    const std::string got = thrown<type>([&] { action; });                          \
    check(got == (text), "expected \"" + std::string(text) + "\", got \"" + got + "\"", \
          __LINE__);                                                                \
  } while (0)

ULONGLONG now() { return GetTickCount64(); }

// Reads until `expected` arrived or ten one-second reads brought nothing more.
bool awaitReply(serial::Serial& port, const std::string& expected) {
  std::string got;
  for (int i = 0; i < 10 && got.size() < expected.size(); ++i) got += port.read(expected.size() - got.size());
  return got == expected;
}

void closedPort() {
  serial::Serial port;
  CHECK(!port.isOpen());
  CHECK_THROWS(std::invalid_argument, port.open(), "Empty port is invalid.");
  CHECK(port.available() == 0);
  CHECK_THROWS(serial::PortNotOpenedException, port.read(1), "PortNotOpenedException Serial::read failed.");
  CHECK_THROWS(serial::PortNotOpenedException, port.write("x"),
               "PortNotOpenedException Serial::write failed.");
  CHECK_THROWS(serial::PortNotOpenedException, port.getCD(), "PortNotOpenedException Serial::getCD failed.");
  CHECK_THROWS(serial::PortNotOpenedException, port.waitForChange(),
               "PortNotOpenedException Serial::waitForChange failed.");
  CHECK_IO_FAILURE(port.flushInput(), "flushInput is not supported on Windows.");
  CHECK_IO_FAILURE(port.sendBreak(10), "sendBreak is not supported on Windows.");

  const std::string name = "\\\\.\\CO\xe9\x80";
  port.setPort(name);
  CHECK(port.getPort() == name);
  CHECK(!port.isOpen());
}

void missingPort() {
  CHECK_IO_FAILURE(serial::Serial port("\\\\.\\COM42"), "Specified port, \\\\.\\COM42, does not exist.");
}

void openPort(const std::string& name) {
  const serial::Timeout timeout(serial::Timeout::unlimited, 1000, 0, 1000, 0);
  serial::Serial port(name, 9600, timeout);
  CHECK(port.isOpen());
  CHECK_THROWS(serial::SerialException, port.open(), "SerialException Serial port already open. failed.");

  CHECK(port.write("open\n") == 5);
  port.flush();

  // The master answers "abc": wait until the driver has all three.
  size_t waiting = 0;
  for (ULONGLONG end = now() + 20000; now() < end && waiting < 3; Sleep(20)) waiting = port.available();
  CHECK(waiting == 3);

  ULONGLONG start = now();
  std::string got = port.read(10);
  ULONGLONG took = now() - start;
  check(got == "abc", "read returned \"" + got + "\"", __LINE__);
  check(took >= 900 && took <= 3000, "read with bytes waiting took " + std::to_string(took) + " ms",
        __LINE__);

  start = now();
  got = port.read(10);
  took = now() - start;
  check(got.empty(), "silent read returned \"" + got + "\"", __LINE__);
  check(took >= 900 && took <= 3000, "silent read took " + std::to_string(took) + " ms", __LINE__);

  CHECK_IO_FAILURE(port.waitReadable(), "waitReadable is not implemented on Windows.");
  CHECK_IO_FAILURE(port.waitByteTimes(3), "waitByteTimes is not implemented on Windows.");
  CHECK_IO_FAILURE(port.flushInput(), "flushInput is not supported on Windows.");
  CHECK_IO_FAILURE(port.flushOutput(), "flushOutput is not supported on Windows.");
  CHECK_IO_FAILURE(port.sendBreak(10), "sendBreak is not supported on Windows.");

  // A pty has no modem lines: the status query fails, the line changes are
  // refused silently.
  CHECK_IO_FAILURE(port.getCTS(), "Error getting the status of the CTS line.");
  CHECK_IO_FAILURE(port.getDSR(), "Error getting the status of the DSR line.");
  CHECK_IO_FAILURE(port.getRI(), "Error getting the status of the RI line.");
  CHECK_IO_FAILURE(port.getCD(), "Error getting the status of the CD line.");
  port.setRTS(true);
  port.setDTR(false);
  port.setBreak(false);

  // A rejected value stays stored; the port keeps its device settings.
  CHECK_THROWS(std::invalid_argument, port.setParity(static_cast<serial::Parity>(9)), "invalid parity");
  CHECK(static_cast<int>(port.getParity()) == 9);
  CHECK(port.isOpen());
  port.setParity(serial::Parity::None);
  port.setFlowcontrol(static_cast<serial::FlowControl>(7));
  CHECK(port.isOpen());
  port.setFlowcontrol(serial::FlowControl::None);

  port.setBaudrate(115200);
  CHECK(port.write("fast\n") == 5);
  CHECK(awaitReply(port, "k"));

  port.close();
  CHECK(!port.isOpen());
  port.close();
  CHECK_THROWS(serial::PortNotOpenedException, port.read(1), "PortNotOpenedException Serial::read failed.");

  port.open();
  CHECK(port.isOpen());
  CHECK(port.getBaudrate() == 115200);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: serial_wine_test \\\\.\\COMn\n");
    return 2;
  }
  closedPort();
  missingPort();
  openPort(argv[1]);
  std::printf("serial_wine_test: %d checks passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
