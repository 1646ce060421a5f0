// btsetter: reads the firmware version of an HC-04/HC-06 module and sets its
// name, PIN and baud rate, in that order.
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <tclap/CmdLine.h>

#include "default_port.h"
#include "linvor.h"
#include "output.h"
#include "platform.h"

namespace {

// Announces a slow step: visible while the step waits for the module.
void announce(const std::string& text) { std::cout << text << std::flush; }

}  // namespace

int main(int argc, char** argv) {
  try {
    MyOutput output;
    DetectPortsVisitor detectPortsVisitor;
    PinConstraint pinConstraint;
    NameConstraint nameConstraint;

    TCLAP::CmdLine cmd("HC04/06 bluetooth module configuration tool", ' ', "1.0");
    cmd.setOutput(&output);

    TCLAP::SwitchArg detectPorts("", "detect-ports", "Displays available serial ports and exits",
                                 cmd, false, &detectPortsVisitor);
    std::vector<uint32_t> rates = supportedBaudrates;
    std::sort(rates.begin(), rates.end());
    TCLAP::ValuesConstraint<uint32_t> rateConstraint(rates);
    TCLAP::ValueArg<uint32_t> setBaudArg("", "set-baud", "Sets new serial baud rate", false, 0,
                                         &rateConstraint, cmd);
    TCLAP::ValueArg<std::string> setPinArg("", "set-pin", "Sets new pairing PIN", false, "",
                                           &pinConstraint, cmd);
    TCLAP::ValueArg<std::string> setNameArg("", "set-name", "Sets new bluetooth device name",
                                            false, "", &nameConstraint, cmd);
    TCLAP::ValueArg<uint32_t> baudArg("b", "baud", "Serial port baud rate", false, 0,
                                      &rateConstraint, cmd);
    TCLAP::ValueArg<std::string> portArg("p", "port", "Serial port device", false, "", "PORT",
                                         cmd);

    cmd.parse(argc, argv);

    std::string port = portArg.getValue();
    uint32_t baud = baudArg.getValue();

    if (port.empty()) {
      port = findDefaultPort();
      if (port.empty()) {
        std::cerr << "Error: No serial ports found." << std::endl;
        std::exit(1);
      }
      std::cout << "No port given. Using " << port << std::endl;
    }

    if (baud == 0) {
      announce("No baud rate given. Autodetecting... ");
      baud = detectBaudrate(libraryPortName(port));
      if (baud == 0) {
        std::cout << "Failure. Unable to communicate with module." << std::endl;
        std::exit(1);
      }
      std::cout << baud << std::endl;
    }

    const std::string newName = setNameArg.getValue();
    const std::string newPin = setPinArg.getValue();
    const uint32_t newBaud = setBaudArg.getValue();

    LinvorConf module(libraryPortName(port), baud);
    const std::string version = module.getVersion();
    std::cout << "Version: " << version << std::endl;

    try {
      if (!newName.empty()) {
        announce("Setting name... ");
        module.setName(newName);
        std::cout << "done." << std::endl;
      }
      if (!newPin.empty()) {
        announce("Setting PIN... ");
        module.setPin(newPin);
        std::cout << "done." << std::endl;
      }
      if (newBaud != 0) {
        announce("Setting baud rate... ");
        module.setBaud(newBaud);
        std::cout << "done." << std::endl;
      }
    } catch (const tunrigException& e) {
      std::cerr << e.what() << std::endl;
      std::exit(1);
    }
    return 0;
  } catch (const TCLAP::ArgException& e) {
    std::cerr << "error: " << e.error() << " for argument " << e.argId() << std::endl;
    std::exit(2);
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << std::endl;
    std::exit(2);
  }
}
