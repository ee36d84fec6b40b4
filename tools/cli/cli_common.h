// What the changing commands of teliox-cli share: waiting for the scan
// cycles of the discovery threads that find the cameras first, and the
// message of a failed command.
#pragma once

#include "discovery/scan_threads.h"

#include <string>

// Prints "teliox-cli COMMAND: MESSAGE" to stderr and returns `code`, the exit status.
int CliFail(const char* command, int code, const std::string& message);

// Waits for the discovery threads to finish `cycles` scan cycles since their
// start; bounded, so a stuck scan ends the command instead of hanging it.
bool WaitForCycles(const CDiscoveryThreads& discovery, unsigned cycles);
