// The module dialogue and the default port choice, below the command line.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "default_port.h"
#include "harness.h"
#include "linvor.h"

TEST(Configurator, RepliesAreJudgedByTheirFirstTwoCharacters) {
  LinvorConf module("/nonexistent/ttyUSB0", 9600);
  for (const std::string& reply :
       std::vector<std::string>{"OK", "OKsetname", "OK\r\n", std::string("OK\0", 3)}) {
    EXPECT_NO_THROW(module.checkReply(reply)) << reply;
  }
  for (const std::string& reply :
       std::vector<std::string>{"", "O", "ok", "Ok", "ERROR", " OK", std::string("\0OK", 3)}) {
    try {
      module.checkReply(reply);
      ADD_FAILURE() << reply;
    } catch (const tunrigException& e) {
      EXPECT_STREQ(e.what(), ("Error: " + reply).c_str());
    }
  }
}

TEST(Configurator, RateWithoutCodeIsRefusedBeforeAnythingIsSent) {
  // The port does not exist: an attempt to open it would raise IOException.
  LinvorConf module("/nonexistent/ttyUSB0", 9600);
  for (uint32_t rate : {14400u, 0u, 300u, 1382401u}) {
    try {
      module.setBaud(rate);
      ADD_FAILURE() << rate;
    } catch (const tunrigException& e) {
      EXPECT_STREQ(e.what(), "Error: Incorrect baud value.");
    }
  }
}

TEST(Configurator, RateTablesAgree) {
  ASSERT_EQ(supportedBaudrates.size(), 12u);
  ASSERT_EQ(baudCodes.size(), 12u);
  const std::string codes = "123456789ABC";
  for (size_t i = 0; i < baudCodes.size(); ++i) {
    EXPECT_EQ(baudCodes[i].second, codes[i]);
    if (i > 0) {
      EXPECT_LT(baudCodes[i - 1].first, baudCodes[i].first);
    }
    EXPECT_NE(std::find(supportedBaudrates.begin(), supportedBaudrates.end(), baudCodes[i].first),
              supportedBaudrates.end());
  }
  EXPECT_EQ(supportedBaudrates.front(), 9600u);
  EXPECT_EQ(supportedBaudrates.back(), 1382400u);
}

TEST(Configurator, RaspberryPiUartsSettleLonger) {
  EXPECT_EQ(settleTime("/dev/ttyAMA0"), 1200);
  EXPECT_EQ(settleTime("/tmp/xAMAx"), 1200);
  EXPECT_EQ(settleTime("/dev/ttyama0"), 200);
  EXPECT_EQ(settleTime("/dev/ttyUSB0"), 200);
  EXPECT_EQ(settleTime(""), 200);
}

TEST(Configurator, VersionIsWhatFollowsOK) {
  struct Case {
    std::string reply, version;
  };
  const Case cases[] = {
      {"OKlinvorV1.8", "linvorV1.8"},
      {"OK", ""},
      {"OK linvor \r\n", " linvor \r\n"},
      {"hc01.comV2.0", "hc01.comV2.0"},
  };
  harness::PtyPair pty;
  LinvorConf module(pty.slavePath(), 9600);
  for (const Case& c : cases) {
    std::thread device([&] {
      if (pty.readMaster(5, 10) == "AT+VERSION") pty.writeMaster(c.reply);
    });
    std::string version = module.getVersion();
    device.join();
    EXPECT_EQ(version, c.version) << c.reply;
  }
}

TEST(DefaultPort, FirstPortMentioningUsbWins) {
  using serial::PortInfo;
  struct Case {
    std::vector<PortInfo> ports;
    std::string chosen;
  };
  const Case cases[] = {
      {{}, ""},
      {{{"/dev/ttyS0", "ttyS0", "n/a"}, {"/dev/ttyS1", "ttyS1", "PNP0501"}}, ""},
      {{{"/dev/ttyS0", "ttyS0", "n/a"},
        {"/dev/ttyUSB0", "FTDI FT232R USB UART A5", "USB VID:PID=0403:6001 SNR=A5"}},
       "/dev/ttyUSB0"},
      {{{"/dev/ttyACM0", "Arduino Uno", "USB VID:PID=2341:0043 "},
        {"/dev/ttyUSB0", "ttyUSB0", "n/a"}},
       "/dev/ttyACM0"},
      {{{"/dev/ttyACM0", "ttyACM0", "n/a"}, {"/dev/ttyUSB3", "ttyUSB3", "n/a"}}, "/dev/ttyUSB3"},
      {{{"COM1", "Communications Port (COM1)", "ACPI\\PNP0501"},
        {"COM4", "usb serial (COM4)", "usb\\vid_0403"},
        {"COM5", "Prolific", "USB\\VID_067B&PID_2303"}},
       "COM5"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(findDefaultPort(c.ports), c.chosen);
  }
}
