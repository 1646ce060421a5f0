// The simulated HC-06 (hc06sim) and the test harness around it. The client
// side is the sim's pty slave, opened here directly with termios.

#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

namespace {

using harness::SimModule;
using harness::TranscriptLine;

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void sleepSeconds(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

// The client's end of the line: a pty slave opened raw at a given speed.
class Line {
public:
    Line(const std::string &path, speed_t speed) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
        setSpeed(speed);
    }
    ~Line() { close(fd_); }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    void setSpeed(speed_t speed) {
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        cfsetspeed(&t, speed);
        tcsetattr(fd_, TCSANOW, &t);
    }
    void send(const std::string &bytes) {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Bytes until `wanted` have come or the time is up; stops when the pty
    // has gone away (see hungUp()).
    std::string receive(double seconds, std::size_t wanted = std::string::npos) {
        const double deadline = now() + seconds;
        std::string got;
        while (got.size() < wanted && !hungUp_) {
            const double left = deadline - now();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
            char buf[256];
            const ssize_t n = read(fd_, buf, std::min(sizeof buf, wanted - got.size()));
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR)) hungUp_ = true;
        }
        return got;
    }
    // A read reported readiness and then gave no bytes or an error: the pty
    // is gone (the master was closed).
    bool hungUp() const { return hungUp_; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    bool hungUp_ = false;
};

struct Exchange {
    TranscriptLine logged;  // the module's record of the command
    std::string received;   // what came back on the line
};

// Sends one command and waits until the module has logged it and its reply,
// if any, has arrived; then checks for a short while that nothing else comes.
Exchange exchange(SimModule &sim, Line &line, const std::string &command) {
    const std::size_t before = sim.transcript().size();
    line.send(command);
    const auto t = sim.waitTranscript(before + 1);
    if (t.size() <= before) throw std::runtime_error("the module did not log \"" + command + "\"");
    Exchange e{t[before], ""};
    if (e.logged.reply) e.received = line.receive(5, e.logged.reply->size());
    e.received += line.receive(0.15);
    return e;
}

std::string printable(const std::optional<std::string> &s) {
    if (!s) return "(none)";
    std::string out;
    for (unsigned char c : *s) {
        if (c >= 0x20 && c < 0x7f) out += static_cast<char>(c);
        else out += "\\x" + std::to_string(c);
    }
    return out;
}

struct Case {
    std::string command;
    std::optional<std::string> reply;  // none: the module stays silent
};

// Runs the cases in order against one module at 9600 on one open line.
void expectReplies(SimModule &sim, const std::vector<Case> &cases) {
    Line line(sim.port(), B9600);
    for (const auto &c : cases) {
        SCOPED_TRACE("command " + printable(c.command));
        const Exchange e = exchange(sim, line, c.command);
        EXPECT_EQ(e.logged.command, c.command);
        EXPECT_EQ(e.logged.speed, 9600u);
        EXPECT_EQ(printable(e.logged.reply), printable(c.reply));
        EXPECT_EQ(printable(e.received), printable(c.reply.value_or("")));
    }
}

// Whether `text` is a decimal number followed by `rest`.
bool numberThen(const std::string &text, const std::string &rest) {
    const std::size_t digits = text.find_first_not_of("0123456789");
    return digits != 0 && digits != std::string::npos && text.substr(digits) == rest;
}

std::string longReply(const std::string &reply) {
    std::string r = reply;
    for (std::size_t i = 0; r.size() < 150; ++i) r += "0123456789"[i % 10];
    return r;
}

TEST(Hc06Sim, AnswersTheLinvorCommandSet) {
    SimModule sim;
    expectReplies(sim, {
        {"AT", "OK"},
        {"AT+VERSION", "OKlinvorV1.8"},
        {"AT+NAMEmy module", "OKsetname"},
        {"AT+NAME" + std::string(25, 'n'), "OKsetname"},
        {"AT+PIN4321", "OKsetPIN"},
        {"AT+BAUD4", "OK9600"},
        {"AT+NAME", std::nullopt},
        {"AT+PIN12", std::nullopt},
        {"AT+PIN12345", std::nullopt},
        {"AT+PINabcd", std::nullopt},
        {"AT+BAUDD", std::nullopt},
        {"AT+BAUD", std::nullopt},
        {"AT+FOO", std::nullopt},
        {"at", std::nullopt},
        {"AT\r\n", std::nullopt},
        {"AT+VERSION\r\n", std::nullopt},
        {"AT\r", std::nullopt},
        {"AT", "OK"},
    });
}

TEST(Hc06Sim, StartsInTheStateItIsGiven) {
    SimModule sim({"--baud", "57600", "--version", "linvorV1.5"});
    Line line(sim.port(), B9600);
    EXPECT_FALSE(exchange(sim, line, "AT").logged.reply);
    line.setSpeed(B57600);
    EXPECT_EQ(exchange(sim, line, "AT+VERSION").received, "OKlinvorV1.5");
}

TEST(Hc06Sim, SilentAtAnotherLineSpeed) {
    SimModule sim;
    const std::pair<speed_t, unsigned long> speeds[] = {{B115200, 115200}, {B1200, 1200}, {B19200, 19200}};
    for (const auto &[constant, rate] : speeds) {
        SCOPED_TRACE(rate);
        Line line(sim.port(), constant);
        const Exchange e = exchange(sim, line, "AT");
        EXPECT_EQ(e.logged.speed, rate);
        EXPECT_EQ(e.logged.command, "AT");
        EXPECT_FALSE(e.logged.reply);
        EXPECT_EQ(e.received, "");
    }
}

TEST(Hc06Sim, BaudChangeIsAnsweredAtTheOldRateThenTakesEffect) {
    SimModule sim;
    {
        Line line(sim.port(), B9600);
        EXPECT_EQ(exchange(sim, line, "AT+BAUD8").received, "OK115200");
        EXPECT_EQ(exchange(sim, line, "AT").received, "");
    }
    {
        Line line(sim.port(), B115200);  // reopened: the setting outlives the client's close
        EXPECT_EQ(exchange(sim, line, "AT").received, "OK");
        EXPECT_EQ(exchange(sim, line, "AT+BAUD1").received, "OK1200");
        line.setSpeed(B1200);
        EXPECT_EQ(exchange(sim, line, "AT").received, "OK");
    }
    const auto t = sim.transcript();
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[0].speed, 9600u);
    EXPECT_EQ(t[2].speed, 115200u);
    EXPECT_EQ(t[4].speed, 1200u);
}

TEST(Hc06Sim, ReplyArrivesGarbledWhenTheLineChangedSpeedMeanwhile) {
    SimModule sim({"--late", "1000"});
    Line line(sim.port(), B9600);
    line.send("AT");
    ASSERT_EQ(sim.waitTranscript(1).size(), 1u);
    line.setSpeed(B19200);
    EXPECT_EQ(line.receive(5, 2), "\xCF\xCB");
}

TEST(Hc06Sim, GapSeparatesCommands) {
    SimModule sim({"--gap", "400"});
    Line line(sim.port(), B9600);
    line.send("AT+VER");
    sleepSeconds(0.05);
    line.send("SION");
    EXPECT_EQ(line.receive(5, 12), "OKlinvorV1.8");
    line.send("A");
    sleepSeconds(1.5);
    line.send("T");
    const auto t = sim.waitTranscript(3);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].command, "AT+VERSION");
    EXPECT_EQ(t[1].command, "A");
    EXPECT_EQ(t[2].command, "T");
    EXPECT_GE(t[2].ms - t[1].ms, 1000);
}

TEST(Hc06Sim, TranscriptLinesAreEscapedAndSpaceSeparated) {
    SimModule sim;
    Line line(sim.port(), B9600);
    exchange(sim, line, std::string("AT+NAMEa b\\\x01\xff", 13));
    exchange(sim, line, "AT+FOO");
    std::ifstream in(sim.transcriptFile());
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_TRUE(numberThen(first, R"( 9600 AT+NAMEa\x20b\\\x01\xff OKsetname)")) << first;
    EXPECT_TRUE(numberThen(second, " 9600 AT+FOO -")) << second;
    const auto t = sim.transcript();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].command, std::string("AT+NAMEa b\\\x01\xff", 13));
    EXPECT_LE(t[0].ms, t[1].ms);
}

TEST(Harness, ParsesTranscriptFields) {
    const auto t = harness::parseTranscript("5 9600 AT OK\n17 115200 a\\x20\\\\b \\x2d\n20 1200 AT -\n");
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].ms, 5);
    EXPECT_EQ(t[0].reply.value_or("?"), "OK");
    EXPECT_EQ(t[1].speed, 115200u);
    EXPECT_EQ(t[1].command, "a \\b");
    EXPECT_EQ(t[1].reply.value_or("?"), "-");
    EXPECT_FALSE(t[2].reply);
    EXPECT_THROW(harness::parseTranscript("5 9600 AT\n"), std::runtime_error);
    EXPECT_THROW(harness::parseTranscript("5 9600 A\\q OK\n"), std::runtime_error);
}

struct FaultCase {
    std::vector<std::string> options;
    std::vector<Case> cases;
};

TEST(Hc06Sim, FaultsShapeTheReplies) {
    const FaultCase faults[] = {
        {{"--silent"}, {{"AT", std::nullopt}, {"AT+VERSION", std::nullopt}}},
        {{"--refuse"},
         {{"AT+NAMEx", "ERROR"}, {"AT+PIN1111", "ERROR"}, {"AT+BAUD8", "ERROR"}, {"AT", "OK"},
          {"AT+VERSION", "OKlinvorV1.8"}}},
        {{"--nul"}, {{"AT+VERSION", std::string("OK\0lin\0vor\0V1.\08", 16)}, {"AT", std::string("OK\0", 3)}}},
        {{"--long"}, {{"AT", longReply("OK")}, {"AT+NAMEx", longReply("OKsetname")}}},
    };
    for (const auto &f : faults) {
        SCOPED_TRACE(f.options[0]);
        SimModule sim(f.options);
        expectReplies(sim, f.cases);
    }
}

TEST(Hc06Sim, GarbageRepliesNeverLookLikeOk) {
    SimModule sim({"--garbage"});
    Line line(sim.port(), B9600);
    for (int i = 0; i < 5; ++i) {
        const std::string r = exchange(sim, line, "AT+VERSION").received;
        ASSERT_EQ(r.size(), 12u);
        EXPECT_NE(r[0], 'O');
        EXPECT_EQ(r.find('\0'), std::string::npos);
    }
}

TEST(Hc06Sim, LateReplyComesAfterTheClientsSecond) {
    SimModule sim({"--late", "1500"});
    Line line(sim.port(), B9600);
    line.send("AT");
    EXPECT_EQ(line.receive(1.0), "");
    EXPECT_EQ(line.receive(5, 2), "OK");
}

TEST(Hc06Sim, HangupAfterRepliesLooksLikeAPulledAdapter) {
    harness::TempDir dir;
    const std::string link = dir.file("ttyBT");
    SimModule sim({"--hangup-after", "2", "--link", link});
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), sim.port());

    Line line(sim.port(), B9600);
    EXPECT_EQ(exchange(sim, line, "AT+FOO").received, "");  // unanswered: does not count
    EXPECT_EQ(exchange(sim, line, "AT").received, "OK");
    EXPECT_EQ(exchange(sim, line, "AT").received, "OK");
    EXPECT_FALSE(line.hungUp());
    line.send("AT");
    EXPECT_EQ(line.receive(5), "");
    EXPECT_TRUE(line.hungUp());
    const ssize_t written = write(line.fd(), "AT", 2);
    const int writeError = errno;
    EXPECT_EQ(written, -1);
    EXPECT_EQ(writeError, EIO);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind after the hang-up";
    EXPECT_TRUE(sim.running());
    EXPECT_EQ(sim.stop(), 0);
}

TEST(Hc06Sim, HangupMidReplySendsHalfAReply) {
    SimModule sim({"--hangup-mid-reply"});
    Line line(sim.port(), B9600);
    line.send("AT+VERSION");
    EXPECT_EQ(line.receive(5), "OKlinv");
    EXPECT_TRUE(line.hungUp());
}

TEST(Hc06Sim, EndsOnSigtermAndRemovesItsLink) {
    harness::TempDir dir;
    const std::string link = dir.file("port");
    SimModule sim({"--link", link});
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST(Hc06Sim, EndsByItselfAfterItsLifetime) {
    harness::TempDir dir;
    const std::string link = dir.file("port");
    const auto r = harness::run({harness::hc06simPath(), "--lifetime", "1", "--link", link}, 20);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GT(r.seconds, 0.9);
    EXPECT_LT(r.seconds, 10);
    EXPECT_TRUE(r.out.rfind("/dev/pts/", 0) == 0 && numberThen(r.out.substr(9), "\n")) << r.out;
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}

// CPU time of a process in seconds, from /proc.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;  // fields 3..13
    unsigned long long utime = 0, stime = 0;
    fields >> utime >> stime;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST(Hc06Sim, IdlesWithoutSpinning) {
    struct Idle {
        std::vector<std::string> options;
        bool useLine;  // talk to it once, then close the port
    };
    // After a hang-up the slave's number may already belong to another test's pty.
    const Idle cases[] = {{{}, true}, {{"--hangup-after", "0"}, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.useLine ? "port closed by the client" : "hung up");
        SimModule sim(c.options);
        if (c.useLine) {
            Line line(sim.port(), B9600);
            line.send("AT");
            line.receive(5, 2);
        }
        const double before = cpuSeconds(sim.pid());
        sleepSeconds(1.5);
        EXPECT_LT(cpuSeconds(sim.pid()) - before, 0.3);
        EXPECT_TRUE(sim.running());
    }
}

TEST(Hc06Sim, CommandLine) {
    const auto help = harness::run({harness::hc06simPath(), "--help"}, 20);
    EXPECT_EQ(help.status, 0);
    for (const char *option : {"--link", "--transcript", "--gap", "--latency", "--lifetime", "--baud", "--name",
                               "--pin", "--version", "--silent", "--refuse", "--late", "--garbage", "--nul",
                               "--long", "--hangup-after", "--hangup-mid-reply", "--help"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"}, {"--baud", "14400"}, {"--gap"}, {"--late", "x"}, {"--nul", "--long"}, {"extra"}};
    for (const auto &args : bad) {
        std::vector<std::string> argv{harness::hc06simPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = harness::run(argv, 20);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_NE(r.err, "") << args[0];
        EXPECT_EQ(r.out, "") << args[0];
    }
}

TEST(Harness, RunCapturesBothStreamsAndStatus) {
    const auto big = harness::run(
        {"sh", "-c", "head -c 200000 /dev/zero | tr '\\0' a; head -c 300000 /dev/zero | tr '\\0' b >&2; exit 3"}, 30);
    EXPECT_EQ(big.status, 3);
    EXPECT_FALSE(big.timedOut);
    EXPECT_EQ(big.out, std::string(200000, 'a'));
    EXPECT_EQ(big.err, std::string(300000, 'b'));

    EXPECT_EQ(harness::run({"sh", "-c", "kill -TERM $$"}, 30).status, 128 + SIGTERM);
    EXPECT_EQ(harness::run({"sh", "-c", "echo \"$HARNESS_X\""}, 30, {{"HARNESS_X", "set here"}}).out, "set here\n");
    EXPECT_THROW(harness::run({"/nonexistent/program"}, 30), std::system_error);
}

TEST(Harness, RunKillsAProcessThatOutlivesItsTime) {
    const auto r = harness::run({"sh", "-c", "sleep 30 & sleep 30"}, 0.5);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.status, -1);
    EXPECT_GT(r.seconds, 0.4);
    EXPECT_LT(r.seconds, 10);
}

TEST(Harness, PtyPairPlaysTheDeviceOnTheMaster) {
    harness::PtyPair pty;
    {
        Line line(pty.slavePath(), B115200);
        const termios t = pty.termiosOfSlave();
        EXPECT_EQ(cfgetospeed(&t), B115200);
        line.send("AT");
        EXPECT_EQ(pty.readMaster(5, 2), "AT");
        pty.writeMaster("OK");
        EXPECT_EQ(line.receive(5, 2), "OK");
    }
    Line line(pty.slavePath(), B9600);  // the pty survives the client's close
    pty.closeMaster();
    EXPECT_EQ(line.receive(5), "");
    EXPECT_TRUE(line.hungUp());
}

TEST(Harness, TempDirRemovesItsTreeButNotWhatLinksPointTo) {
    harness::TempDir outside;
    const std::string keep = outside.file("keep");
    std::ofstream(keep) << "x";
    std::string path;
    {
        harness::TempDir dir;
        path = dir.path();
        ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
        std::ofstream(dir.file("sub/f")) << "y";
        ASSERT_EQ(symlink(keep.c_str(), dir.file("link").c_str()), 0);
        ASSERT_EQ(symlink(outside.path().c_str(), dir.file("dirlink").c_str()), 0);
    }
    struct stat st;
    EXPECT_NE(stat(path.c_str(), &st), 0);
    EXPECT_EQ(stat(keep.c_str(), &st), 0);
}

}  // namespace
