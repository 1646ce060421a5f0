#include "output.h"

#include <cstdlib>
#include <iostream>

#include "platform.h"

namespace {

const char* const kProjectPage = "https://btsetter.example.org";
const char* const kNotice =
    "Free software under the MIT licence, provided without warranty of any kind.";

}  // namespace

std::string versionLine() { return std::string("HC04/06 bluettoth module configurator") + ", version " + "1.0"; }

std::vector<std::string> argumentLines(const std::list<TCLAP::Arg*>& args) {
  // Built from the parts rather than from TCLAP's longID, which shows the
  // value twice for an argument with a flag; TCLAP's own "--" (ignore the
  // rest) stays out of the list.
  std::vector<std::string> lines;
  for (const TCLAP::Arg* arg : args) {
    if (arg->getName() == TCLAP::Arg::ignoreNameString()) continue;
    std::string line = " ";
    if (!arg->getFlag().empty()) line += TCLAP::Arg::flagStartString() + arg->getFlag() + ",  ";
    line += TCLAP::Arg::nameStartString() + arg->getName();
    if (arg->isValueRequired()) {
      // A value argument's longID ends in "--name <type text>".
      std::string id = arg->longID();
      std::string marker = TCLAP::Arg::nameStartString() + arg->getName() +
                           std::string(1, TCLAP::Arg::delimiter());
      line += id.substr(id.rfind(marker) + marker.size() - 1);
    }
    line += "  (" + arg->getDescription() + ")";
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> usageLines(const std::string& programName,
                                    const std::list<TCLAP::Arg*>& args) {
  std::vector<std::string> lines = {
      versionLine(), kNotice, "", "Usage: " + programName + " [options] ", "", "Options",
  };
  for (const std::string& line : argumentLines(args)) lines.push_back(line);
  lines.insert(lines.end(), {"", documentationLine,
                             std::string("Visit ") + kProjectPage + " for updates and bug reports.",
                             "", "", "DISCLAIMER"});
  return lines;
}

std::vector<std::string> failureLines(const std::string& programName, const std::string& argId,
                                      const std::string& error) {
  return {
      "PARSE ERROR: " + argId,
      std::string(13, ' ') + error,
      "",
      "",
      "For USAGE and HELP type: ",
      "   " + programName + " " + TCLAP::Arg::nameStartString() + "help",
      "",
  };
}

std::vector<std::string> portTableLines(const std::vector<serial::PortInfo>& ports) {
  std::vector<std::string> lines = {"Port\tDescription\tHardware", "====\t===========\t========"};
  for (const serial::PortInfo& p : ports) {
    lines.push_back(p.port + "\t" + p.description + "\t" + p.hardwareId);
  }
  return lines;
}

void writeLines(std::ostream& out, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) out << line << std::endl;
}

void MyOutput::version(TCLAP::CmdLineInterface&) { writeLines(std::cout, {versionLine()}); }

void MyOutput::usage(TCLAP::CmdLineInterface& c) {
  version(c);
  std::vector<std::string> lines = usageLines(c.getProgramName(), c.getArgList());
  lines.erase(lines.begin());  // the version line, written above
  writeLines(std::cout, lines);
}

void MyOutput::failure(TCLAP::CmdLineInterface& c, TCLAP::ArgException& e) {
  writeLines(std::cerr, failureLines(c.getProgramName(), e.argId(), e.error()));
  std::exit(1);
}

void DetectPortsVisitor::visit() {
  writeLines(std::cout, portTableLines(serial::listPorts()));
  std::exit(0);
}

std::string PinConstraint::description() const {
  return "PIN must contain exactly four decimal digits";
}
std::string PinConstraint::shortID() const { return "PIN"; }
bool PinConstraint::check(const std::string& value) const {
  return value.size() == 4 && value.find_first_not_of("0123456789") == std::string::npos;
}

std::string NameConstraint::description() const { return "Name must contain 20 or fewer bytes"; }
std::string NameConstraint::shortID() const { return "NAME"; }
bool NameConstraint::check(const std::string& value) const {
  return !value.empty() && value.size() <= 20;
}
