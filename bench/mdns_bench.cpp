// bench_mdns: one scan cycle of the discovery core (CDiscoveryThreads on a
// CDeviceList) and then the CPU time of the threads while they only listen.
// Prints one JSON line: the rows, the time from Start to "Scan
// completed", the cycle budget (one second per adapter and source: the mDNS
// window and the GigE Vision window), and the CPU milliseconds of the
// process (all its threads) over the idle period.
// Run it inside the lab's pc host (bench/mdns.sh does): it multicasts.
//
//   bench_mdns [idle seconds (default 10, at most 60)]
#include "discovery/adapters.h"
#include "discovery/device_list.h"
#include "discovery/scan_threads.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

namespace {

// utime + stime of every thread of this process, in clock ticks, by thread
// id (ids grow with creation: this thread, then the threads Start creates in
// its order: mDNS listener, announcement listener, scan thread).
std::map<long, long long> ThreadTicks()
{
    std::map<long, long long> ticks;
    DIR* d = opendir("/proc/self/task");
    if (!d) return ticks;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/stat");
        std::string line;
        std::getline(f, line);
        // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
        size_t close = line.rfind(')');
        if (close == std::string::npos || close + 2 > line.size()) continue;
        std::istringstream in(line.substr(close + 2));
        std::string field;
        long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && in >> field; ++i) {
            if (i == 14) utime = std::atoll(field.c_str());
            if (i == 15) stime = std::atoll(field.c_str());
        }
        ticks[std::atol(e->d_name)] = utime + stime;
    }
    closedir(d);
    return ticks;
}

}  // namespace

int main(int argc, char** argv)
{
    using Clock = std::chrono::steady_clock;
    int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (idleSeconds < 1) idleSeconds = 1;
    if (idleSeconds > 60) idleSeconds = 60;

    auto table = ReadAdapterTable();
    const size_t adapters = table ? table->size() : 0;

    CDeviceList list;
    CStatusText status;
    CDiscoveryThreads threads(list, status);
    const auto t0 = Clock::now();
    threads.Start();
    double completedMs = -1;
    const auto limit = t0 + std::chrono::seconds(30);
    while (Clock::now() < limit) {
        if (threads.CyclesCompleted() >= 1 || status.Get() == "Scan completed") {
            completedMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const int rowsAtCompletion = list.DeviceCount();

    // Idle: the scan thread waits for its event, the listeners wait for datagrams.
    const auto ticks0 = ThreadTicks();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const auto ticks1 = ThreadTicks();
    const int rowsAfterIdle = list.DeviceCount();
    threads.Stop();

    const double msPerTick = 1000.0 / double(sysconf(_SC_CLK_TCK));
    double cpuMs = 0;
    std::string perThread;
    static const char* const kNames[] = {"main", "mdnsListener", "announcementListener", "scan"};
    size_t k = 0;
    for (const auto& [tid, t1] : ticks1) {
        auto it = ticks0.find(tid);
        const double ms = (t1 - (it == ticks0.end() ? 0 : it->second)) * msPerTick;
        cpuMs += ms;
        char item[96];
        std::snprintf(item, sizeof item, "%s\"%s\": %.0f", perThread.empty() ? "" : ", ",
                      k < 4 ? kNames[k] : ("thread" + std::to_string(k)).c_str(), ms);
        perThread += item;
        ++k;
    }
    std::printf("{\"adapters\": %zu, \"rowsAtScanCompleted\": %d, \"rowsAfterIdle\": %d, \"cycleMs\": %.0f, "
                "\"budgetMs\": %zu, \"idleSeconds\": %d, \"idleCpuMs\": %.0f, \"idleCpuPercent\": %.2f, "
                "\"idleCpuMsByThread\": {%s}}\n",
                adapters, rowsAtCompletion, rowsAfterIdle, completedMs, adapters * 2 * 1000, idleSeconds, cpuMs,
                cpuMs / (idleSeconds * 10.0), perThread.c_str());
    return completedMs < 0 ? 1 : 0;
}
