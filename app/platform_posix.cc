#include <errno.h>
#include <time.h>

#include "linvor.h"
#include "platform.h"

std::string libraryPortName(const std::string& port) { return port; }

const char* const documentationLine = "Please see the btsetter(1) man page for full documentation.";

void msleep(int ms) {
  if (ms <= 0) return;
  timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}
