// What differs between the Linux and the Windows program; each build links
// one implementation.
#ifndef BTSETTER_PLATFORM_H
#define BTSETTER_PLATFORM_H

#include <string>

// The name the serial library opens for a port the user named.
std::string libraryPortName(const std::string& port);

// The help text's pointer to the full documentation.
extern const char* const documentationLine;

#endif  // BTSETTER_PLATFORM_H
