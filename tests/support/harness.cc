#include "harness.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char **environ;

namespace harness {
namespace {

[[noreturn]] void throwErrno(const std::string &what) {
    throw std::system_error(errno, std::generic_category(), what);
}

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int remainingMs(double deadline) {
    const double left = deadline - now();
    return left <= 0 ? 0 : static_cast<int>(left * 1000) + 1;
}

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

// Waits for the child up to `seconds`; its status, or nothing if still running.
std::optional<int> reap(pid_t pid, double seconds) {
    const double deadline = now() + seconds;
    for (;;) {
        int ws = 0;
        const pid_t r = waitpid(pid, &ws, WNOHANG);
        if (r == pid) return statusOf(ws);
        if (r < 0 && errno != EINTR) throwErrno("waitpid");
        if (now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

struct Pipe {
    int rd = -1, wr = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throwErrno("pipe2");
        rd = fds[0];
        wr = fds[1];
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (rd >= 0) close(rd);
        rd = -1;
    }
    void closeWrite() {
        if (wr >= 0) close(wr);
        wr = -1;
    }
};

// Starts argv in a process group of its own with stdin from /dev/null,
// stdout to `out` and stderr to `err` (-1: inherited). The child dies with
// the test process. Everything the child needs is prepared before fork.
pid_t spawn(const std::vector<std::string> &argv, const Env &env, int out, int err) {
    if (argv.empty()) throw std::invalid_argument("run: empty argv");
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    std::vector<std::string> envStrings;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        bool overridden = false;
        for (const auto &kv : env) overridden = overridden || entry.rfind(kv.first + "=", 0) == 0;
        if (!overridden) envStrings.push_back(entry);
    }
    for (const auto &kv : env) envStrings.push_back(kv.first + "=" + kv.second);
    std::vector<char *> envp;
    for (auto &s : envStrings) envp.push_back(const_cast<char *>(s.c_str()));
    envp.push_back(nullptr);

    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0) throwErrno("/dev/null");
    Pipe execError;  // carries errno of a failed exec
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        const int e = errno;
        close(devNull);
        errno = e;
        throwErrno("fork");
    }
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(devNull, 0);
        if (out >= 0) dup2(out, 1);
        if (err >= 0) dup2(err, 2);
        execvpe(args[0], args.data(), envp.data());
        const int e = errno;
        const ssize_t ignored = write(execError.wr, &e, sizeof e);
        (void)ignored;
        _exit(127);
    }
    close(devNull);
    execError.closeWrite();
    int e = 0;
    ssize_t n;
    do n = read(execError.rd, &e, sizeof e); while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof e)) {
        waitpid(pid, nullptr, 0);
        errno = e;
        throwErrno("exec " + argv[0]);
    }
    return pid;
}

void removeTree(const std::string &path) {
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) {
            remove(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

std::string unescape(const std::string &field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            out += field[i];
        } else if (i + 1 < field.size() && field[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (i + 3 < field.size() && field[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(field.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            throw std::runtime_error("bad escape in transcript field: " + field);
        }
    }
    return out;
}

}  // namespace

TempDir::TempDir() {
    const char *tmp = std::getenv("TMPDIR");
    const std::string base = (tmp && *tmp) ? tmp : "/tmp";
    // btsetter waits longer on ports whose name contains "AMA"; a port link
    // made in here must not trigger that by chance.
    for (;;) {
        std::string tmpl = base + "/btsetter-test-XXXXXX";
        if (!mkdtemp(tmpl.data())) throwErrno("mkdtemp " + tmpl);
        if (tmpl.find("AMA") == std::string::npos) {
            path_ = tmpl;
            return;
        }
        rmdir(tmpl.c_str());
    }
}

TempDir::~TempDir() { removeTree(path_); }

PtyPair::PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) throwErrno("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        const int e = errno;
        close(master_);
        errno = e;
        throwErrno("grantpt/unlockpt");
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        const int e = errno;
        close(master_);
        errno = e;
        throwErrno("ptsname_r");
    }
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        const int e = errno;
        close(master_);
        errno = e;
        throwErrno(slavePath_);
    }
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    tcsetattr(slave_, TCSANOW, &t);
}

PtyPair::~PtyPair() { closeMaster(); }

termios PtyPair::termiosOfSlave() const {
    termios t{};
    if (tcgetattr(master_, &t) != 0) throwErrno("tcgetattr on the pty master");
    return t;
}

void PtyPair::writeMaster(const std::string &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n >= 0) {
            done += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN) {
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 100);
        } else if (errno != EINTR) {
            throwErrno("write to the pty master");
        }
    }
}

std::string PtyPair::readMaster(double timeoutSeconds, std::size_t wanted) {
    const double deadline = now() + timeoutSeconds;
    std::string got;
    while (got.size() < wanted) {
        pollfd p{master_, POLLIN, 0};
        const int r = poll(&p, 1, remainingMs(deadline));
        if (r < 0 && errno != EINTR) throwErrno("poll on the pty master");
        if (r > 0) {
            char buf[256];
            const std::size_t ask = std::min(sizeof buf, wanted - got.size());
            const ssize_t n = read(master_, buf, ask);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR) throwErrno("read from the pty master");
        }
        if (now() >= deadline) break;
    }
    return got;
}

void PtyPair::closeMaster() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
    slave_ = master_ = -1;
}

RunResult run(const std::vector<std::string> &argv, double timeoutSeconds, const Env &env) {
    Pipe out, err;
    RunResult result;
    const double start = now();
    const pid_t pid = spawn(argv, env, out.wr, err.wr);
    out.closeWrite();
    err.closeWrite();

    const double deadline = start + timeoutSeconds;
    Pipe *pipes[2] = {&out, &err};
    std::string *sinks[2] = {&result.out, &result.err};
    while (out.rd >= 0 || err.rd >= 0) {
        pollfd p[2];
        nfds_t count = 0;
        int which[2];
        for (int i = 0; i < 2; ++i)
            if (pipes[i]->rd >= 0) {
                p[count] = pollfd{pipes[i]->rd, POLLIN, 0};
                which[count++] = i;
            }
        const int wait = remainingMs(deadline);
        if (wait == 0) {
            result.timedOut = true;
            break;
        }
        const int r = poll(p, count, wait);
        if (r < 0 && errno != EINTR) throwErrno("poll");
        for (nfds_t k = 0; r > 0 && k < count; ++k) {
            if (!p[k].revents) continue;
            char buf[4096];
            const ssize_t n = read(p[k].fd, buf, sizeof buf);
            if (n > 0) sinks[which[k]]->append(buf, static_cast<std::size_t>(n));
            else if (n == 0 || (errno != EINTR && errno != EAGAIN)) pipes[which[k]]->closeRead();
        }
    }
    std::optional<int> status;
    if (!result.timedOut) status = reap(pid, remainingMs(deadline) / 1000.0 + 0.001);
    if (!status) {
        result.timedOut = true;
        kill(-pid, SIGKILL);
        reap(pid, 30);
        result.status = -1;
    } else {
        result.status = *status;
    }
    result.seconds = now() - start;
    return result;
}

std::string hc06simPath() { return HC06SIM_PATH; }

std::string btsetterPath() {
#ifdef BTSETTER_PATH
    return BTSETTER_PATH;
#else
    return "";
#endif
}

std::vector<TranscriptLine> parseTranscript(const std::string &text) {
    std::vector<TranscriptLine> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        TranscriptLine t;
        std::string command, reply, extra;
        if (!(fields >> t.ms >> t.speed >> command >> reply) || (fields >> extra))
            throw std::runtime_error("malformed transcript line: " + line);
        t.command = unescape(command);
        if (reply != "-") t.reply = unescape(reply);
        lines.push_back(t);
    }
    return lines;
}

SimModule::SimModule(const std::vector<std::string> &options) {
    std::vector<std::string> argv{hc06simPath(), "--transcript", transcriptFile()};
    argv.insert(argv.end(), options.begin(), options.end());
    Pipe out;
    pid_ = spawn(argv, {}, out.wr, -1);
    out.closeWrite();

    const double deadline = now() + 10;
    std::string got;
    while (got.find('\n') == std::string::npos) {
        pollfd p{out.rd, POLLIN, 0};
        const int r = poll(&p, 1, remainingMs(deadline));
        if (r < 0 && errno == EINTR) continue;
        char buf[256];
        const ssize_t n = r > 0 ? read(out.rd, buf, sizeof buf) : 0;
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int status = stop();
            throw std::runtime_error("hc06sim did not report its port (status " + std::to_string(status) +
                                     ", output \"" + got + "\")");
        }
        got.append(buf, static_cast<std::size_t>(n));
    }
    port_ = got.substr(0, got.find('\n'));
}

SimModule::~SimModule() {
    try {
        stop();
    } catch (const std::exception &) {
    }
}

std::vector<TranscriptLine> SimModule::transcript() const {
    std::ifstream in(transcriptFile());
    std::ostringstream text;
    text << in.rdbuf();
    // Only whole lines: the module may be writing one right now.
    std::string s = text.str();
    s.erase(s.rfind('\n') == std::string::npos ? 0 : s.rfind('\n') + 1);
    return parseTranscript(s);
}

std::vector<TranscriptLine> SimModule::waitTranscript(std::size_t lines, double timeoutSeconds) const {
    const double deadline = now() + timeoutSeconds;
    for (;;) {
        auto t = transcript();
        if (t.size() >= lines || now() >= deadline) return t;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool SimModule::running() {
    if (pid_ < 0 || status_) return false;
    int ws = 0;
    if (waitpid(pid_, &ws, WNOHANG) == pid_) status_ = statusOf(ws);
    return !status_;
}

int SimModule::stop() {
    if (pid_ < 0) return -1;
    if (running()) {
        kill(pid_, SIGTERM);
        status_ = reap(pid_, 10);
        if (!status_) {
            kill(-pid_, SIGKILL);
            status_ = reap(pid_, 30);
        }
    }
    pid_ = -1;
    return status_.value_or(-1);
}

}  // namespace harness
