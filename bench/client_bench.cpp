// Request rate of the resource-tree client on 127.0.0.1. Counts are bounded;
// nothing leaves loopback.
//
//   bench_client [session requests (default 5000)] [per-request requests (default 300)]
//       Against a minimal resource server in this process: reads in session
//       mode, then opens and reads with a connection per request.
//   bench_client --port P [--connections C (1..64, default 1)] [--requests N (per connection, default 5000)]
//       Against a resource server at 127.0.0.1:P serving .bench.int (int32)
//       and .bench.text (ascii), e.g. `bench_server serve`: C threads, each
//       with its own tree and session, first N Gets of the int, then N Sets
//       of the text. Prints the aggregate rates.
#include <halvex/bigendian.h>
#include <halvex/resource/client_resource.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <algorithm>
#include <thread>
#include <vector>

using namespace ZYRK;

namespace {

bool ReadExact(int fd, uint8_t* p, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::recv(fd, p + got, n - got, 0);
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

void Reply(int fd, std::initializer_list<uint8_t> payload) {
    std::vector<uint8_t> f;
    ZYRK::CBigEndianWriter(f).U8(0xFE).Zeros(3).U32(uint32_t(payload.size())).Bytes(payload.begin(), payload.size());
    ::send(fd, f.data(), f.size(), MSG_NOSIGNAL);
}

// Answers session, version, verify, read-attributes-data-limits and close.
void Serve(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<uint8_t> buf(65536);
    bool session = false;
    for (;;) {
        uint8_t head[8];
        if (!ReadExact(fd, head, 8)) break;
        uint32_t n = ZYRK::be_get32(head + 4);
        if (n > buf.size() || !ReadExact(fd, buf.data(), n)) break;
        size_t p = 0;
        for (int k = 0; k < head[1] && p + 2 <= n; ++k) p += 2 + buf[p + 1];
        const uint8_t code = p < n ? buf[p] : 0;
        if (code == 0xC0) {
            session = true;
            Reply(fd, {0xC1});
            continue;
        }
        if (code == 0xC2) break;
        if (code == 0xF0) Reply(fd, {0xF1, 12});
        else if (code == 0x47) Reply(fd, {0x48});
        else if (code == 0x0C) Reply(fd, {0x0D, 0, 0, 0, 0, 6, 0, 0, 0x02, 0x02, 0, 0, 0, 42});
        else Reply(fd, {0xFF, 166});
        if (!session) break;
    }
    ::close(fd);
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// One connection's share of the load against an external server.
struct Share {
    long gets = 0, sets = 0, failures = 0;
    double getSeconds = 0, setSeconds = 0;
};

void Load(uint16_t port, long requests, Share& out, std::barrier<>& sync) {
    CClientResourceTree tree;
    CResource* number = nullptr;
    CResource* text = nullptr;
    const bool ok = tree.Init("127.0.0.1", port, true) == 0 &&
                    tree.OpenResource(CResourcePath(".bench.int"), &number, nullptr) == 0 &&
                    tree.OpenResource(CResourcePath(".bench.text"), &text, nullptr) == 0;
    // Every connection is open before the first phase, and every one has
    // ended its Gets before the Sets begin.
    sync.arrive_and_wait();
    CResourceValue v;
    auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; ok && i < requests; ++i) {
        if (number->Get(v, nullptr) != 0 || v.Type() != VALUE_TYPE_INT32) ++out.failures;
        else ++out.gets;
    }
    out.getSeconds = Seconds(t0);
    sync.arrive_and_wait();
    const char* texts[2] = {"192.168.100.101", "192.168.100.102"};
    t0 = std::chrono::steady_clock::now();
    for (long i = 0; ok && i < requests; ++i) {
        CResourceValue t(texts[i & 1]);
        if (text->Set(t, RES_NOWAIT, 0, nullptr) != 0) ++out.failures;
        else ++out.sets;
    }
    out.setSeconds = Seconds(t0);
    if (!ok) out.failures = 2 * requests;
    if (number) number->Close();
    if (text) text->Close();
}

int External(uint16_t port, int connections, long requests) {
    std::vector<Share> shares(static_cast<size_t>(connections));
    std::vector<std::thread> threads;
    std::barrier<> sync(connections);
    for (int c = 0; c < connections; ++c)
        threads.emplace_back(Load, port, requests, std::ref(shares[size_t(c)]), std::ref(sync));
    for (auto& t : threads) t.join();
    long gets = 0, sets = 0, failures = 0;
    double getWall = 0, setWall = 0;
    for (const Share& s : shares) {
        gets += s.gets;
        sets += s.sets;
        failures += s.failures;
        getWall = std::max(getWall, s.getSeconds);
        setWall = std::max(setWall, s.setSeconds);
    }
    // The slowest connection's time: every connection ran its phase at once.
    std::printf("connections %d: get int32 %.0f requests/s (%ld in %.3f s), set ascii %.0f requests/s (%ld in %.3f s), "
                "failures %ld\n",
                connections, getWall > 0 ? gets / getWall : 0.0, gets, getWall, setWall > 0 ? sets / setWall : 0.0,
                sets, setWall, failures);
    return failures ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && argv[1][0] == '-') {
        long port = 0, connections = 1, requests = 5000;
        for (int i = 1; i + 1 < argc; i += 2) {
            const std::string a = argv[i];
            const long v = std::atol(argv[i + 1]);
            if (a == "--port") port = v;
            else if (a == "--connections") connections = v;
            else if (a == "--requests") requests = v;
            else {
                std::fprintf(stderr, "bench_client: unknown option %s\n", a.c_str());
                return 2;
            }
        }
        if (port < 1 || port > 65535 || connections < 1 || connections > 64 || requests < 1 || requests > 200000) {
            std::fprintf(stderr, "bench_client: --port 1..65535, --connections 1..64, --requests 1..200000\n");
            return 2;
        }
        return External(uint16_t(port), int(connections), requests);
    }
    const long sessionCount = argc > 1 ? std::min(std::atol(argv[1]), 100000L) : 5000;
    const long perRequestCount = argc > 2 ? std::min(std::atol(argv[2]), 5000L) : 300;

    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(lfd, 64) != 0) return 1;
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    const uint16_t port = ntohs(a.sin_port);
    std::atomic<bool> stop{false};
    std::thread acceptor([&] {
        while (!stop) {
            pollfd p{lfd, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            int fd = ::accept(lfd, nullptr, nullptr);
            if (fd >= 0) std::thread(Serve, fd).detach();
        }
    });

    int failures = 0;
    {
        CClientResourceTree tree;
        if (tree.Init("127.0.0.1", port, true) != 0) return 1;
        CResource* r = nullptr;
        if (tree.OpenResource(CResourcePath(".bench.value"), &r, nullptr) != 0) return 1;
        CResourceValue v;
        auto t0 = std::chrono::steady_clock::now();
        for (long i = 0; i < sessionCount; ++i)
            if (r->Get(v, nullptr) != 0) ++failures;
        double s = Seconds(t0);
        std::printf("session mode:     %ld reads in %.3f s, %.0f requests/s\n", sessionCount, s, sessionCount / s);
        r->Close();
    }
    {
        CClientResourceTree tree;
        if (tree.Init("127.0.0.1", port, false) != 0) return 1;
        CResourceValue v;
        auto t0 = std::chrono::steady_clock::now();
        for (long i = 0; i < perRequestCount; ++i) {
            CResource* r = nullptr;
            char path[32];
            std::snprintf(path, sizeof path, ".bench.n%ld", i);
            if (tree.OpenResource(CResourcePath(path), &r, nullptr) != 0 || r->Get(v, nullptr) != 0) ++failures;
            if (r) r->Close();
        }
        double s = Seconds(t0);
        std::printf("per-request mode: %ld opens+reads in %.3f s, %.0f pairs/s\n", perRequestCount, s,
                    perRequestCount / s);
    }
    stop = true;
    acceptor.join();
    ::close(lfd);
    std::printf("failures: %d\n", failures);
    return failures ? 2 : 0;
}
