// bench_discovery: one GigE Vision discovery of every adapter and the merge
// of its answers into a camera list, timed apart. Prints one JSON line.
// Run it inside the lab's pc host (bench/discovery.sh does): it broadcasts.
#include "discovery/device_list.h"
#include "discovery/gev_scanner.h"

#include <chrono>
#include <cstdio>
#include <vector>

int main() {
    using Clock = std::chrono::steady_clock;
    CGEVScanner scanner;
    std::vector<GEVDiscoveryAnswer> answers;
    auto t0 = Clock::now();
    bool ok = scanner.Scan(answers);
    auto t1 = Clock::now();
    CDeviceList list;
    AddGEVDevices(list, answers);
    auto t2 = Clock::now();
    auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    std::printf("{\"ok\": %s, \"answers\": %zu, \"rows\": %d, \"scanMs\": %.1f, \"mergeMs\": %.2f}\n",
                ok ? "true" : "false", answers.size(), list.DeviceCount(), ms(t1 - t0), ms(t2 - t1));
    return ok ? 0 : 1;
}
