// The program's own command-line texts: help, version, parse errors, the port
// table of --detect-ports, and the checks on PIN and name.
#ifndef BTSETTER_OUTPUT_H
#define BTSETTER_OUTPUT_H

#include <ostream>
#include <string>
#include <vector>

#include <tclap/CmdLine.h>

#include "serial/serial.h"

// Replaces TCLAP's output: nothing is wrapped, every line is written whole.
class MyOutput : public TCLAP::StdOutput {
 public:
  ~MyOutput() override = default;
  void usage(TCLAP::CmdLineInterface& c) override;
  void version(TCLAP::CmdLineInterface& c) override;
  // Writes the error report to standard error and exits with status 1.
  void failure(TCLAP::CmdLineInterface& c, TCLAP::ArgException& e) override;
};

// --detect-ports: prints the port table and exits with status 0.
class DetectPortsVisitor : public TCLAP::Visitor {
 public:
  ~DetectPortsVisitor() override = default;
  void visit() override;
};

class PinConstraint : public TCLAP::Constraint<std::string> {
 public:
  std::string description() const override;
  std::string shortID() const override;
  bool check(const std::string& value) const override;
  ~PinConstraint() override = default;
};

class NameConstraint : public TCLAP::Constraint<std::string> {
 public:
  std::string description() const override;
  std::string shortID() const override;
  bool check(const std::string& value) const override;
  ~NameConstraint() override = default;
};

// The lines of the help text, of the error report and of the port table, as
// plain values.
std::string versionLine();
std::vector<std::string> argumentLines(const std::list<TCLAP::Arg*>& args);
std::vector<std::string> usageLines(const std::string& programName,
                                    const std::list<TCLAP::Arg*>& args);
std::vector<std::string> failureLines(const std::string& programName, const std::string& argId,
                                      const std::string& error);
std::vector<std::string> portTableLines(const std::vector<serial::PortInfo>& ports);

// Writes each line followed by a newline, and flushes.
void writeLines(std::ostream& out, const std::vector<std::string>& lines);

#endif  // BTSETTER_OUTPUT_H
