#include "impl/list_ports_linux.h"

#include <glob.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <utility>

namespace serial {
namespace detail {

namespace {

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
using CBuffer = std::unique_ptr<char, FreeDeleter>;

// Owns a glob_t from the first glob() call on; zeroed so that a first call
// that matches nothing still leaves a structure GLOB_APPEND can extend.
class GlobResult {
 public:
  GlobResult() = default;
  ~GlobResult() { globfree(&glob_); }
  GlobResult(const GlobResult&) = delete;
  GlobResult& operator=(const GlobResult&) = delete;
  glob_t* get() { return &glob_; }

 private:
  glob_t glob_{};
};

// Compares the first six characters only: shorter names never match.
bool startsWith6(const std::string& name, const char* prefix) {
  return name.compare(0, 6, prefix) == 0;
}

// Backslash before each character glob() would otherwise interpret.
std::string escapeGlob(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace

const std::vector<std::string> devicePatterns = {
    "/dev/ttyACM*", "/dev/ttyS*", "/dev/ttyUSB*", "/dev/tty.*", "/dev/cu.*", "/dev/ttyAMA*",
};

std::vector<std::string> expandDevicePatterns(const std::vector<std::string>& patterns) {
  GlobResult result;
  int flags = 0;
  for (const std::string& pattern : patterns) {
    // A pattern without matches or a failing call adds nothing.
    glob(pattern.c_str(), flags, nullptr, result.get());
    flags = GLOB_APPEND;
  }
  std::vector<std::string> paths;
  const glob_t* g = result.get();
  paths.reserve(g->gl_pathc);
  for (size_t i = 0; i < g->gl_pathc; ++i) paths.emplace_back(g->gl_pathv[i]);
  return paths;
}

std::vector<PortInfo> listPortsUnder(const std::string& root) {
  std::vector<std::string> patterns;
  const std::string escapedRoot = escapeGlob(root);
  for (const std::string& pattern : devicePatterns) patterns.push_back(escapedRoot + pattern);

  std::vector<PortInfo> ports;
  for (const std::string& path : expandDevicePatterns(patterns)) {
    PortDetails details = sysfsPortDetails(path, root);
    // glob returns the literal directory part as given, so every path starts
    // with root.
    ports.push_back(PortInfo{path.substr(root.size()), std::move(details.description),
                             std::move(details.hardwareId)});
  }
  return ports;
}

PortDetails sysfsPortDetails(const std::string& devicePath, const std::string& root) {
  const std::string name = lastPathComponent(devicePath);
  const std::string dir = formatText("%s/sys/class/tty/%s/device", root.c_str(), name.c_str());
  PortDetails details;

  // device links to the port below the USB interface (ttyUSB) or to the
  // interface itself (ttyACM); the attribute files live in the USB device
  // above.  realpath's result is absolute and already contains root.
  std::string usbDir;
  bool usb = true;
  if (startsWith6(name, "ttyUSB")) {
    usbDir = parentPath(parentPath(resolvePath(dir)));
  } else if (startsWith6(name, "ttyACM")) {
    usbDir = parentPath(resolvePath(dir));
  } else {
    usb = false;
  }

  if (usb) {
    if (pathExists(usbDir)) {
      details.description = usbDescription(usbDir);
      details.hardwareId = usbHardwareId(usbDir);
    }
  } else {
    const std::string idPath = dir + "/id";
    if (pathExists(idPath)) details.hardwareId = readFirstLine(idPath);
  }

  if (details.description.empty()) details.description = name;
  if (details.hardwareId.empty()) details.hardwareId = "n/a";
  return details;
}

std::string usbDescription(const std::string& usbDeviceDir) {
  const std::string manufacturer = readFirstLine(usbDeviceDir + "/manufacturer");
  const std::string product = readFirstLine(usbDeviceDir + "/product");
  const std::string serialNumber = readFirstLine(usbDeviceDir + "/serial");
  if (manufacturer.empty() && product.empty() && serialNumber.empty()) return {};
  return formatText("%s %s %s", manufacturer.c_str(), product.c_str(), serialNumber.c_str());
}

std::string usbHardwareId(const std::string& usbDeviceDir) {
  const std::string serialNumber = readFirstLine(usbDeviceDir + "/serial");
  const std::string snr = serialNumber.empty() ? std::string() : formatText("SNR=%s", serialNumber.c_str());
  const std::string vendor = readFirstLine(usbDeviceDir + "/idVendor");
  const std::string productId = readFirstLine(usbDeviceDir + "/idProduct");
  return formatText("USB VID:PID=%s:%s %s", vendor.c_str(), productId.c_str(), snr.c_str());
}

std::string readFirstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (file) std::getline(file, line);
  return line;
}

std::string formatText(const char* format, ...) {
  size_t size = 256;
  CBuffer buffer(static_cast<char*>(std::malloc(size)));
  if (!buffer) return {};

  va_list args;
  va_start(args, format);
  std::string text;
  for (int attempt = 0; attempt < 6; ++attempt) {
    va_list attemptArgs;
    va_copy(attemptArgs, args);
    const int length = std::vsnprintf(buffer.get(), size, format, attemptArgs);
    va_end(attemptArgs);
    if (length < 0) break;
    if (static_cast<size_t>(length) < size) {
      text.assign(buffer.get(), static_cast<size_t>(length));
      break;
    }
    size = static_cast<size_t>(length) + 1;
    char* grown = static_cast<char*>(std::realloc(buffer.get(), size));
    if (grown == nullptr) break;  // the old buffer is still owned and freed
    buffer.release();
    buffer.reset(grown);
  }
  va_end(args);
  return text;
}

std::string lastPathComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string resolvePath(const std::string& path) {
  const CBuffer resolved(realpath(path.c_str(), nullptr));
  return resolved ? std::string(resolved.get()) : std::string();
}

bool pathExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

}  // namespace detail

std::vector<PortInfo> listPorts() { return detail::listPortsUnder(""); }

}  // namespace serial
