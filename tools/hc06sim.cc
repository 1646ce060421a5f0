// hc06sim: an HC-06 / HC-04 Bluetooth module with the linvor firmware, in AT
// mode, played on a pseudo-terminal. The slave side stands in for the serial
// device; this program sits on the master side.
//
// How it behaves:
// - No echo. A command is the run of bytes that arrived before the line fell
//   silent for the gap (--gap). Bytes arriving at a different line speed than
//   the bytes before them end the command so far and start a new one.
// - The line speed is the slave's termios as the client set it, read from the
//   master. At a speed other than the module's rate the module understands
//   nothing and stays silent; the command is still logged in the transcript.
//   1382400 has no speed constant, so unless the client sets it as an
//   arbitrary speed (BOTHER) a module at that rate cannot be reached.
// - Replies carry no terminator and go out after the latency (--latency). A
//   reply is sent at the module's rate at that moment; if the line runs at
//   another speed by then, it arrives as garbage of the same length (every
//   byte with the high bit set), as it would on a real line.
// - "AT" -> "OK"; "AT+VERSION" -> "OK" + version; "AT+NAME" + 1..20 bytes ->
//   "OKsetname" (longer names are cut to 20); "AT+PIN" + 4 digits ->
//   "OKsetPIN"; "AT+BAUD" + code (1..9, A, B, C) -> "OK" + rate, sent at the
//   old rate, after which the module listens at the new rate. Any CR or LF in
//   a command makes it ignored; unknown or malformed commands get no reply.
//   Settings last as long as the process.
// - Faults: see usage() below; their exact behaviour is stated there.
// - The pty stays alive between the client's opens: this program keeps a
//   slave descriptor of its own, so the master never reports a hang-up.
// - Transcript (--transcript FILE), one line per command, appended and
//   flushed at once:  <ms since start> <line speed> <command> <reply or ->
//   Command and reply escape every byte outside 0x21..0x7e as \xHH (lower-case
//   hex) and a backslash as \\, so fields hold no blanks. A reply that is
//   the single byte '-' is written \x2d. The reply is the one the module
//   decided to send (before any line-speed garbling), or "-" for none.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <getopt.h>
#include <random>
#include <stdexcept>
#include <string>

namespace {

const char *const usageText =
    "Usage: hc06sim [OPTION]...\n"
    "Plays an HC-06 Bluetooth module (linvor firmware, AT mode) on a pseudo-terminal.\n"
    "Prints the slave device path as the first line of standard output.\n"
    "\n"
    "Line and link:\n"
    "  --link PATH          make PATH a symbolic link to the slave; removed when the\n"
    "                       pty goes away (hang-up) and at exit\n"
    "  --transcript FILE    append one line per command recognised:\n"
    "                       <ms since start> <line speed> <command> <reply or ->\n"
    "                       bytes outside 0x21..0x7e escaped as \\xHH, backslash as \\\\\n"
    "  --gap MS             silence that ends a command (default 50)\n"
    "  --latency MS         delay between a command and its reply (default 20)\n"
    "  --lifetime S         end by itself after S seconds (default 300)\n"
    "\n"
    "Initial state of the module:\n"
    "  --baud N             rate it listens at: 1200 2400 4800 9600 19200 38400 57600\n"
    "                       115200 230400 460800 921600 1382400 (default 9600)\n"
    "  --name S             Bluetooth name (default linvor)\n"
    "  --pin S              PIN (default 1234)\n"
    "  --version S          text after \"OK\" in the AT+VERSION reply (default linvorV1.8)\n"
    "\n"
    "Faults:\n"
    "  --silent             never answers anything\n"
    "  --refuse             answers AT+NAME, AT+PIN and AT+BAUD with \"ERROR\" and\n"
    "                       changes nothing; AT and AT+VERSION are answered as usual\n"
    "  --late MS            sends replies MS ms after the command instead of the latency\n"
    "  --garbage            every reply is replaced by random bytes of the same length,\n"
    "                       none of them NUL, the first never 'O'\n"
    "  --nul                every reply gets a NUL byte after \"OK\" and after every\n"
    "                       further 3 bytes: \"OK\\0lin\\0vor\\0V1.\\08\", \"OK\\0\"\n"
    "  --long               every reply is padded to 150 bytes with \"0123456789\" repeated\n"
    "  --hangup-after N     answers N commands, then nothing; the first byte that arrives\n"
    "                       after the N-th reply has been sent closes the pty\n"
    "                       (0: closes it at once, right after printing the path)\n"
    "  --hangup-mid-reply   sends the first half (rounded down, at least 1 byte) of the\n"
    "                       first reply and answers nothing more; closes the pty once the\n"
    "                       client has read those bytes, or 2 s after sending them\n"
    "  Only one of --garbage, --nul and --long may be given. After a hang-up the process\n"
    "  lives on until its lifetime ends or a signal comes, but the pty is gone, as with\n"
    "  a pulled USB adapter: unread input is lost, a client's read on the slave reports\n"
    "  readiness and returns no bytes (or fails with EIO), its writes fail with EIO.\n"
    "\n"
    "  --help               show this text\n"
    "\n"
    "Ends with status 0 after its lifetime or on SIGTERM, SIGINT or SIGHUP, 2 on a bad\n"
    "command line, 1 when the pty cannot be set up.\n";

struct Options {
    unsigned long baud = 9600;
    std::string name = "linvor";
    std::string pin = "1234";
    std::string version = "linvorV1.8";
    long gapMs = 50;
    long latencyMs = 20;
    long lateMs = -1;
    double lifetimeS = 300;
    bool silent = false;
    bool refuse = false;
    bool garbage = false;
    bool nul = false;
    bool longReplies = false;
    long hangupAfter = -1;
    bool hangupMidReply = false;
    std::string link;
    std::string transcript;
};

struct BaudCode {
    char code;
    unsigned long rate;
};
const BaudCode baudCodes[] = {
    {'1', 1200},    {'2', 2400},    {'3', 4800},    {'4', 9600},
    {'5', 19200},   {'6', 38400},   {'7', 57600},   {'8', 115200},
    {'9', 230400},  {'A', 460800},  {'B', 921600},  {'C', 1382400},
};

struct SpeedValue {
    speed_t constant;
    unsigned long rate;
};
const SpeedValue speedValues[] = {
    {B0, 0},           {B50, 50},           {B75, 75},           {B110, 110},
    {B134, 134},       {B150, 150},         {B200, 200},         {B300, 300},
    {B600, 600},       {B1200, 1200},       {B1800, 1800},       {B2400, 2400},
    {B4800, 4800},     {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},   {B115200, 115200},   {B230400, 230400},   {B460800, 460800},
    {B500000, 500000}, {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000},
    {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000},
    {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

#if defined(__linux__) && defined(TCGETS2) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__))
// The kernel's termios2 (asm-generic layout), for speeds set as BOTHER;
// glibc's termios differs from it and <asm/termbits.h> clashes with <termios.h>.
struct termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
const speed_t kernelBother = 0010000;
#define HC06SIM_HAVE_TERMIOS2 1
#endif

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

long long nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Speed of the line as the client set it on the slave, in bits per second;
// 0 when it cannot be read or is not a known value.
unsigned long lineSpeed(int masterFd) {
    termios t{};
    if (tcgetattr(masterFd, &t) != 0) return 0;
    const speed_t s = cfgetospeed(&t);
#ifdef HC06SIM_HAVE_TERMIOS2
    if (s == kernelBother) {
        termios2 t2{};
        if (ioctl(masterFd, TCGETS2, &t2) == 0) return t2.c_ospeed;
        return 0;
    }
#endif
    for (const auto &v : speedValues)
        if (v.constant == s) return v.rate;
    return 0;
}

std::string escapeField(const std::string &bytes) {
    if (bytes == "-") return "\\x2d";
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x21 && c <= 0x7e) {
            out += static_cast<char>(c);
        } else {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

bool allDigits(const std::string &s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

long parseNumber(const char *option, const char *text, long min) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min)
        throw std::invalid_argument(std::string("invalid value for --") + option + ": " + text);
    return v;
}

Options parseOptions(int argc, char **argv) {
    enum {
        oLink = 256, oTranscript, oGap, oLatency, oLifetime, oBaud, oName, oPin, oVersion,
        oSilent, oRefuse, oLate, oGarbage, oNul, oLong, oHangupAfter, oHangupMid, oHelp
    };
    static const option longOptions[] = {
        {"link", required_argument, nullptr, oLink},
        {"transcript", required_argument, nullptr, oTranscript},
        {"gap", required_argument, nullptr, oGap},
        {"latency", required_argument, nullptr, oLatency},
        {"lifetime", required_argument, nullptr, oLifetime},
        {"baud", required_argument, nullptr, oBaud},
        {"name", required_argument, nullptr, oName},
        {"pin", required_argument, nullptr, oPin},
        {"version", required_argument, nullptr, oVersion},
        {"silent", no_argument, nullptr, oSilent},
        {"refuse", no_argument, nullptr, oRefuse},
        {"late", required_argument, nullptr, oLate},
        {"garbage", no_argument, nullptr, oGarbage},
        {"nul", no_argument, nullptr, oNul},
        {"long", no_argument, nullptr, oLong},
        {"hangup-after", required_argument, nullptr, oHangupAfter},
        {"hangup-mid-reply", no_argument, nullptr, oHangupMid},
        {"help", no_argument, nullptr, oHelp},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        switch (c) {
        case oLink: o.link = optarg; break;
        case oTranscript: o.transcript = optarg; break;
        case oGap: o.gapMs = parseNumber("gap", optarg, 1); break;
        case oLatency: o.latencyMs = parseNumber("latency", optarg, 0); break;
        case oLifetime: o.lifetimeS = static_cast<double>(parseNumber("lifetime", optarg, 1)); break;
        case oBaud: {
            const long rate = parseNumber("baud", optarg, 1);
            bool known = false;
            for (const auto &b : baudCodes) known = known || b.rate == static_cast<unsigned long>(rate);
            if (!known) throw std::invalid_argument(std::string("unsupported --baud: ") + optarg);
            o.baud = static_cast<unsigned long>(rate);
            break;
        }
        case oName: o.name = optarg; break;
        case oPin: o.pin = optarg; break;
        case oVersion: o.version = optarg; break;
        case oSilent: o.silent = true; break;
        case oRefuse: o.refuse = true; break;
        case oLate: o.lateMs = parseNumber("late", optarg, 0); break;
        case oGarbage: o.garbage = true; break;
        case oNul: o.nul = true; break;
        case oLong: o.longReplies = true; break;
        case oHangupAfter: o.hangupAfter = parseNumber("hangup-after", optarg, 0); break;
        case oHangupMid: o.hangupMidReply = true; break;
        case oHelp:
            std::fputs(usageText, stdout);
            std::exit(0);
        default:
            throw std::invalid_argument(std::string("unknown or incomplete option: ") +
                                        (optind > 0 && optind <= argc ? argv[optind - 1] : "?"));
        }
    }
    if (optind < argc) throw std::invalid_argument(std::string("unexpected argument: ") + argv[optind]);
    if (int(o.garbage) + int(o.nul) + int(o.longReplies) > 1)
        throw std::invalid_argument("only one of --garbage, --nul and --long may be given");
    return o;
}

// A reply waiting for its time, or being written.
struct Outgoing {
    long long due;
    std::string bytes;
    unsigned long newRate;  // rate to listen at once sent; 0 for no change
    bool last;              // the last reply before a hang-up
    bool started = false;   // sending has begun (garbling decided)
};

class Module {
public:
    explicit Module(const Options &o) : opt_(o), rate_(o.baud), name_(o.name), pin_(o.pin),
                                        rng_(std::random_device{}()) {}

    // The reply to one command and its side effects; empty bytes for none.
    Outgoing answer(const std::string &command, unsigned long speed, long long now) {
        Outgoing out{now + (opt_.lateMs >= 0 ? opt_.lateMs : opt_.latencyMs), "", 0, false};
        if (opt_.silent || speed != rate_ || answered_ >= maxAnswers()) return out;
        if (command.find_first_of("\r\n") != std::string::npos) return out;

        const bool change = command.rfind("AT+NAME", 0) == 0 || command.rfind("AT+PIN", 0) == 0 ||
                            command.rfind("AT+BAUD", 0) == 0;
        std::string reply;
        unsigned long newRate = 0;
        if (command == "AT") {
            reply = "OK";
        } else if (command == "AT+VERSION") {
            reply = "OK" + opt_.version;
        } else if (command.rfind("AT+NAME", 0) == 0 && command.size() > 7) {
            reply = "OKsetname";
            if (!opt_.refuse) name_ = command.substr(7, 20);
        } else if (command.rfind("AT+PIN", 0) == 0 && command.size() == 10 && allDigits(command.substr(6))) {
            reply = "OKsetPIN";
            if (!opt_.refuse) pin_ = command.substr(6);
        } else if (command.rfind("AT+BAUD", 0) == 0 && command.size() == 8) {
            for (const auto &b : baudCodes)
                if (b.code == command[7]) newRate = b.rate;
            if (newRate != 0) reply = "OK" + std::to_string(newRate);
        }
        if (reply.empty()) return out;
        if (change && opt_.refuse) {
            reply = "ERROR";
            newRate = 0;
        }
        out.bytes = shape(reply);
        out.newRate = newRate;
        ++answered_;
        if (opt_.hangupMidReply) out.bytes.resize(std::max<std::size_t>(1, out.bytes.size() / 2));
        out.last = answered_ == maxAnswers();
        return out;
    }

    unsigned long rate() const { return rate_; }
    void setRate(unsigned long r) { rate_ = r; }

private:
    long maxAnswers() const {
        if (opt_.hangupMidReply) return 1;
        return opt_.hangupAfter >= 0 ? opt_.hangupAfter : std::numeric_limits<long>::max();
    }

    std::string shape(const std::string &reply) {
        std::string r = reply;
        if (opt_.longReplies) {
            const std::string filler = "0123456789";
            for (std::size_t i = 0; r.size() < 150; ++i) r += filler[i % filler.size()];
            r.resize(150);
        } else if (opt_.nul) {
            std::string n = r.substr(0, 2) + '\0';
            for (std::size_t i = 2; i < r.size(); ++i) {
                n += r[i];
                if ((i - 2) % 3 == 2 && i + 1 < r.size()) n += '\0';
            }
            r = n;
        } else if (opt_.garbage) {
            std::uniform_int_distribution<int> byte(1, 255);
            for (std::size_t i = 0; i < r.size(); ++i) {
                int b;
                do b = byte(rng_); while (i == 0 && b == 'O');
                r[i] = static_cast<char>(b);
            }
        }
        return r;
    }

    const Options &opt_;
    unsigned long rate_;
    std::string name_;  // kept as the module keeps them; linvor cannot report them
    std::string pin_;
    long answered_ = 0;
    std::mt19937 rng_;
};

class Simulator {
public:
    explicit Simulator(const Options &o) : opt_(o), module_(o), start_(nowMs()) {}

    ~Simulator() {
        hangup();
        if (transcript_) std::fclose(transcript_);
    }

    void setUp() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            throw std::runtime_error(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
        const char *name = ptsname(master_);
        if (!name) throw std::runtime_error(std::string("ptsname: ") + std::strerror(errno));
        slavePath_ = name;
        slave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
        if (slave_ < 0) throw std::runtime_error(slavePath_ + ": " + std::strerror(errno));
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        cfsetspeed(&t, B9600);
        tcsetattr(slave_, TCSANOW, &t);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);

        if (!opt_.transcript.empty()) {
            transcript_ = std::fopen(opt_.transcript.c_str(), "a");
            if (!transcript_) throw std::runtime_error(opt_.transcript + ": " + std::strerror(errno));
        }
        if (!opt_.link.empty()) {
            if (symlink(slavePath_.c_str(), opt_.link.c_str()) != 0)
                throw std::runtime_error(opt_.link + ": " + std::strerror(errno));
            linked_ = true;
        }
        std::printf("%s\n", slavePath_.c_str());
        std::fflush(stdout);
        if (opt_.hangupAfter == 0) hangup();
    }

    void run() {
        const long long end = start_ + static_cast<long long>(opt_.lifetimeS * 1000);
        sigset_t waitMask;
        sigprocmask(SIG_SETMASK, nullptr, &waitMask);
        sigdelset(&waitMask, SIGTERM);
        sigdelset(&waitMask, SIGINT);
        sigdelset(&waitMask, SIGHUP);

        while (!stopRequested) {
            const long long now = nowMs();
            if (now >= end) break;
            if (!pending_.empty() && now - lastByte_ >= opt_.gapMs) recognise(now);
            sendDue(now);
            if (hangupWhenRead_) checkHalfReplyRead(now);

            long long wake = end;
            if (!pending_.empty()) wake = std::min(wake, lastByte_ + opt_.gapMs);
            if (!outgoing_.empty() && !outgoing_.front().started)
                wake = std::min(wake, outgoing_.front().due);
            if (hangupWhenRead_) wake = std::min(wake, nowMs() + 10);  // no event tells of the read
            const long long waitMs = std::max(0LL, wake - nowMs());
            timespec timeout{static_cast<time_t>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000000};

            pollfd pfd{master_, POLLIN, 0};
            if (!outgoing_.empty() && outgoing_.front().started) pfd.events |= POLLOUT;
            const int n = ppoll(master_ >= 0 ? &pfd : nullptr, master_ >= 0 ? 1 : 0, &timeout, &waitMask);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw std::runtime_error(std::string("ppoll: ") + std::strerror(errno));
            }
            if (n > 0 && (pfd.revents & POLLIN)) receive();
            // Not expected while this program holds the slave open; never spin on it.
            if (n > 0 && (pfd.revents & (POLLHUP | POLLERR)) && !(pfd.revents & POLLIN)) {
                const timespec pause{0, 20 * 1000000};
                nanosleep(&pause, nullptr);
            }
            if (n > 0 && (pfd.revents & POLLOUT)) sendDue(nowMs());
        }
    }

    void removeLink() {
        if (linked_) unlink(opt_.link.c_str());
        linked_ = false;
    }

private:
    void receive() {
        char buf[512];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return;
        if (hangupOnNextByte_) {
            hangup();
            return;
        }
        const unsigned long speed = lineSpeed(master_);
        if (!pending_.empty() && speed != pendingSpeed_) recognise(nowMs());
        pending_.append(buf, static_cast<std::size_t>(n));
        pendingSpeed_ = speed;
        lastByte_ = nowMs();
    }

    void recognise(long long now) {
        Outgoing out = module_.answer(pending_, pendingSpeed_, now);
        if (transcript_) {
            std::fprintf(transcript_, "%lld %lu %s %s\n", now - start_, pendingSpeed_,
                         escapeField(pending_).c_str(),
                         out.bytes.empty() ? "-" : escapeField(out.bytes).c_str());
            std::fflush(transcript_);
        }
        pending_.clear();
        if (!out.bytes.empty()) outgoing_.push_back(out);
    }

    void sendDue(long long now) {
        while (master_ >= 0 && !outgoing_.empty() && outgoing_.front().due <= now) {
            Outgoing &o = outgoing_.front();
            if (!o.started) {
                o.started = true;
                // Sent at the module's rate: a line at another speed sees garbage.
                if (lineSpeed(master_) != module_.rate())
                    for (char &c : o.bytes) c = static_cast<char>(static_cast<unsigned char>(c) | 0x80);
            }
            if (!o.bytes.empty()) {
                const ssize_t n = write(master_, o.bytes.data(), o.bytes.size());
                if (n < 0) return;  // EAGAIN: wait for POLLOUT
                o.bytes.erase(0, static_cast<std::size_t>(n));
                if (!o.bytes.empty()) return;
            }
            if (o.newRate != 0) module_.setRate(o.newRate);
            const bool last = o.last;
            outgoing_.pop_front();
            if (last && opt_.hangupMidReply) {
                hangupWhenRead_ = true;
                hangupSent_ = now;
            } else if (last) {
                hangupOnNextByte_ = true;
            }
        }
    }

    // Bytes sent to the client that it has not read yet.
    int unreadBySlave() const {
        int n = 0;
        return slave_ >= 0 && ioctl(slave_, FIONREAD, &n) == 0 ? n : 0;
    }

    // Closing the pty drops unread input, so the half reply is given time to
    // be read. The count lags a little behind the write, hence the 200 ms.
    void checkHalfReplyRead(long long now) {
        const int unread = unreadBySlave();
        seenUnread_ = seenUnread_ || unread > 0;
        if (unread == 0 && (seenUnread_ || now >= hangupSent_ + 200)) hangup();
        else if (now >= hangupSent_ + 2000) hangup();
    }

    // The pty goes away, as a pulled USB adapter does.
    void hangup() {
        hangupWhenRead_ = hangupOnNextByte_ = false;
        removeLink();  // first: whoever sees the hang-up finds the link gone
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
        slave_ = master_ = -1;
        outgoing_.clear();
        pending_.clear();
    }

    const Options &opt_;
    Module module_;
    const long long start_;
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    bool linked_ = false;
    std::FILE *transcript_ = nullptr;
    std::string pending_;
    unsigned long pendingSpeed_ = 0;
    long long lastByte_ = 0;
    std::deque<Outgoing> outgoing_;
    bool hangupOnNextByte_ = false;
    bool hangupWhenRead_ = false;
    long long hangupSent_ = 0;
    bool seenUnread_ = false;
};

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    try {
        opt = parseOptions(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "hc06sim: %s\nTry 'hc06sim --help'.\n", e.what());
        return 2;
    }

    // Signals are taken only inside ppoll, so none is lost between checks.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Simulator sim(opt);
    try {
        sim.setUp();
        sim.run();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "hc06sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
