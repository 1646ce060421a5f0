// Linux port enumeration: device nodes under /dev matched by fixed patterns,
// described from the kernel's sysfs tree under /sys/class/tty.  Internal to
// the serial library; serial::listPorts() is the public entry point.
//
// Nothing here opens a device or changes the system, and nothing reports
// errors: a missing or unreadable entry only shortens the list or leaves the
// fallbacks ("n/a", the device name).  Only std::bad_alloc can leave.
// Runs on the calling thread; keeps no state between calls, takes no locks.
#ifndef SERIAL_IMPL_LIST_PORTS_LINUX_H
#define SERIAL_IMPL_LIST_PORTS_LINUX_H

#include <string>
#include <vector>

#include "serial/serial.h"

namespace serial::detail {

// The glob patterns, in the order their matches are listed.
extern const std::vector<std::string> devicePatterns;

// What sysfs says about one device node.
struct PortDetails {
  std::string description;
  std::string hardwareId;
};

// Whole enumeration with every absolute path ("/dev/...", "/sys/class/tty/...")
// prefixed by `root`; "" is the real system.  Glob metacharacters in `root`
// are escaped, so any directory may serve as a fake root.  The `port` of each
// record has the root prefix taken off again: a node found at
// <root>/dev/ttyUSB0 is reported as "/dev/ttyUSB0".
std::vector<PortInfo> listPortsUnder(const std::string& root);

// Matches of each pattern in turn, each pattern's matches sorted by glob
// (byte order in the C locale) and appended; nothing filtered or merged.
std::vector<std::string> expandDevicePatterns(const std::vector<std::string>& patterns);

// Description and hardware id of the node at `devicePath`, read from
// <root>/sys/class/tty/<name>/device; never empty (fallbacks applied).
PortDetails sysfsPortDetails(const std::string& devicePath, const std::string& root = "");

// "<manufacturer> <product> <serial>" of a USB device directory; empty when
// all three attributes are missing or empty.
std::string usbDescription(const std::string& usbDeviceDir);
// "USB VID:PID=<idVendor>:<idProduct> SNR=<serial>", or with nothing after
// the blank when there is no serial number.  Never empty.
std::string usbHardwareId(const std::string& usbDeviceDir);

// First line of a text file without its newline (a CR stays); empty when the
// file cannot be opened or read.
std::string readFirstLine(const std::string& path);

// printf-style formatting of any length; empty text when formatting fails.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text after the last '/'; the whole path when it has none.
std::string lastPathComponent(const std::string& path);
// Text before the last '/'; "/" when that is the first character; the path
// unchanged when it has no '/'.  Never ".", no special case for a trailing '/'.
std::string parentPath(const std::string& path);
// Canonical absolute path with symlinks resolved; empty when it does not resolve.
std::string resolvePath(const std::string& path);
// Whether stat() succeeds (symlinks followed).
bool pathExists(const std::string& path);

}  // namespace serial::detail

#endif  // SERIAL_IMPL_LIST_PORTS_LINUX_H
