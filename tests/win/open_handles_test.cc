// Failing opens must give back every handle they took.  Arguments: the path
// of a regular file (CreateFileW opens it, GetCommState then fails) and the
// device path of a COM port Wine maps to a pseudo-terminal, e.g. \\.\COM12.
// Each round runs 1000 times, after a few warm-up runs (Wine creates some
// handles of its own on first use), and compares the handle use before and
// after.  Prints one line per round; exits 0 when no round kept a handle.
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>

#include "serial/serial.h"

namespace {

int failed = 0;

// GetProcessHandleCount, where it counts; Wine 8 answers 0.  There the value
// of a fresh handle stands in: Wine hands out the lowest free slot of the
// handle table, so that value stays the same exactly when no handle was kept.
std::string handleUse() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) {
    return std::to_string(count) + " handles";
  }
  HANDLE probe = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  char text[64];
  std::snprintf(text, sizeof text, "next handle %p", probe);
  CloseHandle(probe);
  return text;
}

// What one attempt threw, for the round's report.
std::string outcome(const std::function<void()>& attempt) {
  try {
    attempt();
  } catch (const serial::IOException& e) {
    const std::string what = e.what();
    return what.substr(0, what.find(", file "));
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no exception>";
}

void measure(const char* name, const std::string& expected, const std::function<void()>& attempt) {
  for (int i = 0; i < 10; ++i) outcome(attempt);
  const std::string before = handleUse();
  int unexpected = 0;
  std::string last;
  for (int i = 0; i < 1000; ++i) {
    last = outcome(attempt);
    if (last != expected) ++unexpected;
  }
  const std::string after = handleUse();
  const bool ok = after == before && unexpected == 0;
  if (!ok) ++failed;
  std::printf("%s %s: %s -> %s, %d unexpected outcomes (last: %s)\n", ok ? "ok" : "FAIL", name,
              before.c_str(), after.c_str(), unexpected, last.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: open_handles_test <regular file> \\\\.\\COMn\n");
    return 2;
  }
  const std::string file = argv[1];
  const std::string com = argv[2];

  measure("missing port", "IO Exception: Specified port, \\\\.\\COM42, does not exist.",
        [] { serial::Serial port("\\\\.\\COM42"); });
  measure("regular file", "IO Exception: Error getting the serial port state.",
        [&] { serial::Serial port(file); });
  // CreateFileW succeeds on the pty; the settings are refused afterwards.
  measure("refused byte size", "invalid char len", [&] {
    serial::Serial port;
    port.setPort(com);
    port.setBytesize(static_cast<serial::ByteSize>(9));
    port.open();
  });
  measure("open and close", "<no exception>", [&] {
    serial::Serial port(com);
    port.close();
  });

  std::printf("open_handles_test: %d rounds failed\n", failed);
  return failed == 0 ? 0 : 1;
}
