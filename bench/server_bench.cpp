// bench_server: the halvex resource server on 127.0.0.1, for the load of
// bench_client and for the end-to-end time of an IP change through the
// resource tree. Nothing leaves loopback; every mode is bounded in time.
//
//   bench_server serve [seconds (default 120, at most 600)]
//       Serves .bench.int (int32) and .bench.text (ascii) with the TCP
//       listening task; prints "port N" once listening, then runs until stdin
//       ends or the time is up.
//   bench_server drip [sessions (200)] [slow clients (50)] [reads per session (200)]
//       Opens the sessions, measures their read rate alone, then again while
//       the slow clients each drip one byte of a frame a second; prints both.
//   bench_server ipchange [rounds (default 20, at most 500)]
//       Starts the simulated camera's resource service and runs, per round,
//       the program's read phase and write phase (connect, read, writes,
//       commit) against it; prints the times.
#include "app/actions/ip_change_rt.h"
#include "tools/camsim/resource_service.h"

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource_value.h>
#include <halvex/server/resource_server.h>
#include <halvex/server/server_tree.h>
#include <halvex/supervisor/supervisor.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
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

// Fills tree with .bench.int and .bench.text and starts a TCP listening task
// on 127.0.0.1 serving it; the port, or 0 with a message.
uint16_t StartBenchServer(CServerResourceTree& tree, const std::string& name, CResourceTCPServerTask** out)
{
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

    auto* task = new CResourceTCPServerTask;
    task->SetTree(&tree);
    task->SetBindAddress(htonl(INADDR_LOOPBACK));
    if (task->Init(name.c_str(), 0, 0, TASK_FLAG_NO_HANDSHAKE) != ERR_OK ||
        CSupervisor().AddTask(task, CLibContainer::INITED) != ERR_OK) {
        std::fprintf(stderr, "bench_server: the listening task does not start\n");
        return 0;
    }
    // A port from a wide range; a taken one makes the task try the next.
    std::random_device rd;
    const uint32_t arg[4] = {0, 30000 + rd() % 25000, 0, 0};
    if (CSupervisor().Start(name.c_str(), arg) != ERR_OK) {
        std::fprintf(stderr, "bench_server: the listening task does not start\n");
        return 0;
    }
    uint16_t port = 0;
    for (int i = 0; i < 500 && (port = task->GetPort()) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!port)
        std::fprintf(stderr, "bench_server: no port\n");
    *out = task;
    return port;
}

int Serve(int seconds)
{
    CServerResourceTree tree;
    const std::string name = "bench_resource_listener";
    CResourceTCPServerTask* task = nullptr;
    const uint16_t port = StartBenchServer(tree, name, &task);
    if (!port)
        return 1;
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

// --- Good sessions beside slow clients -----------------------------------

int ConnectLoopback(uint16_t port)
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    timeval tv{10, 0};  // no hang, whatever the server does
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

bool SendFrame(int s, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> f(8);
    res_frame_build_header(f.data(), 0, uint32_t(payload.size()));
    f.insert(f.end(), payload.begin(), payload.end());
    return ::send(s, f.data(), f.size(), MSG_NOSIGNAL) == ssize_t(f.size());
}

bool RecvExactly(int s, uint8_t* p, size_t n)
{
    for (size_t got = 0; got < n;) {
        ssize_t r = ::recv(s, p + got, n - got, 0);
        if (r <= 0)
            return false;
        got += size_t(r);
    }
    return true;
}

// One reply frame: true when it arrived whole.
bool RecvFrame(int s)
{
    uint8_t h[8];
    if (!RecvExactly(s, h, 8) || h[0] != 0xFE)
        return false;
    std::vector<uint8_t> body(be_get32(h + 4));
    return RecvExactly(s, body.data(), body.size());
}

// Opens sessions connections, a few at a time so as not to overflow the
// listener's backlog; the sockets, or an empty list.
std::vector<int> OpenSessions(uint16_t port, int sessions, CResourceTCPServerTask* task)
{
    std::vector<int> out;
    const std::vector<uint8_t> open = {0xC0, 0x00};
    for (int i = 0; i < sessions; ++i) {
        int s = ConnectLoopback(port);
        uint8_t reply[9];
        if (s < 0 || !SendFrame(s, open) || !RecvExactly(s, reply, sizeof reply)) {
            for (int o : out)
                ::close(o);
            if (s >= 0)
                ::close(s);
            return {};
        }
        out.push_back(s);
        if (i % 8 == 7) {
            for (int w = 0; w < 100 && task->ActiveConnections() < uint32_t(out.size()); ++w)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return out;
}

// requests reads of .bench.int on each of the sessions, by 8 threads; the
// requests per second, or -1 after a failure.
double GoodRate(const std::vector<int>& sessions, int requests)
{
    std::vector<uint8_t> read = {0x01};
    const char* path = ".bench.int";
    read.insert(read.end(), path, path + std::strlen(path) + 1);
    read.push_back(0);
    constexpr int kThreads = 8;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    const auto t0 = Clock::now();
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < requests && failures == 0; ++r) {
                for (size_t i = size_t(t); i < sessions.size(); i += kThreads) {
                    if (!SendFrame(sessions[i], read) || !RecvFrame(sessions[i]))
                        ++failures;
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    if (failures)
        return -1;
    return seconds > 0 ? double(sessions.size()) * requests / seconds : 0;
}

// "200 sessions while 50 slow clients drip": the good sessions' request rate
// with no other client, then beside slow clients that each drip one byte of
// a frame a second, in the same run.
int Drip(int sessions, int slow, int requests)
{
    CServerResourceTree tree;
    const std::string name = "bench_resource_drip";
    CResourceTCPServerTask* task = nullptr;
    const uint16_t port = StartBenchServer(tree, name, &task);
    if (!port)
        return 1;
    task->SetSessionCap(uint32_t(sessions + slow + 8));
    std::vector<int> good = OpenSessions(port, sessions, task);
    if (good.empty()) {
        std::fprintf(stderr, "bench_server: the sessions do not open\n");
        return 1;
    }
    GoodRate(good, 20);  // warm-up
    const double alone = GoodRate(good, requests);

    std::vector<int> drips;
    for (int i = 0; i < slow; ++i) {
        int s = ConnectLoopback(port);
        if (s >= 0)
            drips.push_back(s);
        if (i % 8 == 7)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::atomic<bool> stop{false};
    std::thread dripper([&] {
        const uint8_t header[8] = {0xFE, 0, 0, 0, 0, 0, 0, 1};
        for (int b = 0; b < 8 && !stop; ++b) {
            for (int s : drips)
                ::send(s, &header[b], 1, MSG_NOSIGNAL);
            for (int i = 0; i < 10 && !stop; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const double beside = GoodRate(good, requests);
    stop = true;
    dripper.join();
    for (int s : drips)
        ::close(s);
    for (int s : good)
        ::close(s);

    std::printf("%d sessions while %d slow clients drip: %.0f requests/s beside %.0f requests/s with no slow "
                "clients (ratio %.2f; %d reads per session, %zu slow clients connected)\n",
                sessions, slow, beside, alone, alone > 0 ? beside / alone : 0.0, requests, drips.size());
    std::fflush(stdout);
    CSupervisor().Stop(name.c_str());
    task->Shutdown();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::_Exit(alone > 0 && beside > 0 ? 0 : 1);
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
                           const std::string&) {
        return IPChangeBroadcastReport{-1, 0, "no broadcast from the benchmark"};
    };

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
    if (mode == "drip") {
        int sessions = argc > 2 ? std::atoi(argv[2]) : 200;
        int slow = argc > 3 ? std::atoi(argv[3]) : 50;
        int requests = argc > 4 ? std::atoi(argv[4]) : 200;
        return Drip(std::clamp(sessions, 1, 240), std::clamp(slow, 0, 200), std::clamp(requests, 1, 1000));
    }
    if (mode == "ipchange") {
        int r = argc > 2 ? std::atoi(argv[2]) : 20;
        return IpChange(std::clamp(r, 1, 500));
    }
    std::fprintf(stderr, "usage: bench_server serve [seconds] | drip [sessions] [slow] [requests] | ipchange [rounds]\n");
    return 2;
}
