// bench_server: the halvex resource server on 127.0.0.1, for the load of
// bench_client and for the end-to-end time of an IP change through the
// resource tree. Nothing leaves loopback; every mode is bounded in time.
//
//   bench_server serve [seconds (default 120, at most 600)]
//       Serves .bench.int (int32) and .bench.text (ascii) with the TCP
//       listening task; prints "port N" once listening, then runs until stdin
//       ends or the time is up.
//   bench_server ipchange [rounds (default 20, at most 500)]
//       Starts the simulated camera's resource service and runs, per round,
//       the program's read phase and write phase (connect, read, writes,
//       commit) against it; prints the times.
#include "app/actions/ip_change_rt.h"
#include "tools/camsim/resource_service.h"

#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource_value.h>
#include <halvex/server/resource_server.h>
#include <halvex/server/server_tree.h>
#include <halvex/supervisor/supervisor.h>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace ZYRK;
using Clock = std::chrono::steady_clock;

namespace {

int Serve(int seconds)
{
    CServerResourceTree tree;
    SERVER_NODE_OPTIONS_T rights;
    rights.attr = RES_ATTR_OWNER_GET | RES_ATTR_OWNER_SET | RES_ATTR_GROUP_GET | RES_ATTR_GROUP_SET |
                  RES_ATTR_OTHERS_GET | RES_ATTR_OTHERS_SET;
    rights.caps = SRV_CAN_GET | SRV_CAN_SET;
    SERVER_NODE_OPTIONS_T node;
    node.attr = rights.attr;
    node.caps = SRV_CAN_GET;
    tree.AddNode(".bench", RES_TYPE_STRUCT, node);
    tree.AddValue(".bench.int", CResourceValue(42), rights);
    tree.AddValue(".bench.text", CResourceValue("192.168.100.100", 64), rights);

    const std::string name = "bench_resource_listener";
    auto* task = new CResourceTCPServerTask;
    task->SetTree(&tree);
    task->SetBindAddress(htonl(INADDR_LOOPBACK));
    if (task->Init(name.c_str(), 0, 0, TASK_FLAG_NO_HANDSHAKE) != ERR_OK ||
        CSupervisor().AddTask(task, CLibContainer::INITED) != ERR_OK) {
        std::fprintf(stderr, "bench_server: the listening task does not start\n");
        return 1;
    }
    // A port from a wide range; a taken one makes the task try the next.
    std::random_device rd;
    const uint32_t arg[4] = {0, 30000 + rd() % 25000, 0, 0};
    if (CSupervisor().Start(name.c_str(), arg) != ERR_OK) {
        std::fprintf(stderr, "bench_server: the listening task does not start\n");
        return 1;
    }
    uint16_t port = 0;
    for (int i = 0; i < 500 && (port = task->GetPort()) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!port) {
        std::fprintf(stderr, "bench_server: no port\n");
        return 1;
    }
    std::printf("port %u\n", unsigned(port));
    std::fflush(stdout);

    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        pollfd p{0, POLLIN, 0};
        if (::poll(&p, 1, 200) > 0) {
            char c;
            if (::read(0, &c, 1) <= 0) break;
        }
    }
    CSupervisor().Stop(name.c_str());
    task->Shutdown();
    // The session tasks end as their clients close; give them a moment
    // before the tree goes.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::_Exit(0);
}

int IpChange(int rounds)
{
    std::string error;
    camsim::ResourceServiceConfig config;
    config.bindAddress = "127.0.0.1";
    config.port = uint16_t(30000 + std::random_device()() % 25000);
    std::atomic<int> commits{0};
    config.onCommit = [&commits](const camsim::InterfaceSettings&) { ++commits; };
    camsim::ResourceService service;
    if (!service.Start(config, error)) {
        std::fprintf(stderr, "bench_server: %s\n", error.c_str());
        return 1;
    }

    CDevice camera;
    camera.name = "Bench";
    camera.hostName = "bench";
    camera.ipAddress = "127.0.0.1";
    camera.platform = "J3";
    RTRouteOptions options;
    options.connect.plainPort = service.Port();
    options.connect.timeoutMs = 5000;
    options.broadcast = [](const std::string&, bool, const std::string&, const std::string&, const std::string&,
                           const std::string&) { return -1; };  // never broadcast from here

    std::vector<double> readMs, writeMs, totalMs;
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = Clock::now();
        RTReadResult read = ReadViaResourceTree(camera, nullptr, options);
        const auto t1 = Clock::now();
        RTChange change;
        change.camera = camera;
        change.dhcpRequested = false;
        // Alternating addresses of the same length as the tree's start value.
        change.newAddress = (i & 1) ? "192.168.0.100" : "192.168.0.101";
        change.newSubnetMask = "255.255.255.0";
        change.newGateway = "192.168.0.1";
        change.connect = options.connect;
        RTWriteResult write = IPChangeThread(change, nullptr);
        const auto t2 = Clock::now();
        if (!read.connected || !write.connected || !write.committed || !write.skipped.empty()) ++failures;
        readMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        writeMs.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
        totalMs.push_back(std::chrono::duration<double, std::milli>(t2 - t0).count());
    }
    service.Stop();
    auto stats = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        char text[96];
        std::snprintf(text, sizeof text, "min %.2f ms, median %.2f ms, max %.2f ms", v.front(), v[v.size() / 2],
                      v.back());
        return std::string(text);
    };
    std::printf("IP change through the resource tree, %d rounds (commits seen by the camera: %d, failures: %d)\n",
                rounds, commits.load(), failures);
    std::printf("  read phase  (connect, method/DHCP read):            %s\n", stats(readMs).c_str());
    std::printf("  write phase (connect, DHCP/address/mask/gw, commit): %s\n", stats(writeMs).c_str());
    std::printf("  end to end:                                         %s\n", stats(totalMs).c_str());
    return failures ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve") {
        int s = argc > 2 ? std::atoi(argv[2]) : 120;
        return Serve(std::clamp(s, 1, 600));
    }
    if (mode == "ipchange") {
        int r = argc > 2 ? std::atoi(argv[2]) : 20;
        return IpChange(std::clamp(r, 1, 500));
    }
    std::fprintf(stderr, "usage: bench_server serve [seconds] | ipchange [rounds]\n");
    return 2;
}
