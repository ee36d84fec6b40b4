// What the changing commands of teliox-cli share: waiting for the scan
// cycles of the discovery threads that find the cameras first.
#pragma once

#include "discovery/scan_threads.h"

// Waits for the discovery threads to finish `cycles` scan cycles since their
// start; bounded, so a stuck scan ends the command instead of hanging it.
bool WaitForCycles(const CDiscoveryThreads& discovery, unsigned cycles);
