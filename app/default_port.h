#ifndef BTSETTER_DEFAULT_PORT_H
#define BTSETTER_DEFAULT_PORT_H

#include <string>
#include <vector>

#include "serial/serial.h"

// The first port whose description or hardware id mentions "USB", or "".
std::string findDefaultPort(const std::vector<serial::PortInfo>& ports);
std::string findDefaultPort();

#endif  // BTSETTER_DEFAULT_PORT_H
