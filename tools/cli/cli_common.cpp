#include "cli_common.h"

#include <chrono>
#include <cstdio>
#include <thread>

bool WaitForCycles(const CDiscoveryThreads& discovery, unsigned cycles) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (discovery.CyclesCompleted() < cycles) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

int CliFail(const char* command, int code, const std::string& message) {
    std::fprintf(stderr, "teliox-cli %s: %s\n", command, message.c_str());
    return code;
}
