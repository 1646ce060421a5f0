#include "default_port.h"

std::string findDefaultPort(const std::vector<serial::PortInfo>& ports) {
  for (const serial::PortInfo& p : ports) {
    if (p.description.find("USB") != std::string::npos ||
        p.hardwareId.find("USB") != std::string::npos) {
      return p.port;
    }
  }
  return "";
}

std::string findDefaultPort() { return findDefaultPort(serial::listPorts()); }
