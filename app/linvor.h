// The conversation with an HC-04/HC-06 module (linvor firmware) in AT mode:
// one command, a fixed wait, then whatever came back within one second.
#ifndef BTSETTER_LINVOR_H
#define BTSETTER_LINVOR_H

#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "serial/serial.h"

// A change the module refused, or a rate it has no code for.
class tunrigException : public std::exception {
 public:
  explicit tunrigException(std::string message) : message(std::move(message)) {}
  ~tunrigException() override = default;
  const char* what() const noexcept override { return message.c_str(); }

 private:
  std::string message;
};

// The rates the program knows, in the order the probe tries them.
extern const std::vector<uint32_t> supportedBaudrates;

// Rate -> the character that follows "AT+BAUD".
extern const std::vector<std::pair<uint32_t, char>> baudCodes;

// Blocks the calling thread for `ms` milliseconds.
void msleep(int ms);

// Milliseconds a module needs after its port was opened; on-board UARTs of a
// Raspberry Pi (ttyAMA*) need longer.
int settleTime(const std::string& portName);

// A module on a port; the port opens with the first command and stays open.
class tunrig {
 public:
  tunrig(const std::string& portName, uint32_t baudrate);
  virtual ~tunrig() = default;

  tunrig(const tunrig&) = delete;
  tunrig& operator=(const tunrig&) = delete;

  virtual std::string getVersion() = 0;
  virtual void setPin(const std::string& pin) = 0;
  virtual void setName(const std::string& name) = 0;
  virtual void setBaud(uint32_t baudrate) = 0;

  void openPort();
  // Writes `command` as it is (no terminator), waits, returns the reply.
  std::string sendCommand(const std::string& command);

 protected:
  serial::Serial serialPort;
  std::string portName;
  uint32_t baudrate;
};

// The linvor firmware's AT command set.
class LinvorConf : public tunrig {
 public:
  using tunrig::tunrig;

  std::string getVersion() override;
  void setPin(const std::string& pin) override;
  void setName(const std::string& name) override;
  void setBaud(uint32_t baudrate) override;

  // Throws tunrigException("Error: " + reply) unless the reply begins "OK".
  void checkReply(const std::string& reply);
};

// The rate at which the module on `portName` answers "AT" with "OK", or 0.
uint32_t detectBaudrate(const std::string& portName);

#endif  // BTSETTER_LINVOR_H
