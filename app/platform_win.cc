#include <windows.h>

#include "linvor.h"
#include "platform.h"

// Device names go to CreateFileW as \\.\COMn, which also reaches COM10 and up.
std::string libraryPortName(const std::string& port) { return "\\\\.\\" + port; }

const char* const documentationLine = "Please see the readme.txt for full documentation.";

void msleep(int ms) {
  if (ms > 0) Sleep(static_cast<DWORD>(ms));
}
