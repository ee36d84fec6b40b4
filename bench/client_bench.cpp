// Request rate of the resource-tree client against a minimal resource server
// on 127.0.0.1 in this process: reads in session mode, then opens and reads
// with a connection per request. Counts are bounded; nothing leaves loopback.
//
//   bench_client [session requests (default 5000)] [per-request requests (default 300)]
#include <halvex/resource/client_resource.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
    std::vector<uint8_t> f{0xFE, 0, 0, 0, 0, 0, 0, uint8_t(payload.size())};
    f.insert(f.end(), payload);
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
        uint32_t n = (uint32_t(head[4]) << 24) | (uint32_t(head[5]) << 16) | (uint32_t(head[6]) << 8) | head[7];
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

}  // namespace

int main(int argc, char** argv) {
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
