// The back-end contract: every platform's SerialImpl implements exactly these
// operations; Serial forwards to them.  Only the state differs per platform.
#ifndef SERIAL_IMPL_SERIAL_IMPL_H
#define SERIAL_IMPL_SERIAL_IMPL_H

#include <string>

#include "serial/serial.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace serial {

class Serial::SerialImpl {
 public:
  SerialImpl(const std::string& port, uint32_t baudrate, ByteSize bytesize, Parity parity,
             StopBits stopbits, FlowControl flowcontrol);
  virtual ~SerialImpl();

  SerialImpl(const SerialImpl&) = delete;
  SerialImpl& operator=(const SerialImpl&) = delete;

  void open();
  void close();
  bool isOpen() const;

  size_t available();
  bool waitReadable(uint32_t timeoutMs);
  void waitByteTimes(size_t count);

  size_t read(uint8_t* buffer, size_t size);
  size_t write(const uint8_t* data, size_t length);

  void setPort(const std::string& port);
  std::string getPort() const;
  void setTimeout(const Timeout& timeout);
  Timeout getTimeout() const;
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

  void flush();
  void flushInput();
  void flushOutput();
  void sendBreak(int duration);
  void setBreak(bool level);
  void setRTS(bool level);
  void setDTR(bool level);
  bool waitForChange();
  bool getCTS();
  bool getDSR();
  bool getRI();
  bool getCD();

  void readLock();
  void readUnlock();
  void writeLock();
  void writeUnlock();

 private:
  void reconfigurePort();

#if defined(_WIN32)
  // Owns a Win32 handle (a HANDLE, kept as void* so that no Windows header
  // is needed here) and closes it when destroyed.
  class OwnedHandle {
   public:
    explicit OwnedHandle(void* handle) noexcept : handle_(handle) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    void* get() const noexcept { return handle_; }
    void reset() noexcept;

   private:
    void* handle_;
  };

  std::wstring port_;
  void* fd_;  // HANDLE; INVALID_HANDLE_VALUE while closed
  bool isOpen_;
  Timeout timeout_;
  uint32_t baudrate_;
  Parity parity_;
  ByteSize bytesize_;
  StopBits stopbits_;
  FlowControl flowcontrol_;
  OwnedHandle readMutex_;
  OwnedHandle writeMutex_;
#else
  bool modemBit(int bit, const char* failureText);

  std::string port_;
  int fd_;
  bool isOpen_;
  bool xonxoff_;
  bool rtscts_;
  Timeout timeout_;
  uint32_t baudrate_;
  uint32_t byteTimeNs_;
  Parity parity_;
  ByteSize bytesize_;
  StopBits stopbits_;
  FlowControl flowcontrol_;
  pthread_mutex_t readMutex_;
  pthread_mutex_t writeMutex_;
#endif
};

}  // namespace serial

#endif  // SERIAL_IMPL_SERIAL_IMPL_H
