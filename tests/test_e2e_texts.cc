// The real btsetter's own texts (help, version, parse errors, port table)
// and its choice of a default port on a fake /dev and /sys.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using harness::RunResult;

namespace {

RunResult btsetter(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {harness::btsetterPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return harness::run(argv, 60);
}

const std::string kRates =
    "1200|2400|4800|9600|19200|38400|57600|115200|230400|460800|921600|1382400";

const std::string kVersion = "HC04/06 bluettoth module configurator, version 1.0\n";

std::string helpText(const std::string& program) {
  return kVersion +
         "Free software under the MIT licence, provided without warranty of any kind.\n"
         "\n"
         "Usage: " + program + " [options] \n"
         "\n"
         "Options\n"
         " -p,  --port <PORT>  (Serial port device)\n"
         " -b,  --baud <" + kRates + ">  (Serial port baud rate)\n"
         " --set-name <NAME>  (Sets new bluetooth device name)\n"
         " --set-pin <PIN>  (Sets new pairing PIN)\n"
         " --set-baud <" + kRates + ">  (Sets new serial baud rate)\n"
         " --detect-ports  (Displays available serial ports and exits)\n"
         " --version  (Displays version information and exits.)\n"
         " -h,  --help  (Displays usage information and exits.)\n"
         "\n"
         "Please see the btsetter(1) man page for full documentation.\n"
         "Visit https://btsetter.example.org for updates and bug reports.\n"
         "\n"
         "\n"
         "DISCLAIMER\n";
}

std::string parseError(const std::string& argId, const std::string& error) {
  return "PARSE ERROR: " + argId + "\n" + std::string(13, ' ') + error +
         "\n\n\nFor USAGE and HELP type: \n   " + harness::btsetterPath() + " --help\n\n";
}

const std::string kPinText = "PIN must contain exactly four decimal digits";
const std::string kNameText = "Name must contain 20 or fewer bytes";

}  // namespace

TEST(Texts, HelpAndVersion) {
  const std::string help = helpText(harness::btsetterPath());
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"--help"}, help},
      {{"-h"}, help},
      {{"--help", "bogus"}, help},
      {{"--help", "--version"}, help},
      {{"--version"}, kVersion},
      {{"--version", "--help"}, kVersion},
      {{"--version", "--set-pin", "1"}, kVersion},
  };
  for (const Case& c : cases) {
    RunResult r = btsetter(c.args);
    EXPECT_EQ(r.status, 0) << c.args[0];
    EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args.size();
    EXPECT_EQ(r.err, "");
  }
}

TEST(Texts, HelpShowsTheProgramNameAsTyped) {
  harness::TempDir dir;
  const std::string link = dir.file("bt");
  ASSERT_EQ(symlink(harness::btsetterPath().c_str(), link.c_str()), 0);
  RunResult r = harness::run({link, "--help"}, 60);
  EXPECT_EQ(r.out, helpText(link));
}

TEST(Texts, ParseErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string argId, error;
  };
  const std::string ten2ByteChars(20, '\x41');
  const Case cases[] = {
      {{"bogus"}, "Argument: bogus", "Couldn't find match for argument"},
      {{"bogus", "--help"}, "Argument: bogus", "Couldn't find match for argument"},
      {{"--set-pin", "123"}, "Argument: (--set-pin)",
       "Value '123' does not meet constraint: " + kPinText},
      {{"--set-pin", "12345"}, "Argument: (--set-pin)",
       "Value '12345' does not meet constraint: " + kPinText},
      {{"--set-pin", "12a4"}, "Argument: (--set-pin)",
       "Value '12a4' does not meet constraint: " + kPinText},
      {{"--set-name", ""}, "Argument: (--set-name)",
       "Value '' does not meet constraint: " + kNameText},
      {{"--set-name", std::string(21, 'n')}, "Argument: (--set-name)",
       "Value '" + std::string(21, 'n') + "' does not meet constraint: " + kNameText},
      {{"--baud", "14400"}, "Argument: -b (--baud)",
       "Value '14400' does not meet constraint: " + kRates},
      {{"-b", "0"}, "Argument: -b (--baud)", "Value '0' does not meet constraint: " + kRates},
      {{"--set-baud", "300"}, "Argument: (--set-baud)",
       "Value '300' does not meet constraint: " + kRates},
      {{"-b", "abc"}, "Argument: -b (--baud)", "Couldn't read argument value from string 'abc'"},
      {{"-p"}, "Argument: -p (--port)", "Missing a value for this argument!"},
  };
  for (const Case& c : cases) {
    RunResult r = btsetter(c.args);
    EXPECT_EQ(r.status, 1) << c.args[0];
    EXPECT_EQ(r.out, "") << c.args[0];
    EXPECT_EQ(r.err, parseError(c.argId, c.error)) << c.args[0];
  }
}

TEST(Texts, AcceptedPinsAndNamesReachThePort) {
  // Past the parser the run fails on the missing port, with status 2.
  const std::vector<std::vector<std::string>> cases = {
      {"--set-pin", "0000"},
      {"--set-pin", "9876"},
      {"--set-name", std::string(20, 'n')},
      {"--set-name", "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"
                     "\xc3\xa9"},
      {"--set-name", "a"},
  };
  for (auto args : cases) {
    args.insert(args.end(), {"-p", "/nonexistent/ttyUSB0", "-b", "9600"});
    RunResult r = btsetter(args);
    EXPECT_EQ(r.status, 2) << args[1];
    EXPECT_EQ(r.err.rfind("error: IO Exception (2): ", 0), 0u) << r.err;
  }
}

TEST(Texts, DetectPortsPrintsTheTable) {
  RunResult r = btsetter({"--detect-ports", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Port\tDescription\tHardware\n====\t===========\t========\n", 0), 0u)
      << r.out;
  EXPECT_EQ(r.err, "");
  RunResult helpFirst = btsetter({"--help", "--detect-ports"});
  EXPECT_EQ(helpFirst.out, helpText(harness::btsetterPath()));
  RunResult errorFirst = btsetter({"bogus", "--detect-ports"});
  EXPECT_EQ(errorFirst.status, 1);
  EXPECT_EQ(errorFirst.out, "");
}

// A private mount namespace with a fake /dev and /sys/class/tty bound over
// the real ones: btsetter sees only the nodes a test made.
class FakeMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    RunResult probe = harness::run({"unshare", "-m", "true"}, 20);
    if (probe.status != 0) GTEST_SKIP() << "unshare -m is not permitted here: " << probe.err;
    mkdirs("dev");
    mkdirs("sys/class/tty");
  }

  void mkdirs(const std::string& relative) {
    std::string path = dir_.path();
    size_t start = 0;
    while (start <= relative.size()) {
      size_t slash = relative.find('/', start);
      if (slash == std::string::npos) slash = relative.size();
      path += "/" + relative.substr(start, slash - start);
      ::mkdir(path.c_str(), 0755);
      start = slash + 1;
    }
  }

  void writeFile(const std::string& relative, const std::string& text) {
    std::ofstream(dir_.file(relative)) << text;
  }

  // A node under the fake /dev: a plain file, or (with `device`) a mount
  // point the real device is bound onto.
  void addNode(const std::string& name, const std::string& device = "") {
    writeFile("dev/" + name, "");
    if (!device.empty()) binds_.push_back({device, dir_.file("dev/" + name)});
  }

  void addUart(const std::string& name, const std::string& id) {
    addNode(name);
    mkdirs("sys/class/tty/" + name + "/device");
    if (!id.empty()) writeFile("sys/class/tty/" + name + "/device/id", id + "\n");
  }

  // A USB-to-serial adapter: its device link leads two levels below the USB
  // device's attribute files.
  void addUsbAdapter(const std::string& name, const std::string& device) {
    addNode(name, device);
    const std::string usb = "usb/1-2";
    mkdirs(usb + "/1-2:1.0/" + name);
    writeFile(usb + "/manufacturer", "FTDI\n");
    writeFile(usb + "/product", "FT232R USB UART\n");
    writeFile(usb + "/serial", "A50285BI\n");
    writeFile(usb + "/idVendor", "0403\n");
    writeFile(usb + "/idProduct", "6001\n");
    mkdirs("sys/class/tty/" + name);
    ASSERT_EQ(symlink(dir_.file(usb + "/1-2:1.0/" + name).c_str(),
                      dir_.file("sys/class/tty/" + name + "/device").c_str()),
              0);
  }

  // Runs btsetter with `args` inside the namespace.
  RunResult runInside(const std::string& args) {
    std::string script = "set -e\n";
    for (const auto& b : binds_) script += "mount --bind '" + b.first + "' '" + b.second + "'\n";
    script += "mount --bind '" + dir_.file("sys/class/tty") + "' /sys/class/tty\n";
    script += "mount --rbind '" + dir_.file("dev") + "' /dev\n";
    script += "exec '" + harness::btsetterPath() + "' " + args + "\n";
    return harness::run({"unshare", "-m", "--propagation", "private", "sh", "-c", script}, 90);
  }

  harness::TempDir dir_;
  std::vector<std::pair<std::string, std::string>> binds_;
};

TEST_F(FakeMachine, PicksTheUsbAdapterAndFindsItsRate) {
  harness::SimModule module;
  addUart("ttyS0", "PNP0501");
  addUart("ttyS1", "");
  addUsbAdapter("ttyUSB0", module.port());
  RunResult r = runInside("");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "No port given. Using /dev/ttyUSB0\n"
            "No baud rate given. Autodetecting... 9600\n"
            "Version: linvorV1.8\n");
  EXPECT_EQ(r.err, "");

  RunResult table = runInside("--detect-ports");
  EXPECT_EQ(table.status, 0);
  EXPECT_EQ(table.out,
            "Port\tDescription\tHardware\n"
            "====\t===========\t========\n"
            "/dev/ttyS0\tttyS0\tPNP0501\n"
            "/dev/ttyS1\tttyS1\tn/a\n"
            "/dev/ttyUSB0\tFTDI FT232R USB UART A50285BI\tUSB VID:PID=0403:6001 SNR=A50285BI\n");
}

TEST_F(FakeMachine, OnlyOnBoardUartsMeansNoPort) {
  addUart("ttyS0", "PNP0501");
  addUart("ttyS1", "");
  addUart("ttyAMA0", "");
  RunResult r = runInside("--set-name X");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Error: No serial ports found.\n");
}

TEST_F(FakeMachine, UsbNodeWithoutSysfsEntryQualifiesByName) {
  // ttyACM0 without sysfs entry is "ttyACM0"/"n/a" and does not qualify;
  // ttyUSB3's name holds "USB".
  harness::SimModule module;
  addNode("ttyACM0");
  addNode("ttyUSB3", module.port());
  RunResult r = runInside("-b 9600");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "No port given. Using /dev/ttyUSB3\nVersion: linvorV1.8\n");
}

TEST_F(FakeMachine, NoPortTableEntries) {
  RunResult r = runInside("--detect-ports");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Port\tDescription\tHardware\n====\t===========\t========\n");
}
