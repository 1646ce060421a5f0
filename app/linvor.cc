#include "linvor.h"

namespace {

constexpr int kReplyWaitMs = 200;
constexpr size_t kReplyBytes = 100;
constexpr int kProbeWaitMs = 100;
constexpr size_t kProbeReplyBytes = 10;

// One second for any read or write; the inter-byte wait is not limited.
const serial::Timeout kPortTimeout(serial::Timeout::unlimited, 1000, 0, 1000, 0);

bool beginsWithOK(const std::string& reply) { return reply.compare(0, 2, "OK") == 0; }

}  // namespace

const std::vector<uint32_t> supportedBaudrates = {9600,  115200, 19200,  57600,  38400,  4800,
                                                  2400,  1200,   230400, 460800, 921600, 1382400};

const std::vector<std::pair<uint32_t, char>> baudCodes = {
    {1200, '1'},   {2400, '2'},   {4800, '3'},   {9600, '4'},   {19200, '5'},  {38400, '6'},
    {57600, '7'},  {115200, '8'}, {230400, '9'}, {460800, 'A'}, {921600, 'B'}, {1382400, 'C'},
};

int settleTime(const std::string& portName) {
  return portName.find("AMA") != std::string::npos ? 1200 : 200;
}

tunrig::tunrig(const std::string& portName, uint32_t baudrate)
    : serialPort("", 9600, serial::Timeout(), serial::ByteSize::Eight, serial::Parity::None,
                 serial::StopBits::One, serial::FlowControl::None),
      portName(portName),
      baudrate(baudrate) {}

void tunrig::openPort() {
  if (serialPort.isOpen()) return;
  serialPort.setPort(portName);
  serialPort.setBaudrate(baudrate);
  serialPort.setTimeout(kPortTimeout);
  serialPort.open();
  msleep(settleTime(portName));
}

std::string tunrig::sendCommand(const std::string& command) {
  openPort();
  serialPort.write(command);
  // The module takes a command once the line has been silent for a while.
  msleep(kReplyWaitMs);
  return serialPort.read(kReplyBytes);
}

void LinvorConf::checkReply(const std::string& reply) {
  if (!beginsWithOK(reply)) throw tunrigException("Error: " + reply);
}

std::string LinvorConf::getVersion() {
  std::string reply = sendCommand("AT+VERSION");
  return beginsWithOK(reply) ? reply.substr(2) : reply;
}

void LinvorConf::setName(const std::string& name) { checkReply(sendCommand("AT+NAME" + name)); }

void LinvorConf::setPin(const std::string& pin) { checkReply(sendCommand("AT+PIN" + pin)); }

void LinvorConf::setBaud(uint32_t rate) {
  for (const auto& code : baudCodes) {
    if (code.first == rate) {
      checkReply(sendCommand(std::string("AT+BAUD") + code.second));
      return;
    }
  }
  throw tunrigException("Error: Incorrect baud value.");
}

uint32_t detectBaudrate(const std::string& portName) {
  serial::Serial probe("", 9600, serial::Timeout(), serial::ByteSize::Eight, serial::Parity::None,
                       serial::StopBits::One, serial::FlowControl::None);
  probe.setPort(portName);
  probe.setTimeout(kPortTimeout);
  for (uint32_t rate : supportedBaudrates) {
    probe.setBaudrate(rate);
    probe.open();
    msleep(settleTime(portName));
    probe.write("AT");
    msleep(kProbeWaitMs);
    if (beginsWithOK(probe.read(kProbeReplyBytes))) return rate;
    probe.close();
  }
  return 0;
}
