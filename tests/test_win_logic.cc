// The Windows back end's and port list's plain rules, run natively: DCB and
// COMMTIMEOUTS mapping, port-name conversions, failure texts, and the
// SetupAPI enumeration against a scripted device set.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "win_logic.h"

namespace {

using serial::ByteSize;
using serial::FlowControl;
using serial::Parity;
using serial::PortInfo;
using serial::StopBits;
using serial::Timeout;
using namespace serial::detail;

// What a driver might hand back from GetCommState: nothing at its default.
constexpr DcbFields kDriverDcb{19200, 7, 2, 2, true, true, true, false, 1};

constexpr LineSettings kDefaults{9600, ByteSize::Eight, Parity::None, StopBits::One,
                                 FlowControl::None};

DcbFields applied(const LineSettings& settings, DcbFields dcb = kDriverDcb) {
  applyLineSettings(dcb, settings);
  return dcb;
}

bool sameDcb(const DcbFields& a, const DcbFields& b) {
  return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
         a.StopBits == b.StopBits && a.fParity == b.fParity && a.fOutxCtsFlow == b.fOutxCtsFlow &&
         a.fOutX == b.fOutX && a.fInX == b.fInX && a.fRtsControl == b.fRtsControl;
}

template <class E>
E bad(int value) {
  return static_cast<E>(value);
}

TEST(DcbMapping, BaudRatePassesUnchanged) {
  for (uint32_t rate : {110u, 9600u, 256000u, 1382400u, 12345u, 0u, 4294967295u}) {
    LineSettings s = kDefaults;
    s.baudrate = rate;
    EXPECT_EQ(applied(s).BaudRate, rate);
  }
}

TEST(DcbMapping, ByteSizes) {
  const std::pair<ByteSize, uint8_t> cases[] = {
      {ByteSize::Five, 5}, {ByteSize::Six, 6}, {ByteSize::Seven, 7}, {ByteSize::Eight, 8}};
  for (const auto& [size, member] : cases) {
    LineSettings s = kDefaults;
    s.bytesize = size;
    EXPECT_EQ(applied(s).ByteSize, member) << static_cast<int>(size);
  }
}

TEST(DcbMapping, StopBits) {
  const std::pair<StopBits, uint8_t> cases[] = {
      {StopBits::One, 0}, {StopBits::OnePointFive, 1}, {StopBits::Two, 2}};
  for (const auto& [bits, member] : cases) {
    LineSettings s = kDefaults;
    s.stopbits = bits;
    EXPECT_EQ(applied(s).StopBits, member) << static_cast<int>(bits);
  }
}

TEST(DcbMapping, ParityLeavesParityCheckingAsTheDriverHadIt) {
  const std::pair<Parity, uint8_t> cases[] = {{Parity::None, 0},
                                              {Parity::Odd, 1},
                                              {Parity::Even, 2},
                                              {Parity::Mark, 3},
                                              {Parity::Space, 4}};
  for (bool driverCheck : {false, true}) {
    DcbFields driver = kDriverDcb;
    driver.fParity = driverCheck;
    for (const auto& [parity, member] : cases) {
      LineSettings s = kDefaults;
      s.parity = parity;
      const DcbFields dcb = applied(s, driver);
      EXPECT_EQ(dcb.Parity, member) << static_cast<int>(parity);
      EXPECT_EQ(dcb.fParity, driverCheck) << static_cast<int>(parity);
    }
  }
}

TEST(DcbMapping, FlowControlTable) {
  struct Case {
    FlowControl flow;
    bool cts, outX, inX;
    uint8_t rts;
  };
  const Case cases[] = {
      {FlowControl::None, false, false, false, kRtsControlDisable},
      {FlowControl::Software, false, true, true, kRtsControlDisable},
      {FlowControl::Hardware, true, false, false, kRtsControlHandshake},
  };
  for (const Case& c : cases) {
    LineSettings s = kDefaults;
    s.flowcontrol = c.flow;
    const DcbFields dcb = applied(s);
    EXPECT_EQ(dcb.fOutxCtsFlow, c.cts) << static_cast<int>(c.flow);
    EXPECT_EQ(dcb.fOutX, c.outX) << static_cast<int>(c.flow);
    EXPECT_EQ(dcb.fInX, c.inX) << static_cast<int>(c.flow);
    EXPECT_EQ(dcb.fRtsControl, c.rts) << static_cast<int>(c.flow);
  }
  // RTS_CONTROL_HANDSHAKE, not RTS_CONTROL_TOGGLE (3).
  EXPECT_EQ(kRtsControlHandshake, 2);
}

TEST(DcbMapping, UnknownFlowControlKeepsTheDriversMembers) {
  for (int value : {3, 7, -1}) {
    LineSettings s = kDefaults;
    s.flowcontrol = bad<FlowControl>(value);
    DcbFields expected = kDriverDcb;
    expected.BaudRate = 9600;
    expected.ByteSize = 8;
    expected.Parity = 0;
    expected.StopBits = 0;
    EXPECT_TRUE(sameDcb(applied(s), expected)) << value;
  }
}

TEST(DcbMapping, InvalidValuesAreCheckedInOrderAndChangeNothing) {
  struct Case {
    int bytesize, stopbits, parity, flow;
    const char* text;
  };
  const Case cases[] = {
      {4, 1, 0, 0, "invalid char len"},
      {9, 1, 0, 0, "invalid char len"},
      {0, 0, 9, 9, "invalid char len"},  // byte size first
      {8, 0, 0, 0, "invalid stop bit"},
      {8, 4, 9, 0, "invalid stop bit"},  // stop bits before parity
      {8, 1, 5, 0, "invalid parity"},
      {8, 1, -1, 9, "invalid parity"},   // an unknown flow control is no error
  };
  for (const Case& c : cases) {
    const LineSettings s{115200, bad<ByteSize>(c.bytesize), bad<Parity>(c.parity),
                         bad<StopBits>(c.stopbits), bad<FlowControl>(c.flow)};
    DcbFields dcb = kDriverDcb;
    try {
      applyLineSettings(dcb, s);
      ADD_FAILURE() << "no exception for " << c.text;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.text);
    }
    EXPECT_TRUE(sameDcb(dcb, kDriverDcb)) << c.text;
  }
}

TEST(CommTimeoutsMapping, FieldsLandInTheirMembers) {
  struct Case {
    Timeout timeout;
    CommTimeouts expected;
  };
  const Case cases[] = {
      // The configurator's one second for every read and write.
      {Timeout(Timeout::unlimited, 1000, 0, 1000, 0), {4294967295u, 0, 1000, 0, 1000}},
      {Timeout(1, 2, 3, 4, 5), {1, 3, 2, 5, 4}},
      {Timeout(), {0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const CommTimeouts t = toCommTimeouts(c.timeout);
    EXPECT_EQ(t.ReadIntervalTimeout, c.expected.ReadIntervalTimeout);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, c.expected.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, c.expected.ReadTotalTimeoutConstant);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, c.expected.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, c.expected.WriteTotalTimeoutConstant);
  }
}

std::vector<uint32_t> units(const std::wstring& wide) {
  return std::vector<uint32_t>(wide.begin(), wide.end());
}

TEST(PortNames, WideningSignExtendsEachByte) {
  struct Case {
    std::string narrow;
    std::vector<uint32_t> wide;
  };
  const Case cases[] = {
      {"", {}},
      {"\\\\.\\COM3", {'\\', '\\', '.', '\\', 'C', 'O', 'M', '3'}},
      {"\x7f", {0x7F}},
      {"\x80", {0xFF80}},
      {"\xff", {0xFFFF}},
      {"C\xe9\x01", {'C', 0xFFE9, 0x01}},
  };
  for (const Case& c : cases) EXPECT_EQ(units(widenPortName(c.narrow)), c.wide) << c.narrow;
}

TEST(PortNames, NarrowingKeepsTheLowByte) {
  const std::wstring wide{static_cast<wchar_t>(0x0041), static_cast<wchar_t>(0xFF80),
                          static_cast<wchar_t>(0x0141), static_cast<wchar_t>(0x00E9)};
  EXPECT_EQ(narrowPortName(wide), std::string("A\x80" "A\xe9"));
}

TEST(PortNames, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(narrowPortName(widenPortName(all)), all);
}

TEST(FailureTexts, FixedTexts) {
  const std::pair<Failure, const char*> cases[] = {
      {Failure::EmptyPort, "Empty port is invalid."},
      {Failure::AlreadyOpen, "Serial port already open."},
      {Failure::InvalidHandle, "Invalid file descriptor, is the serial port open?"},
      {Failure::GetState, "Error getting the serial port state."},
      {Failure::SetState, "Error setting serial port settings."},
      {Failure::SetTimeouts, "Error setting timeouts."},
      {Failure::WaitReadable, "waitReadable is not implemented on Windows."},
      {Failure::WaitByteTimes, "waitByteTimes is not implemented on Windows."},
      {Failure::FlushInput, "flushInput is not supported on Windows."},
      {Failure::FlushOutput, "flushOutput is not supported on Windows."},
      {Failure::SendBreak, "sendBreak is not supported on Windows."},
      {Failure::ClaimReadMutex, "Error claiming read mutex."},
      {Failure::ReleaseReadMutex, "Error releasing read mutex."},
      {Failure::ClaimWriteMutex, "Error claiming write mutex."},
      {Failure::ReleaseWriteMutex, "Error releasing write mutex."},
  };
  for (const auto& [failure, text] : cases) EXPECT_EQ(failureText(failure), text);
}

TEST(FailureTexts, ErrorCodeFollowsInDecimal) {
  const std::tuple<Failure, uint32_t, const char*> cases[] = {
      {Failure::OpenUnknown, 5, "Unknown error opening the serial port: 5"},
      {Failure::OpenUnknown, 3, "Unknown error opening the serial port: 3"},
      {Failure::Close, 6, "Error while closing serial port: 6"},
      {Failure::Available, 1117, "Error while checking status of the serial port: 1117"},
      {Failure::Read, 995, "Error while reading from the serial port: 995"},
      {Failure::Write, 4294967295u, "Error while writing to the serial port: 4294967295"},
      {Failure::CreateReadMutex, 8, "Error creating the read mutex: 8"},
      {Failure::CreateWriteMutex, 0, "Error creating the write mutex: 0"},
  };
  for (const auto& [failure, code, text] : cases) EXPECT_EQ(failureText(failure, code), text);
}

TEST(FailureTexts, MissingPortNamesTheNarrowedPath) {
  EXPECT_EQ(portDoesNotExistText(widenPortName("\\\\.\\COM42")),
            "Specified port, \\\\.\\COM42, does not exist.");
  EXPECT_EQ(portDoesNotExistText(widenPortName("\\\\.\\C\xd6M1")),
            "Specified port, \\\\.\\C\xd6M1, does not exist.");
}

TEST(ModemLines, BitsAndTexts) {
  const std::tuple<ModemLine, uint32_t, const char*> cases[] = {
      {ModemLine::CTS, 0x10, "Error getting the status of the CTS line."},
      {ModemLine::DSR, 0x20, "Error getting the status of the DSR line."},
      {ModemLine::RI, 0x40, "Error getting the status of the RI line."},
      {ModemLine::CD, 0x80, "Error getting the status of the CD line."},
  };
  for (const auto& [line, bit, text] : cases) {
    EXPECT_EQ(modemStatusBit(line), bit);
    EXPECT_EQ(modemLineFailureText(line), text);
  }
}

TEST(OutputLines, EscapeFunctions) {
  const std::tuple<OutputLine, bool, uint32_t> cases[] = {
      {OutputLine::Break, true, 8}, {OutputLine::Break, false, 9},
      {OutputLine::RTS, true, 3},   {OutputLine::RTS, false, 4},
      {OutputLine::DTR, true, 5},   {OutputLine::DTR, false, 6},
  };
  for (const auto& [line, level, code] : cases) EXPECT_EQ(escapeFunction(line, level), code);
}

// --- Enumeration --------------------------------------------------------------

// Raw registry and property bytes of one device, as SetupAPI would return
// them; nullopt means the value or property is missing.
struct FakeDevice {
  std::optional<std::string> portName;
  std::optional<std::string> friendlyName;
  std::optional<std::string> hardwareId;
};

constexpr long kErrorMoreData = 234;

// Behaves like the SetupAPI and registry calls: values that do not fit fail
// and report the size they need.
class FakeDevices : public DeviceSource {
 public:
  explicit FakeDevices(std::vector<FakeDevice> devices) : devices_(std::move(devices)) {}

  bool selectDevice(uint32_t index) override {
    if (index >= devices_.size()) return false;
    current_ = &devices_[index];
    return true;
  }

  long queryPortName(char* buffer, uint32_t& size) override {
    capacities.push_back(size);
    if (!current_->portName) return static_cast<long>(kErrorFileNotFound);
    const std::string& value = *current_->portName;
    if (value.size() > size) {
      size = static_cast<uint32_t>(value.size());
      return kErrorMoreData;
    }
    std::memcpy(buffer, value.data(), value.size());
    size = static_cast<uint32_t>(value.size());
    return 0;
  }

  bool getProperty(DeviceProperty property, char* buffer, uint32_t capacity,
                   uint32_t& required) override {
    capacities.push_back(capacity);
    const std::optional<std::string>& value =
        property == DeviceProperty::FriendlyName ? current_->friendlyName : current_->hardwareId;
    if (!value) return false;
    required = static_cast<uint32_t>(value->size());
    if (value->size() > capacity) return false;
    std::memcpy(buffer, value->data(), value->size());
    return true;
  }

  std::vector<uint32_t> capacities;

 private:
  std::vector<FakeDevice> devices_;
  FakeDevice* current_ = nullptr;
};

// A registry string stored with its terminating zero.
std::string sz(const std::string& text) { return text + '\0'; }

// A list of strings: each zero-terminated, one more zero at the end.
std::string multiSz(const std::vector<std::string>& entries) {
  std::string out;
  for (const std::string& e : entries) out += sz(e);
  return out + '\0';
}

std::vector<PortInfo> enumerate(std::vector<FakeDevice> devices) {
  FakeDevices fake(std::move(devices));
  return enumeratePorts(fake);
}

const std::string kFriendly = sz("USB Serial Port (COM3)");
const std::string kHardwareId = multiSz({"FTDIBUS\\VID_0403+PID_6001+A50285BIA"});

TEST(Enumeration, OneDeviceAtATime) {
  struct Case {
    const char* name;
    FakeDevice device;
    std::optional<PortInfo> expected;  // nullopt: left out
  };
  const std::string longText(299, 'x');
  const std::string fits(255, 'y');
  const Case cases[] = {
      {"usb adapter", {sz("COM3"), kFriendly, kHardwareId},
       PortInfo{"COM3", "USB Serial Port (COM3)", "FTDIBUS\\VID_0403+PID_6001+A50285BIA"}},
      {"parallel port", {sz("LPT1"), sz("Printer Port (LPT1)"), multiSz({"ACPI\\PNP0401"})},
       std::nullopt},
      {"LPT inside the name", {sz("XLPT2"), kFriendly, kHardwareId}, std::nullopt},
      {"lower-case lpt", {sz("lpt3"), kFriendly, kHardwareId},
       PortInfo{"lpt3", "USB Serial Port (COM3)", "FTDIBUS\\VID_0403+PID_6001+A50285BIA"}},
      {"mixed-case Lpt", {sz("Lpt4"), std::nullopt, std::nullopt}, PortInfo{"Lpt4", "", ""}},
      {"no friendly name", {sz("COM1"), std::nullopt, multiSz({"ACPI\\PNP0501"})},
       PortInfo{"COM1", "", "ACPI\\PNP0501"}},
      {"no hardware id", {sz("COM1"), sz("Communications Port (COM1)"), std::nullopt},
       PortInfo{"COM1", "Communications Port (COM1)", ""}},
      {"several hardware ids",
       {sz("COM5"), kFriendly, multiSz({"USB\\VID_10C4&PID_EA60&REV_0100", "USB\\VID_10C4&PID_EA60"})},
       PortInfo{"COM5", "USB Serial Port (COM3)", "USB\\VID_10C4&PID_EA60&REV_0100"}},
      {"zero-length PortName", {std::string(), kFriendly, kHardwareId},
       PortInfo{"", "USB Serial Port (COM3)", "FTDIBUS\\VID_0403+PID_6001+A50285BIA"}},
      {"no PortName", {std::nullopt, kFriendly, kHardwareId}, std::nullopt},
      {"PortName too long", {sz(longText), kFriendly, kHardwareId}, std::nullopt},
      {"PortName filling the buffer", {sz(fits), std::nullopt, std::nullopt},
       PortInfo{fits, "", ""}},
      {"PortName of 256 bytes without zero", {fits + "z", std::nullopt, std::nullopt},
       PortInfo{fits, "", ""}},
      {"PortName without zero", {std::string("COM7"), kFriendly, kHardwareId},
       PortInfo{"COM", "USB Serial Port (COM3)", "FTDIBUS\\VID_0403+PID_6001+A50285BIA"}},
      {"friendly name too long", {sz("COM8"), sz(longText), kHardwareId},
       PortInfo{"COM8", "", "FTDIBUS\\VID_0403+PID_6001+A50285BIA"}},
      {"friendly name filling the buffer", {sz("COM8"), sz(fits), std::nullopt},
       PortInfo{"COM8", fits, ""}},
      {"friendly name without zero", {sz("COM8"), std::string("Port"), std::nullopt},
       PortInfo{"COM8", "Por", ""}},
      {"hardware ids too long", {sz("COM9"), kFriendly, multiSz({longText, "B"})},
       PortInfo{"COM9", "USB Serial Port (COM3)", ""}},
      {"empty friendly name", {sz("COM9"), std::string(), std::nullopt}, PortInfo{"COM9", "", ""}},
  };
  for (const Case& c : cases) {
    const std::vector<PortInfo> ports = enumerate({c.device});
    if (!c.expected) {
      EXPECT_TRUE(ports.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(ports.size(), 1u) << c.name;
    EXPECT_EQ(ports[0].port, c.expected->port) << c.name;
    EXPECT_EQ(ports[0].description, c.expected->description) << c.name;
    EXPECT_EQ(ports[0].hardwareId, c.expected->hardwareId) << c.name;
  }
}

TEST(Enumeration, EmptySetGivesEmptyList) { EXPECT_TRUE(enumerate({}).empty()); }

TEST(Enumeration, KeepsIndexOrderAndDuplicatesAndNothingCarriesOver) {
  const std::vector<PortInfo> ports = enumerate({
      {sz("COM4"), sz("First (COM4)"), multiSz({"USB\\VID_1A86&PID_7523"})},
      {sz("LPT1"), sz("Printer Port (LPT1)"), std::nullopt},
      {sz("COM2"), std::nullopt, std::nullopt},
      {std::nullopt, sz("Broken"), std::nullopt},
      {sz("COM4"), sz("First (COM4)"), multiSz({"USB\\VID_1A86&PID_7523"})},
  });
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports[0].port, "COM4");
  EXPECT_EQ(ports[0].description, "First (COM4)");
  EXPECT_EQ(ports[0].hardwareId, "USB\\VID_1A86&PID_7523");
  EXPECT_EQ(ports[1].port, "COM2");
  EXPECT_EQ(ports[1].description, "");
  EXPECT_EQ(ports[1].hardwareId, "");
  EXPECT_EQ(ports[2].port, "COM4");
  EXPECT_EQ(ports[2].description, "First (COM4)");
}

TEST(Enumeration, EveryBufferHolds256Bytes) {
  FakeDevices fake({{sz("COM3"), kFriendly, kHardwareId}});
  enumeratePorts(fake);
  EXPECT_EQ(fake.capacities, (std::vector<uint32_t>{256, 256, 256}));
}

}  // namespace
