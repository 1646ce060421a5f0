// Portable serial port library: one Serial class over a per-platform back end
// (POSIX termios or Win32 communications functions), chosen when the library
// is built.
//
// Threading: one reader and one writer may work at once on separate threads;
// reads hold the port's read lock, writes its write lock.  Opening, closing,
// settings, modem lines and breaks take no lock and must not race with them.
#ifndef SERIAL_SERIAL_H
#define SERIAL_SERIAL_H

#include <cstddef>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace serial {

// Line settings.  The numbers are fixed: back ends count bits with them.
enum class ByteSize : int { Five = 5, Six = 6, Seven = 7, Eight = 8 };
enum class Parity : int { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
// OnePointFive is one and a half stop bits, not three.
enum class StopBits : int { One = 1, Two = 2, OnePointFive = 3 };
enum class FlowControl : int { None = 0, Software = 1, Hardware = 2 };

// Timeouts in milliseconds.  A read of n bytes may take
// readTimeoutConstant + readTimeoutMultiplier * n, a write likewise; the
// interByteTimeout bounds each single wait for the next byte.
struct Timeout {
  static constexpr uint32_t unlimited = 4294967295u;

  constexpr Timeout(uint32_t interByte = 0, uint32_t readConstant = 0,
                    uint32_t readMultiplier = 0, uint32_t writeConstant = 0,
                    uint32_t writeMultiplier = 0)
      : interByteTimeout(interByte),
        readTimeoutConstant(readConstant),
        readTimeoutMultiplier(readMultiplier),
        writeTimeoutConstant(writeConstant),
        writeTimeoutMultiplier(writeMultiplier) {}

  uint32_t interByteTimeout;
  uint32_t readTimeoutConstant;
  uint32_t readTimeoutMultiplier;
  uint32_t writeTimeoutConstant;
  uint32_t writeTimeoutMultiplier;
};

// "SerialException <description> failed."
class SerialException : public std::exception {
 public:
  explicit SerialException(const std::string& description);
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// "IO Exception (<errno>): <strerror>, file <file>, line <line>."  or
// "IO Exception: <description>, file <file>, line <line>."
class IOException : public std::exception {
 public:
  IOException(const std::string& file, int line, int errorNumber);
  IOException(const std::string& file, int line, const std::string& description);
  const char* what() const noexcept override { return message_.c_str(); }
  int getErrorNumber() const noexcept { return errorNumber_; }
  const std::string& getFile() const noexcept { return file_; }
  int getLine() const noexcept { return line_; }

 private:
  std::string file_;
  int line_;
  std::string message_;
  int errorNumber_;
};

// "PortNotOpenedException <description> failed."
class PortNotOpenedException : public std::exception {
 public:
  explicit PortNotOpenedException(const std::string& description);
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

class Serial {
 public:
  // Opens the port at once when `port` is not empty.
  explicit Serial(const std::string& port = "", uint32_t baudrate = 9600,
                  Timeout timeout = Timeout(), ByteSize bytesize = ByteSize::Eight,
                  Parity parity = Parity::None, StopBits stopbits = StopBits::One,
                  FlowControl flowcontrol = FlowControl::None);
  // Closes the port if it is open; never throws.
  virtual ~Serial();

  Serial(const Serial&) = delete;
  Serial& operator=(const Serial&) = delete;

  void open();
  void close();
  bool isOpen() const;

  // Bytes received and not yet read; 0 on a closed port.
  size_t available();
  // True when bytes can be read within readTimeoutConstant milliseconds.
  bool waitReadable();
  // Sleeps for the time `count` characters take on the line.
  void waitByteTimes(size_t count);

  // Reads at most `size` bytes; fewer (down to 0) when the budget ends.
  size_t read(uint8_t* buffer, size_t size);
  size_t read(std::vector<uint8_t>& buffer, size_t size = 1);
  size_t read(std::string& buffer, size_t size = 1);
  std::string read(size_t size = 1);

  // Reads one byte at a time up to and including `eol`, at most `size` bytes,
  // so bytes of the next line stay in the device.  Appends to `buffer`.
  size_t readline(std::string& buffer, size_t size = 65536, const std::string& eol = "\n");
  std::string readline(size_t size = 65536, const std::string& eol = "\n");
  // Up to `size` bytes split into lines, each with its `eol`; the last line
  // may lack it when the device fell silent or `size` was reached.
  std::vector<std::string> readlines(size_t size = 65536, const std::string& eol = "\n");

  size_t write(const uint8_t* data, size_t size);
  size_t write(const std::vector<uint8_t>& data);
  size_t write(const std::string& data);

  // On an open port: close, rename, open again.
  void setPort(const std::string& port);
  std::string getPort() const;

  void setTimeout(const Timeout& timeout);
  Timeout getTimeout() const;

  // Setters store the value, then apply all settings when the port is open.
  void setBaudrate(uint32_t baudrate);
  uint32_t getBaudrate() const;
  void setBytesize(ByteSize bytesize);
  ByteSize getBytesize() const;
  void setParity(Parity parity);
  Parity getParity() const;
  void setStopbits(StopBits stopbits);
  StopBits getStopbits() const;
  void setFlowcontrol(FlowControl flowcontrol);
  FlowControl getFlowcontrol() const;

  // Returns once written data has been sent.
  void flush();
  void flushInput();
  void flushOutput();
  void sendBreak(int duration);
  void setBreak(bool level = true);
  void setRTS(bool level = true);
  void setDTR(bool level = true);
  // Blocks until CTS, DSR, RI or CD changes.
  bool waitForChange();
  bool getCTS();
  bool getDSR();
  bool getRI();
  bool getCD();

 private:
  class SerialImpl;
  class ReadGuard;
  class WriteGuard;
  SerialImpl* pimpl_;
};

// One serial port of the machine.
struct PortInfo {
  std::string port;         // device path (/dev/ttyUSB0) or port name (COM3)
  std::string description;  // readable name
  std::string hardwareId;   // "USB VID:PID=..." for USB devices on Linux
};

// The machine's serial ports in enumeration order.  Reports no errors for
// missing or unreadable device entries.
std::vector<PortInfo> listPorts();

}  // namespace serial

#endif  // SERIAL_SERIAL_H
