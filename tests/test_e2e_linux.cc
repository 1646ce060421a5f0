// The real btsetter against the simulated module on a pseudo-terminal:
// exact output, status and what reached the module.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using harness::RunResult;
using harness::SimModule;
using harness::TranscriptLine;

namespace {

// A generous bound: the longest run (a silent module probed at every rate)
// takes about 15 s.
constexpr double kRunLimit = 90;

RunResult btsetter(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {harness::btsetterPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return harness::run(argv, kRunLimit);
}

std::vector<std::string> commands(const std::vector<TranscriptLine>& transcript) {
  std::vector<std::string> out;
  for (const TranscriptLine& line : transcript) out.push_back(line.command);
  return out;
}

std::vector<unsigned long> speeds(const std::vector<TranscriptLine>& transcript) {
  std::vector<unsigned long> out;
  for (const TranscriptLine& line : transcript) out.push_back(line.speed);
  return out;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// "error: " + an IOException of the POSIX back end, whatever its line.
void expectBackEndError(const std::string& err, const std::string& head) {
  EXPECT_EQ(err.rfind("error: " + head + ", file ", 0), 0u) << err;
  EXPECT_NE(err.find("serial/src/impl/unix.cc, line "), std::string::npos) << err;
  EXPECT_EQ(err.substr(err.size() - 2), ".\n") << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

// Watches a file for any open, so a test can tell the port was never touched.
class OpenWatch {
 public:
  explicit OpenWatch(const std::string& path) {
    fd_ = inotify_init1(IN_NONBLOCK);
    inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_ACCESS | IN_MODIFY);
  }
  ~OpenWatch() { ::close(fd_); }
  bool touched() const {
    char buf[4096];
    return ::read(fd_, buf, sizeof buf) > 0;
  }

 private:
  int fd_;
};

}  // namespace

TEST(EndToEnd, VersionWithPortAndBaud) {
  SimModule module({"--version", "linvorV1.5"});
  RunResult r = btsetter({"-p", module.port(), "-b", "9600"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Version: linvorV1.5\n");
  EXPECT_EQ(r.err, "");
  auto t = module.waitTranscript(1);
  EXPECT_EQ(commands(t), (std::vector<std::string>{"AT+VERSION"}));
  EXPECT_EQ(speeds(t), (std::vector<unsigned long>{9600}));
}

TEST(EndToEnd, ChangesGoInFixedOrderWhateverTheCommandLine) {
  SimModule module;
  RunResult r = btsetter({"--set-baud", "19200", "--set-pin", "4321", "--set-name", "Bench 7",
                          "--port", module.port(), "--baud", "9600"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Version: linvorV1.8\n"
            "Setting name... done.\n"
            "Setting PIN... done.\n"
            "Setting baud rate... done.\n");
  EXPECT_EQ(r.err, "");
  auto t = module.waitTranscript(4);
  EXPECT_EQ(commands(t), (std::vector<std::string>{"AT+VERSION", "AT+NAMEBench 7", "AT+PIN4321",
                                                   "AT+BAUD5"}));
  EXPECT_EQ(speeds(t), (std::vector<unsigned long>{9600, 9600, 9600, 9600}));
  for (const TranscriptLine& line : t) ASSERT_TRUE(line.reply) << line.command;
  EXPECT_EQ(*t[3].reply, "OK19200");
}

TEST(EndToEnd, TwentyByteNameGoesOutExactly) {
  SimModule module;
  const std::string name = "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"
                           "\xc3\xa9\xc3\xa9";  // ten two-byte characters
  RunResult r = btsetter({"-p", module.port(), "-b", "9600", "--set-name", name});
  EXPECT_EQ(r.status, 0) << r.err;
  auto t = module.waitTranscript(2);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[1].command, "AT+NAME" + name);
}

TEST(EndToEnd, RefusedChangeStopsTheRun) {
  SimModule module({"--refuse"});
  RunResult r = btsetter({"-p", module.port(), "-b", "9600", "--set-name", "X", "--set-pin",
                          "1111", "--set-baud", "9600"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Version: linvorV1.8\nSetting name... ");
  EXPECT_EQ(r.err, "Error: ERROR\n");
  auto t = module.waitTranscript(2);
  EXPECT_EQ(commands(t), (std::vector<std::string>{"AT+VERSION", "AT+NAMEX"}));
}

TEST(EndToEnd, SilentModuleHasAnEmptyVersion) {
  SimModule module({"--silent"});
  RunResult r = btsetter({"-p", module.port(), "-b", "9600"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Version: \n");
  EXPECT_EQ(r.err, "");
}

TEST(EndToEnd, SilentModuleRefusesAChange) {
  SimModule module({"--silent"});
  RunResult r = btsetter({"-p", module.port(), "-b", "9600", "--set-name", "N"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Version: \nSetting name... ");
  EXPECT_EQ(r.err, "Error: \n");
}

TEST(EndToEnd, AutodetectionFindsTheEighthRate) {
  SimModule module({"--baud", "1200"});
  RunResult r = btsetter({"-p", module.port()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "No baud rate given. Autodetecting... 1200\nVersion: linvorV1.8\n");
  EXPECT_EQ(r.err, "");
  auto t = module.waitTranscript(9);
  EXPECT_EQ(commands(t), (std::vector<std::string>{"AT", "AT", "AT", "AT", "AT", "AT", "AT", "AT",
                                                   "AT+VERSION"}));
  EXPECT_EQ(speeds(t), (std::vector<unsigned long>{9600, 115200, 19200, 57600, 38400, 4800, 2400,
                                                   1200, 1200}));
  for (size_t i = 0; i < 7; ++i) EXPECT_FALSE(t[i].reply) << i;
  EXPECT_EQ(t[7].reply.value_or("-"), "OK");
}

TEST(EndToEnd, AutodetectionOfASilentModuleEndsAtTheCustomRate) {
  // The probe tries eleven standard rates; the twelfth, 1382400, needs the
  // serial driver's custom divisor, which a pty does not have.
  SimModule module({"--silent"});
  RunResult r = btsetter({"-p", module.port()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "No baud rate given. Autodetecting... ");
  expectBackEndError(r.err, "IO Exception (25): Inappropriate ioctl for device");
  auto t = module.waitTranscript(11);
  EXPECT_EQ(commands(t), std::vector<std::string>(11, "AT"));
  EXPECT_EQ(speeds(t), (std::vector<unsigned long>{9600, 115200, 19200, 57600, 38400, 4800, 2400,
                                                   1200, 230400, 460800, 921600}));
}

TEST(EndToEnd, MissingPort) {
  RunResult r = btsetter({"-p", "/nonexistent/ttyUSB0", "-b", "9600"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  expectBackEndError(r.err, "IO Exception (2): No such file or directory");
}

TEST(EndToEnd, MissingPortDuringAutodetection) {
  RunResult r = btsetter({"-p", "/nonexistent/ttyUSB0"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "No baud rate given. Autodetecting... ");
  expectBackEndError(r.err, "IO Exception (2): No such file or directory");
}

TEST(EndToEnd, OnBoardUartsOfARaspberryPiSettleLonger) {
  // Between two probe commands lie the settle time, 100 ms and a 1 s read.
  struct Case {
    const char* link;
    long minGapMs, maxGapMs;
  };
  for (Case c : {Case{"ttyAMA0", 2250, 4000}, Case{"ttyUSB0", 1250, 1850}}) {
    harness::TempDir dir;
    const std::string link = dir.file(c.link);
    SimModule module({"--baud", "115200", "--link", link});
    RunResult r = btsetter({"-p", link});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "No baud rate given. Autodetecting... 115200\nVersion: linvorV1.8\n");
    auto t = module.waitTranscript(3);
    ASSERT_EQ(commands(t), (std::vector<std::string>{"AT", "AT", "AT+VERSION"})) << c.link;
    long gap = static_cast<long>(t[1].ms - t[0].ms);
    EXPECT_GE(gap, c.minGapMs) << c.link;
    EXPECT_LE(gap, c.maxGapMs) << c.link;
  }
}

TEST(EndToEnd, RefusedRatesNeverTouchThePort) {
  harness::TempDir dir;
  const std::string port = dir.file("ttyUSB0");
  std::ofstream(port) << "untouched";
  OpenWatch watch(port);
  const std::vector<std::vector<std::string>> cases = {
      {"-p", port, "--baud", "0"},
      {"-p", port, "--baud", "14400"},
      {"-p", port, "-b", "9600", "--set-baud", "300"},
  };
  for (const auto& args : cases) {
    RunResult r = btsetter(args);
    EXPECT_EQ(r.status, 1) << args.back();
    EXPECT_EQ(r.out, "") << args.back();
    EXPECT_EQ(r.err.rfind("PARSE ERROR: Argument: ", 0), 0u) << r.err;
  }
  EXPECT_FALSE(watch.touched());
}

TEST(EndToEnd, ModuleHangingUpMidSession) {
  SimModule module({"--hangup-after", "1"});
  RunResult r = btsetter({"-p", module.port(), "-b", "9600", "--set-name", "X"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "Version: linvorV1.8\nSetting name... ");
  // A hung-up pty reports readiness; asking how much is waiting then fails.
  expectBackEndError(r.err, "IO Exception (5): Input/output error");
}

TEST(EndToEnd, ModuleHangingUpMidReply) {
  SimModule module({"--hangup-mid-reply"});
  RunResult r = btsetter({"-p", module.port(), "-b", "9600"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  expectBackEndError(r.err, "IO Exception (5): Input/output error");
}

TEST(EndToEnd, RegularFileAsPortIsLeftAlone) {
  harness::TempDir dir;
  const std::string path = dir.file("notaport");
  const std::string content = std::string("AT+NAME\0keep\n", 13);
  std::ofstream(path, std::ios::binary) << content;
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"-p", path, "-b", "9600", "--set-name", "X"}, {"-p", path}}) {
    RunResult r = btsetter(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("error: IO Exception: ::tcgetattr, file ", 0), 0u) << r.err;
  }
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(readFile(path), content);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST(EndToEnd, LateReplyIsJudgedWithTheNextCommand) {
  // The version reply arrives after its read has ended, so the name command
  // finds it at the start of its own reply and passes.
  SimModule module({"--late", "1400"});
  RunResult r = btsetter({"-p", module.port(), "-b", "9600", "--set-name", "N"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Version: \nSetting name... done.\n");
}
