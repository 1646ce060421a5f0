// Linux port enumeration against fake /dev and /sys trees in a temporary
// directory: regular files stand in for device nodes, symlinks shaped like the
// kernel's lead from /sys/class/tty into /sys/devices.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "impl/list_ports_linux.h"
#include "serial/serial.h"

namespace serial {
bool operator==(const PortInfo& a, const PortInfo& b) {
  return a.port == b.port && a.description == b.description && a.hardwareId == b.hardwareId;
}
void PrintTo(const PortInfo& p, std::ostream* os) {
  *os << "{" << ::testing::PrintToString(p.port) << ", " << ::testing::PrintToString(p.description)
      << ", " << ::testing::PrintToString(p.hardwareId) << "}";
}
}  // namespace serial

namespace {

using serial::PortInfo;
namespace detail = serial::detail;
namespace fs = std::filesystem;

// One entry of a fake tree, its path relative to the root.
struct Entry {
  enum Kind { File, Dir, Link } kind;
  std::string path;
  std::string text;  // file contents or link target
};
using Tree = std::vector<Entry>;
using Attributes = std::vector<std::pair<std::string, std::string>>;  // file name, contents

template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A temporary directory, removed with everything below it.  `subdir` puts the
// fake root one level down, for roots with awkward names.
class FakeRoot {
 public:
  explicit FakeRoot(const std::string& subdir = "") {
    std::string templ = (fs::temp_directory_path() / "btsetter-enum-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    base_ = templ;
    root_ = subdir.empty() ? base_ : base_ + "/" + subdir;
    fs::create_directories(root_);
  }
  ~FakeRoot() {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }
  FakeRoot(const FakeRoot&) = delete;
  FakeRoot& operator=(const FakeRoot&) = delete;

  const std::string& path() const { return root_; }
  std::string operator/(const std::string& rel) const { return root_ + "/" + rel; }

  void build(const Tree& tree) const {
    for (const Entry& e : tree) {
      const fs::path p = *this / e.path;
      fs::create_directories(p.parent_path());
      switch (e.kind) {
        case Entry::File:
          std::ofstream(p, std::ios::binary) << e.text;
          break;
        case Entry::Dir:
          fs::create_directories(p);
          break;
        case Entry::Link:
          fs::create_symlink(e.text, p);
          break;
      }
    }
  }

 private:
  std::string base_;
  std::string root_;
};

// Tree builders in the kernel's shape.
Tree node(const std::string& name) { return {{Entry::File, "dev/" + name, ""}}; }

// /sys/class/tty/<name> -> the device's tty/<name>, whose `device` link leads
// back up to the device directory (the real sysfs uses these relative links).
Tree ttyEntry(const std::string& name, const std::string& deviceUnderSys) {
  const std::string ttyDir = "sys/devices/" + deviceUnderSys + "/tty/" + name;
  return {{Entry::Dir, ttyDir, ""},
          {Entry::Link, "sys/class/tty/" + name, "../../devices/" + deviceUnderSys + "/tty/" + name},
          {Entry::Link, ttyDir + "/device",
           "../../../" + fs::path(deviceUnderSys).filename().string()}};
}

Tree files(const std::string& dir, const Attributes& attributes) {
  Tree tree;
  for (const auto& [file, text] : attributes) tree.push_back({Entry::File, dir + "/" + file, text});
  return tree;
}

const std::string kUsbDevice = "pci0000:00/0000:00:14.0/usb1/1-2";
const std::string kAcmDevice = "pci0000:00/0000:00:14.0/usb1/1-3";

// ttyUSB: device -> .../1-2/1-2:1.0/ttyUSB0; attributes two levels up, in 1-2.
Tree usbAdapter(const std::string& name, const Attributes& attributes) {
  return node(name) + ttyEntry(name, kUsbDevice + "/1-2:1.0/" + name) +
         files("sys/devices/" + kUsbDevice, attributes);
}

// ttyACM: device -> .../1-3/1-3:1.0; attributes one level up, in 1-3.
Tree acmDevice(const std::string& name, const Attributes& attributes) {
  return node(name) + ttyEntry(name, kAcmDevice + "/1-3:1.0") +
         files("sys/devices/" + kAcmDevice, attributes);
}

// Any other tty: attributes in the device directory itself.
Tree otherTty(const std::string& name, const std::string& device, const Attributes& attributes) {
  return node(name) + ttyEntry(name, device) + files("sys/devices/" + device, attributes);
}

const Attributes kExample = {{"manufacturer", "M\n"}, {"product", "P\n"}, {"serial", "S1\n"},
                             {"idVendor", "V\n"},     {"idProduct", "D\n"}};

Attributes replaced(Attributes attributes, const std::string& file, const std::string& text) {
  for (auto& attribute : attributes)
    if (attribute.first == file) attribute.second = text;
  return attributes;
}

Attributes without(Attributes attributes, const std::vector<std::string>& removed) {
  Attributes kept;
  for (auto& attribute : attributes) {
    bool drop = false;
    for (const auto& r : removed) drop = drop || attribute.first == r;
    if (!drop) kept.push_back(std::move(attribute));
  }
  return kept;
}

const std::string kLong(300, 'x');

// --- One device node, one record ------------------------------------------

struct DeviceCase {
  const char* name;
  Tree tree;
  PortInfo expected;
};

void PrintTo(const DeviceCase& c, std::ostream* os) { *os << c.name; }

class DeviceRecord : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(DeviceRecord, ListedWithFieldsFromSysfs) {
  FakeRoot root;
  root.build(GetParam().tree);
  const std::vector<PortInfo> ports = detail::listPortsUnder(root.path());
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0], GetParam().expected);
}

const std::string kPlatformUart = "platform/serial8250";
const std::string kPnpUart = "pnp0/00:04";
const std::string kPiUart = "platform/soc/fe201000.serial";

INSTANTIATE_TEST_SUITE_P(
    Sysfs, DeviceRecord,
    ::testing::Values(
        DeviceCase{"UsbFull", usbAdapter("ttyUSB0", kExample),
                   {"/dev/ttyUSB0", "M P S1", "USB VID:PID=V:D SNR=S1"}},
        DeviceCase{"UsbRealistic",
                   usbAdapter("ttyUSB3", {{"manufacturer", "FTDI\n"},
                                          {"product", "FT232R USB UART\n"},
                                          {"serial", "A50285BI\n"},
                                          {"idVendor", "0403\n"},
                                          {"idProduct", "6001\n"}}),
                   {"/dev/ttyUSB3", "FTDI FT232R USB UART A50285BI",
                    "USB VID:PID=0403:6001 SNR=A50285BI"}},
        DeviceCase{"UsbWithoutSerialNumber", usbAdapter("ttyUSB0", without(kExample, {"serial"})),
                   {"/dev/ttyUSB0", "M P ", "USB VID:PID=V:D "}},
        DeviceCase{"UsbEmptySerialNumber", usbAdapter("ttyUSB0", replaced(kExample, "serial", "\n")),
                   {"/dev/ttyUSB0", "M P ", "USB VID:PID=V:D "}},
        DeviceCase{"UsbProductOnly",
                   usbAdapter("ttyUSB0", without(kExample, {"manufacturer", "serial"})),
                   {"/dev/ttyUSB0", " P ", "USB VID:PID=V:D "}},
        DeviceCase{"UsbSerialNumberOnly",
                   usbAdapter("ttyUSB0", without(kExample, {"manufacturer", "product"})),
                   {"/dev/ttyUSB0", "  S1", "USB VID:PID=V:D SNR=S1"}},
        DeviceCase{"UsbNoTextAttributes",
                   usbAdapter("ttyUSB0", without(kExample, {"manufacturer", "product", "serial"})),
                   {"/dev/ttyUSB0", "ttyUSB0", "USB VID:PID=V:D "}},
        DeviceCase{"UsbEmptyDeviceDirectory", usbAdapter("ttyUSB0", {}),
                   {"/dev/ttyUSB0", "ttyUSB0", "USB VID:PID=: "}},
        DeviceCase{"UsbNoSysfsEntry", node("ttyUSB0"), {"/dev/ttyUSB0", "ttyUSB0", "n/a"}},
        DeviceCase{"UsbDanglingDeviceLink",
                   node("ttyUSB1") + Tree{{Entry::Link, "sys/class/tty/ttyUSB1/device",
                                           "../../../devices/gone/ttyUSB1"}},
                   {"/dev/ttyUSB1", "ttyUSB1", "n/a"}},
        DeviceCase{"UsbIdFileIgnored",
                   usbAdapter("ttyUSB0", {{"idVendor", "V\n"}, {"idProduct", "D\n"}}) +
                       files("sys/devices/" + kUsbDevice + "/1-2:1.0/ttyUSB0", {{"id", "PNP0501\n"}}),
                   {"/dev/ttyUSB0", "ttyUSB0", "USB VID:PID=V:D "}},
        DeviceCase{"UsbCarriageReturnKept",
                   usbAdapter("ttyUSB0", replaced(replaced(kExample, "manufacturer", "M\r\n"),
                                                  "serial", "S1\r\n")),
                   {"/dev/ttyUSB0", "M\r P S1\r", "USB VID:PID=V:D SNR=S1\r"}},
        DeviceCase{"UsbOnlyFirstLineNothingTrimmed",
                   usbAdapter("ttyUSB0", replaced(replaced(kExample, "product", " P  \nsecond\n"),
                                                  "idVendor", "V")),
                   {"/dev/ttyUSB0", "M  P   S1", "USB VID:PID=V:D SNR=S1"}},
        DeviceCase{"UsbLongAttributes",
                   usbAdapter("ttyUSB0", replaced(replaced(kExample, "product", kLong + "\n"),
                                                  "serial", kLong + "\n")),
                   {"/dev/ttyUSB0", "M " + kLong + " " + kLong,
                    "USB VID:PID=V:D SNR=" + kLong}},
        DeviceCase{"AcmFull", acmDevice("ttyACM0", kExample),
                   {"/dev/ttyACM0", "M P S1", "USB VID:PID=V:D SNR=S1"}},
        DeviceCase{"AcmWithoutSerialNumber", acmDevice("ttyACM0", without(kExample, {"serial"})),
                   {"/dev/ttyACM0", "M P ", "USB VID:PID=V:D "}},
        DeviceCase{"AcmNoSysfsEntry", node("ttyACM0"), {"/dev/ttyACM0", "ttyACM0", "n/a"}},
        DeviceCase{"AcmDanglingDeviceLink",
                   node("ttyACM0") + Tree{{Entry::Link, "sys/class/tty/ttyACM0/device",
                                           "../../../devices/gone/1-3:1.0"}},
                   {"/dev/ttyACM0", "ttyACM0", "n/a"}},
        DeviceCase{"UartWithId", otherTty("ttyS0", kPnpUart, {{"id", "PNP0501\n"}}),
                   {"/dev/ttyS0", "ttyS0", "PNP0501"}},
        DeviceCase{"UartWithoutId", otherTty("ttyS1", kPlatformUart, {}),
                   {"/dev/ttyS1", "ttyS1", "n/a"}},
        DeviceCase{"UartIdFirstLineEmpty", otherTty("ttyS0", kPnpUart, {{"id", "\nPNP0501\n"}}),
                   {"/dev/ttyS0", "ttyS0", "n/a"}},
        DeviceCase{"UartIdEmptyFile", otherTty("ttyS0", kPnpUart, {{"id", ""}}),
                   {"/dev/ttyS0", "ttyS0", "n/a"}},
        DeviceCase{"UartIdIsDirectory",
                   otherTty("ttyS0", kPnpUart, {}) +
                       Tree{{Entry::Dir, "sys/devices/" + kPnpUart + "/id", ""}},
                   {"/dev/ttyS0", "ttyS0", "n/a"}},
        DeviceCase{"UartIdCarriageReturnKept",
                   otherTty("ttyS0", kPnpUart, {{"id", "PNP0501\r\n"}}),
                   {"/dev/ttyS0", "ttyS0", "PNP0501\r"}},
        DeviceCase{"UartLongId", otherTty("ttyS0", kPnpUart, {{"id", kLong}}),
                   {"/dev/ttyS0", "ttyS0", kLong}},
        DeviceCase{"UartNoSysfsEntry", node("ttyS4"), {"/dev/ttyS4", "ttyS4", "n/a"}},
        // USB-looking attributes beside and above a Pi UART are never read.
        DeviceCase{"AmaUsbFilesIgnored",
                   otherTty("ttyAMA0", kPiUart, kExample + Attributes{{"id", "BCM2711\n"}}) +
                       files("sys/devices/platform/soc", kExample) +
                       files("sys/devices/platform", kExample),
                   {"/dev/ttyAMA0", "ttyAMA0", "BCM2711"}},
        DeviceCase{"AmaWithoutId",
                   otherTty("ttyAMA1", kPiUart, kExample) + files("sys/devices/platform", kExample),
                   {"/dev/ttyAMA1", "ttyAMA1", "n/a"}},
        // Names matched by tty.* and cu.* do not begin with ttyUSB/ttyACM.
        DeviceCase{"DotTtyTreatedAsOther",
                   otherTty("tty.usbserial-A1", kUsbDevice + "/1-2:1.0/x", {{"id", "X1\n"}}) +
                       files("sys/devices/" + kUsbDevice, kExample),
                   {"/dev/tty.usbserial-A1", "tty.usbserial-A1", "X1"}},
        DeviceCase{"CuTreatedAsOther", otherTty("cu.usbmodem1", kAcmDevice + "/1-3:1.0", {}) +
                                           files("sys/devices/" + kAcmDevice, kExample),
                   {"/dev/cu.usbmodem1", "cu.usbmodem1", "n/a"}},
        // Only the first six characters decide the branch.
        DeviceCase{"UsbPrefixOnly", usbAdapter("ttyUSBserial7", kExample),
                   {"/dev/ttyUSBserial7", "M P S1", "USB VID:PID=V:D SNR=S1"}}),
    [](const ::testing::TestParamInfo<DeviceCase>& info) { return std::string(info.param.name); });

// --- Whole lists ----------------------------------------------------------

std::vector<std::string> portsOf(const std::vector<PortInfo>& ports) {
  std::vector<std::string> names;
  for (const auto& p : ports) names.push_back(p.port);
  return names;
}

TEST(ListPortsUnder, EmptyWhenNothingMatches) {
  FakeRoot noDev;
  EXPECT_TRUE(detail::listPortsUnder(noDev.path()).empty());

  FakeRoot otherNodes;
  otherNodes.build(node("tty0") + node("console") + node("ttys0") + node("ttyX0") +
                   node("cuX") + ttyEntry("ttyS9", kPnpUart));  // sysfs entry, no node
  EXPECT_TRUE(detail::listPortsUnder(otherNodes.path()).empty());
}

TEST(ListPortsUnder, PatternOrderThenByteOrder) {
  FakeRoot root;
  Tree tree;
  for (const char* name : {"ttyAMA0", "ttyUSB1", "cu.b", "ttyS2", "ttyACM1", "tty.x", "ttyS10",
                           "ttyUSB0", "cu.B", "ttyS1", "ttyACM0", "ttyS0", "tty0", "ttyS11"})
    tree = tree + node(name);
  root.build(tree);
  EXPECT_EQ(portsOf(detail::listPortsUnder(root.path())),
            (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyS0", "/dev/ttyS1",
                                      "/dev/ttyS10", "/dev/ttyS11", "/dev/ttyS2", "/dev/ttyUSB0",
                                      "/dev/ttyUSB1", "/dev/tty.x", "/dev/cu.B", "/dev/cu.b",
                                      "/dev/ttyAMA0"}));
}

TEST(ListPortsUnder, MixedKindsEachDescribed) {
  FakeRoot root;
  root.build(usbAdapter("ttyUSB0", kExample) + acmDevice("ttyACM0", without(kExample, {"serial"})) +
             otherTty("ttyS0", kPnpUart, {{"id", "PNP0501\n"}}) + otherTty("ttyS1", kPlatformUart, {}) +
             otherTty("ttyAMA0", kPiUart, {}));
  EXPECT_EQ(detail::listPortsUnder(root.path()),
            (std::vector<PortInfo>{{"/dev/ttyACM0", "M P ", "USB VID:PID=V:D "},
                                   {"/dev/ttyS0", "ttyS0", "PNP0501"},
                                   {"/dev/ttyS1", "ttyS1", "n/a"},
                                   {"/dev/ttyUSB0", "M P S1", "USB VID:PID=V:D SNR=S1"},
                                   {"/dev/ttyAMA0", "ttyAMA0", "n/a"}}));
}

TEST(ListPortsUnder, RootWithGlobCharactersIsTakenLiterally) {
  FakeRoot root("r[1]*?\\");
  root.build(usbAdapter("ttyUSB0", kExample) + node("ttyS0"));
  EXPECT_EQ(detail::listPortsUnder(root.path()),
            (std::vector<PortInfo>{{"/dev/ttyS0", "ttyS0", "n/a"},
                                   {"/dev/ttyUSB0", "M P S1", "USB VID:PID=V:D SNR=S1"}}));
}

// The real machine: only /dev is scanned and sysfs read; no device is opened.
TEST(ListPorts, RealSystemIsTheEmptyRoot) {
  const std::vector<PortInfo> ports = serial::listPorts();
  EXPECT_EQ(ports, detail::listPortsUnder(""));
  for (const auto& p : ports) {
    EXPECT_EQ(p.port.rfind("/dev/", 0), 0u) << p.port;
    EXPECT_FALSE(p.description.empty()) << p.port;
    EXPECT_FALSE(p.hardwareId.empty()) << p.port;
  }
}

TEST(ExpandDevicePatterns, EachPatternSortedAndAppendedWithoutMerging) {
  FakeRoot root;
  root.build(node("ttyS2") + node("ttyS10") + node("ttyS0") + node("ttyS1"));
  const std::string dev = root / "dev/";
  EXPECT_EQ(detail::expandDevicePatterns({dev + "none*", root / "missing/ttyS*", dev + "ttyS1*",
                                          dev + "ttyS*", dev + "none*"}),
            (std::vector<std::string>{dev + "ttyS1", dev + "ttyS10", dev + "ttyS0", dev + "ttyS1",
                                      dev + "ttyS10", dev + "ttyS2"}));
  EXPECT_TRUE(detail::expandDevicePatterns({}).empty());
}

TEST(DevicePatterns, FixedListInOrder) {
  EXPECT_EQ(detail::devicePatterns,
            (std::vector<std::string>{"/dev/ttyACM*", "/dev/ttyS*", "/dev/ttyUSB*", "/dev/tty.*",
                                      "/dev/cu.*", "/dev/ttyAMA*"}));
}

// --- Helpers --------------------------------------------------------------

struct PathCase {
  std::string path, parent, last;
};

TEST(PathHelpers, ParentAndLastComponent) {
  const std::vector<PathCase> cases = {
      {"", "", ""},           {"/", "/", ""},         {"/a", "/", "a"},
      {"a", "a", "a"},        {"a/b/c", "a/b", "c"},  {"a/b/", "a/b", ""},
      {"//a", "/", "a"},      {"/sys/class/tty/ttyS0/device", "/sys/class/tty/ttyS0", "device"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(detail::parentPath(c.path), c.parent) << '"' << c.path << '"';
    EXPECT_EQ(detail::lastPathComponent(c.path), c.last) << '"' << c.path << '"';
  }
}

TEST(FormatText, AnyLength) {
  for (size_t length : {0u, 1u, 255u, 256u, 257u, 511u, 512u, 6000u}) {
    const std::string text(length, 'a');
    EXPECT_EQ(detail::formatText("%s", text.c_str()), text) << length;
  }
  EXPECT_EQ(detail::formatText("%s/%d:%c", "a", 42, 'z'), "a/42:z");
  EXPECT_EQ(detail::formatText("%5000d|", 7), std::string(4999, ' ') + "7|");
  const std::string part(2000, 'p');
  EXPECT_EQ(detail::formatText("[%s][%s][%s]", part.c_str(), part.c_str(), part.c_str()),
            "[" + part + "][" + part + "][" + part + "]");
}

TEST(FormatText, EmptyWhenFormattingFails) {
  // A wide character the C locale cannot encode makes vsnprintf fail.
  if (std::snprintf(nullptr, 0, "%ls", L"\u20ac") >= 0)
    GTEST_SKIP() << "this C library encodes U+20AC in the C locale; no failing conversion";
  EXPECT_EQ(detail::formatText("x%lsy", L"\u20ac"), "");
}

TEST(ReadFirstLine, FirstLineAsStored) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"abc\n", "abc"},          {"abc", "abc"},         {"abc\r\n", "abc\r"},
      {" a b \t\n", " a b \t"},  {"one\ntwo\n", "one"},  {"\nsecond\n", ""},
      {"", ""},                  {kLong + "\n", kLong},
  };
  FakeRoot root;
  for (const auto& [contents, expected] : cases) {
    root.build({{Entry::File, "attr", contents}});
    EXPECT_EQ(detail::readFirstLine(root / "attr"), expected)
        << ::testing::PrintToString(contents);
  }
  root.build({{Entry::Dir, "dir", ""}});
  EXPECT_EQ(detail::readFirstLine(root / "dir"), "");
  EXPECT_EQ(detail::readFirstLine(root / "missing"), "");
}

TEST(ReadFirstLine, UnreadableFileGivesEmptyText) {
  if (geteuid() == 0) GTEST_SKIP() << "running as root: permission bits do not stop reading";
  FakeRoot root;
  root.build({{Entry::File, "secret", "hidden\n"}});
  ASSERT_EQ(chmod((root / "secret").c_str(), 0), 0);
  EXPECT_EQ(detail::readFirstLine(root / "secret"), "");
}

TEST(ResolveAndExists, LinksFollowed) {
  FakeRoot root;
  root.build({{Entry::Dir, "a/b", ""},
              {Entry::File, "a/f", "x"},
              {Entry::Link, "l/link", "../a/b"},
              {Entry::Link, "l/dangling", "../nowhere"}});
  const std::string canonical = fs::canonical(root / "a/b").string();

  EXPECT_EQ(detail::resolvePath(root / "l/link"), canonical);
  EXPECT_EQ(detail::resolvePath(root / "l/link/../b/."), canonical);
  EXPECT_EQ(detail::resolvePath(root / "l/dangling"), "");
  EXPECT_EQ(detail::resolvePath(root / "missing"), "");
  EXPECT_EQ(detail::resolvePath(""), "");

  EXPECT_TRUE(detail::pathExists(root / "a/b"));
  EXPECT_TRUE(detail::pathExists(root / "a/f"));
  EXPECT_TRUE(detail::pathExists(root / "l/link"));
  EXPECT_FALSE(detail::pathExists(root / "l/dangling"));
  EXPECT_FALSE(detail::pathExists(root / "missing"));
  EXPECT_FALSE(detail::pathExists(""));
}

}  // namespace
