// Plain rules of the POSIX back end: settings to termios fields, character
// times and deadlines.  No system calls besides the clock, so tests call them
// with values.
#ifndef SERIAL_IMPL_UNIX_H
#define SERIAL_IMPL_UNIX_H

#include <termios.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "serial/serial.h"

namespace serial {
namespace detail {

// The speed constant of one of the 29 standard rates; false for any other
// rate, which then needs the driver's custom divisor.
bool standardSpeed(uint32_t baudrate, speed_t* speed);

// Raw mode: no echo, no signals, no line editing, no output processing, no
// input translation.
void applyRawMode(termios& tio);

// Data bits, stop bits and parity; throws std::invalid_argument for values
// outside the enumerations and then leaves `tio` untouched.
void applyFraming(termios& tio, ByteSize bytesize, StopBits stopbits, Parity parity);

// XON/XOFF or RTS/CTS.  An unknown value keeps the previous flow state.
void applyFlowControl(termios& tio, FlowControl flowcontrol, bool& xonxoff, bool& rtscts);

// Nanoseconds one character frame takes (start bit, data, parity, stop bits).
uint32_t byteTimeNs(uint32_t baudrate, ByteSize bytesize, Parity parity, StopBits stopbits);

// A wait of `ms` milliseconds as a timespec.
timespec millisecondsToTimespec(uint32_t ms);
// The time `count` characters of `byteTimeNs` take, without overflow.
timespec byteTimesToTimespec(size_t count, uint32_t byteTimeNs);

// "<fixed text><errno> <strerror>" for the modem-line failures.
std::string modemFailureText(const char* fixedText, int errorNumber);

// A point in time on the monotonic clock: a wall-clock step must neither end
// a transfer early nor stretch it.
class Deadline {
 public:
  explicit Deadline(uint32_t ms);
  // Whole milliseconds left, truncated; 0 or negative once passed.
  int64_t remainingMs() const;

 private:
  timespec end_;
};

}  // namespace detail
}  // namespace serial

#endif  // SERIAL_IMPL_UNIX_H
