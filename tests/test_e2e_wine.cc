// The Windows program, btsetter.exe, under Wine against the simulated module:
// exact output (CR LF line ends), status and what reached the module, and how
// it meets a faulty module.  All tests share one Wine prefix, made and taken
// down by the CTest fixture tests wine_e2e_prefix_boot/_stop; each test maps
// a COM number of its own to its module's pty in the prefix's dosdevices.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

extern char** environ;

using harness::RunResult;
using harness::SimModule;
using harness::TranscriptLine;
using namespace std::string_literals;

namespace {

const std::string kWinBuildDir = BTSETTER_WIN_BUILD_DIR;
const std::string kWine = BTSETTER_WINE64;
const std::string kPrefix = BTSETTER_WINE_PREFIX;

// Time a run may take beyond its own pacing: Wine's start, a loaded machine.
constexpr double kMargin = 30;

// The pacing of the dialogue: the settle time after an open, then per
// command 200 ms and a read of up to 1 s; per probed rate the settle time,
// 100 ms and a 1 s read.
double pacing(int commands, int probes = 0) { return 0.2 + 1.2 * commands + 1.3 * probes; }

bool executable(const std::string& program) {
  return !program.empty() && program.find("NOTFOUND") == std::string::npos &&
         access(program.c_str(), X_OK) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Console text of a Windows program: every line ends in CR LF.
std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// The DOS name Wine gives a path of the Linux file system (drive Z: is /).
std::string dosPath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return "Z:" + path;
}

std::string exePath() { return kWinBuildDir + "/app/btsetter.exe"; }

const harness::Env& wineEnv() {
  static const harness::Env env = {{"WINEPREFIX", kPrefix},
                                   {"WINEDEBUG", "-all"},
                                   {"WINEDLLOVERRIDES", "mscoree,mshtml="},
                                   {"DISPLAY", ""}};
  return env;
}

// A Windows program under Wine, in a process group of its own, standard
// input from /dev/null, both outputs to files: a wineserver that a run may
// start keeps the descriptors it inherited, so the test waits for the process,
// not for the end of its output.
class WineProcess {
 public:
  explicit WineProcess(const std::vector<std::string>& args) : start_(now()) {
    std::vector<std::string> argv = {kWine};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      bool overridden = false;
      for (const auto& [name, value] : wineEnv()) overridden |= entry.rfind(name + "=", 0) == 0;
      if (!overridden) environment.push_back(entry);
    }
    for (const auto& [name, value] : wineEnv()) environment.push_back(name + "=" + value);

    std::vector<char*> argp;
    for (std::string& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int error = posix_spawn(&pid_, argp[0], &actions, &attributes, argp.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::system_error(error, std::generic_category(), "posix_spawn " + kWine);
  }

  ~WineProcess() {
    if (!result_) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  WineProcess(const WineProcess&) = delete;
  WineProcess& operator=(const WineProcess&) = delete;

  // Sends a signal to the program's process group, as a terminal does.
  void signal(int number) { kill(-pid_, number); }

  // Waits for the end; after `limitSeconds` from the start the process group
  // is killed and the status is -1.
  RunResult finish(double limitSeconds) {
    if (result_) return *result_;
    RunResult r;
    for (;;) {
      int ws = 0;
      const pid_t got = waitpid(pid_, &ws, WNOHANG);
      if (got == pid_) {
        r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        break;
      }
      if (got < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
      if (now() - start_ > limitSeconds) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        r.timedOut = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    r.seconds = now() - start_;
    r.out = readFile(outFile());
    r.err = readFile(errFile());
    result_ = r;
    return r;
  }

 private:
  static double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
  }
  std::string outFile() const { return dir_.file("out"); }
  std::string errFile() const { return dir_.file("err"); }

  harness::TempDir dir_;
  double start_;
  pid_t pid_ = -1;
  std::optional<RunResult> result_;
};

// A COM port of the shared prefix mapped to a device.  The number is the first
// free one from COM10 on: symlink() creating the entry is what claims it, so
// tests running in parallel never share one.
class ComPort {
 public:
  explicit ComPort(const std::string& device) {
    for (int n = 10; n <= 99; ++n) {
      if (n == 42) continue;  // the port the tests know to be missing
      const std::string link = kPrefix + "/dosdevices/com" + std::to_string(n);
      if (symlink(device.c_str(), link.c_str()) == 0) {
        link_ = link;
        name_ = "COM" + std::to_string(n);
        return;
      }
      if (errno != EEXIST) throw std::system_error(errno, std::generic_category(), link);
    }
    throw std::runtime_error("no free COM number in " + kPrefix + "/dosdevices");
  }
  ~ComPort() { unlink(link_.c_str()); }
  ComPort(const ComPort&) = delete;
  ComPort& operator=(const ComPort&) = delete;

  const std::string& name() const { return name_; }

 private:
  std::string link_;
  std::string name_;
};

// A simulated module reachable as a COM port.
struct WineModule {
  explicit WineModule(const std::vector<std::string>& options = {}) : sim(options), com(sim.port()) {}
  SimModule sim;
  ComPort com;
};

class WineEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kWinBuildDir.empty()) {
      GTEST_SKIP() << "no cross build: configure with -DBTSETTER_WIN_BUILD_DIR=<mingw build tree> "
                      "to run btsetter.exe under Wine";
    }
    if (!executable(kWine)) GTEST_SKIP() << "wine64 is not installed";
    ASSERT_EQ(access(exePath().c_str(), R_OK), 0)
        << exePath() << " is missing: build the cross tree (cmake --build " << kWinBuildDir << ")";
    struct stat st;
    if (stat((kPrefix + "/dosdevices").c_str(), &st) != 0) {
      GTEST_SKIP() << "no Wine prefix at " << kPrefix
                   << ": run through ctest, whose fixture test wine_e2e_prefix_boot makes it";
    }
  }
};

// Runs btsetter.exe; a run longer than `pacingSeconds` + kMargin is killed
// and fails the test.
RunResult btsetter(const std::vector<std::string>& args, double pacingSeconds) {
  std::vector<std::string> argv = {exePath()};
  argv.insert(argv.end(), args.begin(), args.end());
  WineProcess program(argv);
  RunResult r = program.finish(pacingSeconds + kMargin);
  EXPECT_FALSE(r.timedOut) << "still running after " << r.seconds << " s";
  return r;
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

// "error: IO Exception: " + description, raised in the Windows back end: the
// source path (as the cross compiler saw it) ends in serial/src/impl/win.cc.
void expectBackEndError(const std::string& err, const std::string& description) {
  const std::string head = "error: IO Exception: " + description + ", file ";
  ASSERT_EQ(err.rfind(head, 0), 0u) << err;
  const std::size_t lineAt = err.rfind(", line ");
  ASSERT_NE(lineAt, std::string::npos) << err;
  const std::string file = err.substr(head.size(), lineAt - head.size());
  const std::string suffix = "serial/src/impl/win.cc";
  EXPECT_EQ(file.size() >= suffix.size() ? file.substr(file.size() - suffix.size()) : file, suffix)
      << err;
  ASSERT_GE(err.size(), lineAt + 7 + 4) << err;
  const std::string number = err.substr(lineAt + 7, err.size() - 3 - (lineAt + 7));
  EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << err;
  EXPECT_FALSE(number.empty()) << err;
  EXPECT_EQ(err.substr(err.size() - 3), ".\r\n") << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << "more than one line: " << err;
}

const std::string kMissingPort = "Specified port, \\\\.\\COM42, does not exist.";

const std::string kRates =
    "1200|2400|4800|9600|19200|38400|57600|115200|230400|460800|921600|1382400";

const std::string kVersion = "HC04/06 bluettoth module configurator, version 1.0\n";

// Wine hands the program the DOS form of the path it was started with.
std::string programName() { return dosPath(exePath()); }

std::string helpText() {
  return crlf(kVersion +
              "Free software under the MIT licence, provided without warranty of any kind.\n"
              "\n"
              "Usage: " + programName() + " [options] \n"
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
              "Please see the readme.txt for full documentation.\n"
              "Visit https://btsetter.example.org for updates and bug reports.\n"
              "\n"
              "\n"
              "DISCLAIMER\n");
}

std::string parseError(const std::string& argId, const std::string& error) {
  return crlf("PARSE ERROR: " + argId + "\n" + std::string(13, ' ') + error +
              "\n\n\nFor USAGE and HELP type: \n   " + programName() + " --help\n\n");
}

}  // namespace

TEST_F(WineEndToEnd, VersionWithPortAndBaud) {
  // The module answers only at its own rate, and the transcript shows the
  // line speed: SetCommState reached the pty.
  struct Case {
    std::string rate, version;
  };
  for (const Case& c : {Case{"9600", "linvorV1.5"}, Case{"57600", "linvorV1.8"}}) {
    WineModule module({"--baud", c.rate, "--version", c.version});
    RunResult r = btsetter({"-p", module.com.name(), "-b", c.rate}, pacing(1));
    EXPECT_EQ(r.status, 0) << c.rate;
    EXPECT_EQ(r.out, "Version: " + c.version + "\r\n");
    EXPECT_EQ(r.err, "");
    auto t = module.sim.waitTranscript(1);
    EXPECT_EQ(commands(t), (std::vector<std::string>{"AT+VERSION"}));
    EXPECT_EQ(speeds(t), (std::vector<unsigned long>{std::stoul(c.rate)}));
  }
}

TEST_F(WineEndToEnd, ChangesGoInFixedOrderWhateverTheCommandLine) {
  WineModule module;
  RunResult r = btsetter({"--set-baud", "19200", "--set-pin", "4321", "--set-name", "Bench 7",
                          "--port", module.com.name(), "--baud", "9600"},
                         pacing(4));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Version: linvorV1.8\r\n"
            "Setting name... done.\r\n"
            "Setting PIN... done.\r\n"
            "Setting baud rate... done.\r\n");
  EXPECT_EQ(r.err, "");
  auto t = module.sim.waitTranscript(4);
  EXPECT_EQ(commands(t), (std::vector<std::string>{"AT+VERSION", "AT+NAMEBench 7", "AT+PIN4321",
                                                   "AT+BAUD5"}));
  EXPECT_EQ(speeds(t), (std::vector<unsigned long>{9600, 9600, 9600, 9600}));
  for (const TranscriptLine& line : t) ASSERT_TRUE(line.reply) << line.command;
  EXPECT_EQ(*t[3].reply, "OK19200");
}

TEST_F(WineEndToEnd, SilentModule) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {{"-b", "9600"}, 0, "Version: \r\n", ""},
      {{"-b", "9600", "--set-name", "N"}, 1, "Version: \r\nSetting name... ", "Error: \r\n"},
  };
  for (const Case& c : cases) {
    WineModule module({"--silent"});
    std::vector<std::string> args = {"-p", module.com.name()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = btsetter(args, pacing(2));
    EXPECT_EQ(r.status, c.status) << c.args.size();
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(WineEndToEnd, AutodetectionFindsTheEighthRate) {
  WineModule module({"--baud", "1200"});
  RunResult r = btsetter({"-p", module.com.name()}, pacing(1, 8));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "No baud rate given. Autodetecting... 1200\r\nVersion: linvorV1.8\r\n");
  EXPECT_EQ(r.err, "");
  auto t = module.sim.waitTranscript(9);
  EXPECT_EQ(commands(t), (std::vector<std::string>{"AT", "AT", "AT", "AT", "AT", "AT", "AT", "AT",
                                                   "AT+VERSION"}));
  EXPECT_EQ(speeds(t), (std::vector<unsigned long>{9600, 115200, 19200, 57600, 38400, 4800, 2400,
                                                   1200, 1200}));
  for (size_t i = 0; i < 7 && i < t.size(); ++i) EXPECT_FALSE(t[i].reply) << i;
  if (t.size() > 7) {
    EXPECT_EQ(t[7].reply.value_or("-"), "OK");
  }
}

TEST_F(WineEndToEnd, AutodetectionOfASilentModuleTriesAllTwelveRates) {
  // Unlike the Linux program, the Windows one gets through 1382400: Wine sets
  // a rate without a termios constant as B38400 plus a custom divisor, and
  // carries on when the pty refuses the divisor.  So the line shows 38400.
  WineModule module({"--silent"});
  RunResult r = btsetter({"-p", module.com.name()}, pacing(0, 12));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "No baud rate given. Autodetecting... Failure. Unable to communicate with module.\r\n");
  EXPECT_EQ(r.err, "");
  auto t = module.sim.waitTranscript(12);
  EXPECT_EQ(commands(t), std::vector<std::string>(12, "AT"));
  EXPECT_EQ(speeds(t), (std::vector<unsigned long>{9600, 115200, 19200, 57600, 38400, 4800, 2400,
                                                   1200, 230400, 460800, 921600, 38400}));
}

TEST_F(WineEndToEnd, MissingPort) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"-p", "COM42", "-b", "9600"}, ""},
      {{"-p", "COM42"}, "No baud rate given. Autodetecting... "},
  };
  for (const Case& c : cases) {
    RunResult r = btsetter(c.args, pacing(0, 1));
    EXPECT_EQ(r.status, 2) << c.args.size();
    EXPECT_EQ(r.out, c.out);
    expectBackEndError(r.err, kMissingPort);
  }
}

TEST_F(WineEndToEnd, RegularFileAsPortIsLeftAlone) {
  // "\\.\" + a drive path opens the file itself; it is no serial device.
  harness::TempDir dir;
  const std::string path = dir.file("notaport");
  const std::string content = std::string("AT+NAME\0keep\n", 13);
  std::ofstream(path, std::ios::binary) << content;
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"-p", dosPath(path), "-b", "9600", "--set-name", "X"}, ""},
      {{"-p", dosPath(path)}, "No baud rate given. Autodetecting... "},
  };
  for (const Case& c : cases) {
    RunResult r = btsetter(c.args, pacing(0, 1));
    EXPECT_EQ(r.status, 2) << c.args.size();
    EXPECT_EQ(r.out, c.out);
    expectBackEndError(r.err, "Error getting the serial port state.");
  }
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(readFile(path), content);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(WineEndToEnd, HelpAndVersion) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"--help"}, helpText()},
      {{"-h", "bogus"}, helpText()},
      {{"--help", "--version"}, helpText()},
      {{"--version"}, crlf(kVersion)},
      {{"--version", "--help"}, crlf(kVersion)},
  };
  for (const Case& c : cases) {
    RunResult r = btsetter(c.args, 0);
    EXPECT_EQ(r.status, 0) << c.args[0] << " " << c.args.size();
    EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args.size();
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(WineEndToEnd, ParseErrors) {
  const std::string pinText = "PIN must contain exactly four decimal digits";
  struct Case {
    std::vector<std::string> args;
    std::string argId, error;
  };
  const Case cases[] = {
      {{"bogus", "--help"}, "Argument: bogus", "Couldn't find match for argument"},
      {{"--set-pin", "12a4"}, "Argument: (--set-pin)",
       "Value '12a4' does not meet constraint: " + pinText},
      {{"--set-name", std::string(21, 'n')}, "Argument: (--set-name)",
       "Value '" + std::string(21, 'n') + "' does not meet constraint: Name must contain 20 or fewer bytes"},
      {{"--baud", "14400"}, "Argument: -b (--baud)",
       "Value '14400' does not meet constraint: " + kRates},
      {{"-p"}, "Argument: -p (--port)", "Missing a value for this argument!"},
  };
  for (const Case& c : cases) {
    RunResult r = btsetter(c.args, 0);
    EXPECT_EQ(r.status, 1) << c.args[0];
    EXPECT_EQ(r.out, "") << c.args[0];
    EXPECT_EQ(r.err, parseError(c.argId, c.error)) << c.args[0];
  }
}

TEST_F(WineEndToEnd, NoPortsUnderWine) {
  // SetupAPI under Wine lists no device of the ports class: the table is its
  // two header lines, and without --port nothing qualifies.
  RunResult table = btsetter({"--detect-ports"}, 0);
  EXPECT_EQ(table.status, 0);
  EXPECT_EQ(table.out, "Port\tDescription\tHardware\r\n====\t===========\t========\r\n");
  EXPECT_EQ(table.err, "");
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"-b", "9600", "--set-name", "X"}}) {
    RunResult r = btsetter(args, 0);
    EXPECT_EQ(r.status, 1) << args.size();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: No serial ports found.\r\n");
  }
}

// The fault matrix: a faulty module, the documented outcome, no hang.
TEST_F(WineEndToEnd, FaultyModules) {
  // A --long reply: the reply padded to 150 bytes with the digits.
  const auto padded = [](std::string reply) {
    for (std::size_t i = 0; reply.size() < 150; ++i) reply += static_cast<char>('0' + i % 10);
    return reply;
  };
  const std::string longVersion = padded("OKlinvorV1.8");
  const std::string longName = padded("OKsetname");
  struct Case {
    const char* name;
    std::vector<std::string> simOptions;
    std::vector<std::string> args;  // after -p COMn -b 9600
    int status;
    std::string out, err;
    std::vector<std::string> commands;
  };
  const Case cases[] = {
      {"refusing", {"--refuse"}, {"--set-name", "X", "--set-pin", "1111", "--set-baud", "9600"}, 1,
       "Version: linvorV1.8\r\nSetting name... ", "Error: ERROR\r\n", {"AT+VERSION", "AT+NAMEX"}},
      // The version reply comes after its read has ended; the name command
      // finds it at the start of its own reply and passes.
      {"answering late", {"--late", "1400"}, {"--set-name", "N"}, 0,
       "Version: \r\nSetting name... done.\r\n", "", {"AT+VERSION", "AT+NAMEN"}},
      {"NUL bytes", {"--nul"}, {"--set-name", "N"}, 0,
       "Version: \0lin\0vor\0V1.\0" "8\r\nSetting name... done.\r\n"s, "",
       {"AT+VERSION", "AT+NAMEN"}},
      // 100 bytes are read per reply: the rest of the version reply leads the
      // name command's reply.
      {"over 100 bytes", {"--long"}, {"--set-name", "N"}, 1,
       "Version: " + longVersion.substr(2, 98) + "\r\nSetting name... ",
       "Error: " + longVersion.substr(100) + longName.substr(0, 50) + "\r\n",
       {"AT+VERSION", "AT+NAMEN"}},
      // Wine ends the read at the hang-up with what has come.
      {"hanging up mid-reply", {"--hangup-mid-reply"}, {}, 0, "Version: linv\r\n", "",
       {"AT+VERSION"}},
      {"at another rate", {"--baud", "19200"}, {}, 0, "Version: \r\n", "", {"AT+VERSION"}},
      // Wine reads a hung-up pty as a line that stays silent: the name command
      // gets an empty reply (its bytes closed the pty before the module took
      // them as a command).
      {"hanging up after the first reply", {"--hangup-after", "1"}, {"--set-name", "X"}, 1,
       "Version: linvorV1.8\r\nSetting name... ", "Error: \r\n", {"AT+VERSION"}},
  };
  for (const Case& c : cases) {
    WineModule module(c.simOptions);
    std::vector<std::string> args = {"-p", module.com.name(), "-b", "9600"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = btsetter(args, pacing(4));
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(commands(module.sim.waitTranscript(c.commands.size(), 2)), c.commands) << c.name;
  }
}

TEST_F(WineEndToEnd, GarbageReplies) {
  WineModule module({"--garbage"});
  RunResult r = btsetter({"-p", module.com.name(), "-b", "9600", "--set-name", "N"}, pacing(2));
  auto t = module.sim.waitTranscript(2);
  ASSERT_EQ(commands(t), (std::vector<std::string>{"AT+VERSION", "AT+NAMEN"}));
  ASSERT_TRUE(t[0].reply && t[1].reply);
  // Neither reply begins with "OK": the version is the whole first reply,
  // the name is refused with the second.
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, crlf("Version: " + *t[0].reply + "\nSetting name... "));
  EXPECT_EQ(r.err, crlf("Error: " + *t[1].reply + "\n"));
}

TEST_F(WineEndToEnd, InterruptedRunLeavesThePortUsable) {
  // The signal comes while the name command's reply is being read: the reply
  // has been taken off the line, so the next run starts on a quiet one.
  // SIGTERM kills the program.  SIGINT interrupts Wine's wait inside ReadFile,
  // which then returns what has come (here the whole reply), and Wine ends
  // the process a few milliseconds later as a console control event; a
  // further command may go out in between, hence only the name change here.
  for (int number : {SIGINT, SIGTERM}) {
    WineModule module;
    {
      WineProcess program({exePath(), "-p", module.com.name(), "-b", "9600", "--set-name", "X"});
      ASSERT_EQ(module.sim.waitTranscript(2, pacing(2) + kMargin).size(), 2u) << number;
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
      program.signal(number);
      const auto signalled = std::chrono::steady_clock::now();
      RunResult r = program.finish(pacing(2) + kMargin);
      EXPECT_FALSE(r.timedOut) << number;
      EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count(), 5)
          << number;
      if (number == SIGTERM) {
        EXPECT_EQ(r.status, 128 + SIGTERM);
        EXPECT_EQ(r.out, "Version: linvorV1.8\r\nSetting name... ");
      } else {
        EXPECT_EQ(r.out.rfind("Version: linvorV1.8\r\nSetting name... ", 0), 0u) << r.out;
      }
    }
    RunResult next = btsetter({"-p", module.com.name(), "-b", "9600", "--set-name", "Y"}, pacing(2));
    EXPECT_EQ(next.status, 0) << number << next.err;
    EXPECT_EQ(next.out, "Version: linvorV1.8\r\nSetting name... done.\r\n") << number;
    EXPECT_EQ(next.err, "") << number;
    EXPECT_EQ(commands(module.sim.waitTranscript(4)),
              (std::vector<std::string>{"AT+VERSION", "AT+NAMEX", "AT+VERSION", "AT+NAMEY"}))
        << number;
  }
}

TEST_F(WineEndToEnd, PortNameOf4000Bytes) {
  // CreateFileW refuses the name with ERROR_INVALID_NAME.
  const std::string name(4000, 'A');
  for (const auto& args : std::vector<std::vector<std::string>>{{"-p", name, "-b", "9600"}, {"-p", name}}) {
    RunResult r = btsetter(args, pacing(0, 1));
    EXPECT_EQ(r.status, 2) << args.size();
    EXPECT_EQ(r.out, args.size() == 2 ? "No baud rate given. Autodetecting... " : "");
    expectBackEndError(r.err, "Unknown error opening the serial port: 123");
  }
}

TEST_F(WineEndToEnd, FailingOpensGiveBackTheirHandles) {
  // tests/win/open_handles_test.cc: 1000 failing opens per round.
  const std::string program = kWinBuildDir + "/tests/win/open_handles_test.exe";
  ASSERT_EQ(access(program.c_str(), R_OK), 0) << program << " is missing: build the cross tree";
  harness::TempDir dir;
  const std::string file = dir.file("notaport");
  std::ofstream(file) << "not a port";
  WineModule module;
  WineProcess run({program, dosPath(file), "\\\\.\\" + module.com.name()});
  RunResult r = run.finish(120);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("open_handles_test: 0 rounds failed"), std::string::npos) << r.out;
}
