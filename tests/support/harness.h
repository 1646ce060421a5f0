// Helpers for tests that need a device, a child process or the simulated
// module. Failures of the helpers themselves throw std::runtime_error (or
// std::system_error); no helper is safe to share between threads.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace harness {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents (links
// are not followed) at destruction. Its path never contains "AMA".
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A pseudo-terminal: the code under test opens slavePath() as its device and
// the test plays the device on the master. The pair keeps a slave descriptor
// of its own (raw, 9600 at the start), so the master sees no hang-up while the
// client has the port closed. Closes everything at destruction.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    int master() const { return master_; }
    const std::string &slavePath() const { return slavePath_; }

    // The slave's attributes as the client last set them (speed included).
    termios termiosOfSlave() const;
    // Writes all bytes to the master: the client reads them from the slave.
    void writeMaster(const std::string &bytes);
    // Bytes the client wrote: returns once `wanted` bytes have come or
    // `timeoutSeconds` have passed, whichever is first.
    std::string readMaster(double timeoutSeconds, std::size_t wanted = std::string::npos);
    // Makes the pty go away, as a pulled USB adapter does: unread input is
    // lost, the client's reads report readiness and return 0 bytes, its
    // writes and tcgetattr fail with EIO.
    void closeMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

struct RunResult {
    int status = -1;        // exit status, 128 + signal number, or -1 when timed out
    bool timedOut = false;  // killed after the time limit
    std::string out;
    std::string err;
    double seconds = 0;     // from start to end of the process
};

using Env = std::vector<std::pair<std::string, std::string>>;

// Runs argv (argv[0] is searched in PATH when it holds no slash) in its own
// process group, with standard input from /dev/null, the environment plus
// `env` (which overrides), and both outputs captured. After timeoutSeconds
// the process group is killed.
RunResult run(const std::vector<std::string> &argv, double timeoutSeconds, const Env &env = {});

// Paths of the programs built in this tree; btsetterPath() is empty when the
// program is not part of the build.
std::string hc06simPath();
std::string btsetterPath();

// One line of the simulator's transcript.
struct TranscriptLine {
    long long ms = 0;                  // since the simulator started
    unsigned long speed = 0;           // line speed the command arrived at
    std::string command;               // bytes as received
    std::optional<std::string> reply;  // bytes the module sent; none when silent
};

// Parses transcript text (escapes undone); throws on a malformed line.
std::vector<TranscriptLine> parseTranscript(const std::string &text);

// The simulated module (hc06sim) with the given extra options, and a
// transcript in a directory of its own. The constructor returns once the
// module is listening; the destructor stops it.
class SimModule {
public:
    explicit SimModule(const std::vector<std::string> &options = {});
    ~SimModule();
    SimModule(const SimModule &) = delete;
    SimModule &operator=(const SimModule &) = delete;

    const std::string &port() const { return port_; }  // the pty slave
    pid_t pid() const { return pid_; }
    std::string transcriptFile() const { return dir_.file("transcript"); }
    std::vector<TranscriptLine> transcript() const;
    // The transcript once it has at least `lines` lines (or what it has when
    // `timeoutSeconds` have passed).
    std::vector<TranscriptLine> waitTranscript(std::size_t lines, double timeoutSeconds = 10) const;
    // Whether the process is still running.
    bool running();
    // SIGTERM, then waits (SIGKILL after 10 s); the exit status or 128 +
    // signal; -1 when already stopped.
    int stop();

private:
    TempDir dir_;
    pid_t pid_ = -1;
    std::optional<int> status_;  // once reaped
    std::string port_;
};

}  // namespace harness
