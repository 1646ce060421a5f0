// Runs the cross-built Windows test program (tests/win/serial_wine_test.cc)
// under Wine on a pseudo-terminal mapped as COM9, and plays the device on the
// master side.  Needs a cross build tree (BTSETTER_WIN_BUILD_DIR) and wine64.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

extern char** environ;

namespace {

const std::string kWinBuildDir = BTSETTER_WIN_BUILD_DIR;
const std::string kWine = BTSETTER_WINE64;
const std::string kWineServer = BTSETTER_WINESERVER;

bool found(const std::string& program) {
  return !program.empty() && program.find("NOTFOUND") == std::string::npos &&
         access(program.c_str(), X_OK) == 0;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A process of its own group with the environment plus `env`, standard input
// from /dev/null and both outputs to files.  Wine leaves its server running
// with these descriptors, so files, not pipes: the test waits for the process
// it started, not for the end of its output.
class WineProcess {
 public:
  WineProcess(const std::vector<std::string>& argv, const harness::Env& env,
              const std::string& outFile, const std::string& errFile) {
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      bool overridden = false;
      for (const auto& [name, value] : env) overridden |= entry.rfind(name + "=", 0) == 0;
      if (!overridden) environment.push_back(entry);
    }
    for (const auto& [name, value] : env) environment.push_back(name + "=" + value);

    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int error = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) pid_ = -1;
  }

  ~WineProcess() {
    if (pid_ > 0 && !status_) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  WineProcess(const WineProcess&) = delete;
  WineProcess& operator=(const WineProcess&) = delete;

  bool started() const { return pid_ > 0; }

  // Exit status; -1 when it was still running after `seconds` (then killed).
  int wait(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!status_) {
      int ws = 0;
      const pid_t r = waitpid(pid_, &ws, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        break;
      }
      if (std::chrono::steady_clock::now() > end) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        status_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return *status_;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

class WineSerial : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kWinBuildDir.empty()) {
      GTEST_SKIP() << "no cross build: configure with -DBTSETTER_WIN_BUILD_DIR=<mingw build tree> "
                      "to run the Windows back end under Wine";
    }
    if (!found(kWine) || !found(kWineServer)) GTEST_SKIP() << "wine64 is not installed";
    exe_ = kWinBuildDir + "/tests/win/serial_wine_test.exe";
    ASSERT_EQ(access(exe_.c_str(), R_OK), 0)
        << exe_ << " is missing: build the cross tree (cmake --build " << kWinBuildDir << ")";

    env_ = {{"WINEPREFIX", dir_.file("prefix")},
            {"WINEDEBUG", "-all"},
            {"WINEDLLOVERRIDES", "mscoree,mshtml="},
            {"DISPLAY", ""}};
    WineProcess boot({kWine, "wineboot", "-i"}, env_, dir_.file("boot.out"), dir_.file("boot.err"));
    ASSERT_TRUE(boot.started());
    booted_ = true;
    ASSERT_EQ(boot.wait(120), 0) << slurp(dir_.file("boot.err"));
  }

  void TearDown() override {
    if (!booted_) return;
    WineProcess stop({kWineServer, "-k"}, env_, dir_.file("kill.out"), dir_.file("kill.err"));
    if (stop.started()) stop.wait(30);
  }

  // Maps COM9 of the prefix to the pty.
  void mapCom9(const std::string& device) {
    const std::string link = dir_.file("prefix/dosdevices/com9");
    unlink(link.c_str());
    ASSERT_EQ(symlink(device.c_str(), link.c_str()), 0);
  }

  harness::TempDir dir_;
  harness::Env env_;
  std::string exe_;
  bool booted_ = false;
};

speed_t speedOf(const harness::PtyPair& pty) {
  const termios tio = pty.termiosOfSlave();
  return cfgetospeed(&tio);
}

TEST_F(WineSerial, BackEndDrivesAPtyThroughWinesSerialDriver) {
  harness::PtyPair pty;
  // Start away from 9600 so that the rate seen later proves SetCommState.
  termios tio = pty.termiosOfSlave();
  cfsetspeed(&tio, B2400);
  ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &tio), 0);
  mapCom9(pty.slavePath());

  WineProcess program({kWine, exe_, "\\\\.\\COM9"}, env_, dir_.file("out"), dir_.file("err"));
  ASSERT_TRUE(program.started());

  // The program announces each step on the line; see serial_wine_test.cc.
  const std::string opened = pty.readMaster(60, 5);
  EXPECT_EQ(opened, "open\n");
  const speed_t openSpeed = speedOf(pty);
  if (opened == "open\n") pty.writeMaster("abc");

  const std::string fast = pty.readMaster(60, 5);
  EXPECT_EQ(fast, "fast\n");
  const speed_t fastSpeed = speedOf(pty);
  if (fast == "fast\n") pty.writeMaster("k");

  const int status = program.wait(60);
  const std::string out = slurp(dir_.file("out"));
  EXPECT_EQ(status, 0) << out << slurp(dir_.file("err"));
  EXPECT_NE(out.find(" checks passed, 0 failed"), std::string::npos) << out;
  EXPECT_EQ(openSpeed, static_cast<speed_t>(B9600));
  EXPECT_EQ(fastSpeed, static_cast<speed_t>(B115200));
}

}  // namespace
