#include "tools/camsim/simulator.h"

#include "tools/camsim/announce.h"
#include "tools/camsim/gvcp.h"
#include "tools/camsim/ipchange.h"
#include "tools/camsim/mdns.h"
#include "tools/camsim/netif.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

namespace camsim {

namespace {

// The header of a message of one buffer to or from `peer`, with room for
// control data (the interface and address of a datagram).
msghdr MessageHeader(sockaddr_in& peer, iovec& iov, void* control, size_t controlSize) {
    msghdr msg{};
    msg.msg_name = &peer;
    msg.msg_namelen = sizeof peer;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = controlSize;
    return msg;
}

}  // namespace

Simulator::Simulator(Config config, Log& log) : config_(std::move(config)), log_(log) {}

Simulator::~Simulator() {
    for (auto& [port, fd] : sockets_) close(fd);
    if (sender_ >= 0) close(sender_);
    if (wakeFd_ >= 0) close(wakeFd_);
}

int Simulator::OpenSocket(uint16_t port, bool multicast, std::string& error) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    int buf = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    const std::string& dev = config_.interfaceName;
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, dev.c_str(), static_cast<socklen_t>(dev.size())) != 0) {
        error = "bind to device " + dev + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = "bind port " + std::to_string(port) + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    ip_mreqn mreq{};
    mreq.imr_ifindex = ifindex_;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &mreq, sizeof mreq);
    int ttl = 255, loop = 0;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    if (multicast) {
        mreq.imr_multiaddr.s_addr = htonl(kMdnsGroup);
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
            error = std::string("join 224.0.0.251: ") + std::strerror(errno);
            close(fd);
            return -1;
        }
    }
    return fd;
}

bool Simulator::Start(std::string& error) {
    ifindex_ = static_cast<int>(if_nametoindex(config_.interfaceName.c_str()));
    if (ifindex_ == 0) {
        error = "no interface " + config_.interfaceName;
        return false;
    }
    // Cameras that start with DHCP take a link-local address until a DHCP
    // server gives them one.
    std::vector<size_t> obtain;
    for (size_t i = 0; i < config_.cameras.size(); ++i) {
        Camera& c = config_.cameras[i];
        if (c.address == 0 && c.dhcp) {
            obtain.push_back(i);
            AddressChange ll = LinkLocalChange(c, i);
            c.address = ll.address;
            c.mask = ll.mask;
            c.gateway = 0;
        }
    }
    // Many cameras share one interface: removing the first address of a subnet
    // must not take the other cameras' addresses with it.
    if (FILE* f = std::fopen(("/proc/sys/net/ipv4/conf/" + config_.interfaceName + "/promote_secondaries").c_str(), "w")) {
        std::fputs("1", f);
        std::fclose(f);
    }
    std::vector<InterfaceAddress> add;
    for (const Camera& c : config_.cameras) add.push_back({c.address, PrefixLength(c.mask)});
    if (!ChangeAddresses(config_.interfaceName, add, {}, error)) return false;

    bool gvcp = false, mdns = false, ipchange = false;
    for (const Camera& c : config_.cameras) {
        gvcp = gvcp || c.gvcp;
        mdns = mdns || c.mdns;
        ipchange = ipchange || c.ipchange;
    }
    struct Want { bool on; uint16_t port; bool multicast; };
    // Every camera may be switched to DHCP, so the client port is always open.
    for (Want w : {Want{gvcp, kGvcpPort, false}, Want{mdns, kMdnsPort, true}, Want{ipchange, kIpChangePort, false},
                   Want{true, kDhcpClientPort, false}}) {
        if (!w.on) continue;
        int fd = OpenSocket(w.port, w.multicast, error);
        if (fd < 0) return false;
        sockets_[w.port] = fd;
    }
    sender_ = OpenSocket(0, false, error);
    if (sender_ < 0) return false;
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    auto now = Clock::now();
    for (Camera& c : config_.cameras) c.nextAnnouncement = now;
    std::vector<DhcpClients::Send> sends;
    for (size_t i : obtain) {
        const Camera& c = config_.cameras[i];
        dhcp_.Begin(c, i, AddressChange{i, c.address, c.mask, c.gateway, true}, c.dhcpWaitMs, now, sends);
    }
    SendDhcp(sends);
    log_.Line("ready cameras=" + std::to_string(config_.cameras.size()) + " interface=" + config_.interfaceName);
    return true;
}

std::string Simulator::Who(size_t camera) const {
    const Camera& c = config_.cameras[camera];
    return c.userName + "/" + FormatAddress(c.address);
}

void Simulator::Send(const Reply& r, int fd) {
    if (r.camera >= config_.cameras.size()) return;
    const Camera& c = config_.cameras[r.camera];
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(r.toPort);
    to.sin_addr.s_addr = htonl(r.to);
    iovec iov{const_cast<uint8_t*>(r.data.data()), r.data.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg = MessageHeader(to, iov, control, sizeof control);
    cmsghdr* cm = CMSG_FIRSTHDR(&msg);
    cm->cmsg_level = IPPROTO_IP;
    cm->cmsg_type = IP_PKTINFO;
    cm->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo pi{};
    pi.ipi_ifindex = ifindex_;
    pi.ipi_spec_dst.s_addr = htonl(c.address);
    std::memcpy(CMSG_DATA(cm), &pi, sizeof pi);
    if (sendmsg(fd, &msg, 0) < 0)
        log_.Line("send-error " + Who(r.camera) + " to " + FormatAddress(r.to) + ":" + std::to_string(r.toPort) +
                  ": " + std::strerror(errno));
}

void Simulator::Apply(const AddressChange& ch) {
    if (ch.camera >= config_.cameras.size()) return;
    Camera& c = config_.cameras[ch.camera];
    std::vector<InterfaceAddress> remove;
    bool shared = false;
    for (size_t i = 0; i < config_.cameras.size(); ++i)
        if (i != ch.camera && config_.cameras[i].address == c.address) shared = true;
    if (!shared && c.address != ch.address) remove.push_back({c.address, PrefixLength(c.mask)});
    std::string error;
    std::string from = FormatAddress(c.address);
    if (!ChangeAddresses(config_.interfaceName, {{ch.address, PrefixLength(ch.mask)}}, remove, error)) {
        log_.Line("change-error " + Who(ch.camera) + ": " + error);
        return;
    }
    c.address = ch.address;
    c.mask = ch.mask;
    c.gateway = ch.gateway;
    c.dhcp = ch.dhcp;
    log_.Line("change " + c.userName + " " + from + " -> " + FormatAddress(c.address) + " mask " +
              FormatAddress(c.mask) + " gateway " + FormatAddress(c.gateway) + (c.dhcp ? " dhcp" : " static"));
    if (changed_) changed_(ch.camera, c);
}

void Simulator::Carry(const AddressChange& ch) {
    if (ch.camera >= config_.cameras.size()) return;
    if (!ch.dhcp) {
        dhcp_.Cancel(ch.camera);
        Apply(ch);
        return;
    }
    // The link-local address at once, so the camera stays reachable on its
    // wire; a DHCP lease replaces it when a server answers in time.
    Apply(ch);
    const Camera& c = config_.cameras[ch.camera];
    std::vector<DhcpClients::Send> sends;
    dhcp_.Begin(c, ch.camera, ch, c.dhcpWaitMs, Clock::now(), sends);
    SendDhcp(sends);
}

void Simulator::SendDhcp(const std::vector<DhcpClients::Send>& sends) {
    auto it = sockets_.find(kDhcpClientPort);
    if (it == sockets_.end()) return;
    for (const auto& s : sends) {
        log_.Line("tx dhcp " + Who(s.camera) + " " + dhcp::TypeName(s.data.size() > 242 ? s.data[242] : 0));
        Send(Reply{s.camera, 0xFFFFFFFF, kDhcpServerPort, s.data, 0, false}, it->second);
    }
}

void Simulator::FinishDhcp(const std::vector<DhcpClients::Done>& done) {
    for (const auto& d : done) {
        log_.Line(d.summary);
        if (d.obtained) Apply(d.change);
    }
}

void Simulator::Post(const AddressChange& change, const std::string& why, int delayMs) {
    {
        std::lock_guard<std::mutex> lock(postMutex_);
        posted_.push_back({change, why, Clock::now() + std::chrono::milliseconds(delayMs < 0 ? 0 : delayMs)});
    }
    uint64_t one = 1;
    if (wakeFd_ >= 0 && write(wakeFd_, &one, sizeof one) < 0) {
        // The counter is already set: the loop wakes anyway.
    }
}

void Simulator::TakePosted() {
    uint64_t n;
    while (read(wakeFd_, &n, sizeof n) > 0) {
    }
    std::vector<Posted> posted;
    {
        std::lock_guard<std::mutex> lock(postMutex_);
        auto now = Clock::now();
        for (auto it = posted_.begin(); it != posted_.end();) {
            if (it->due <= now) {
                posted.push_back(std::move(*it));
                it = posted_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& [change, why, due] : posted) {
        if (change.camera >= config_.cameras.size()) continue;
        log_.Line("commit " + Who(change.camera) + " " + why);
        Carry(change);
    }
}

void Simulator::Process(const Outcome& out, const char* service, const Datagram& in, int fd) {
    log_.Line(std::string("rx ") + service + " " + FormatAddress(in.src) + ":" + std::to_string(in.srcPort) + " > " +
              FormatAddress(in.dst) + ":" + std::to_string(in.dstPort) + " len=" + std::to_string(in.data.size()) +
              " " + out.summary + " answers=" + std::to_string(out.replies.size()));
    auto now = Clock::now();
    std::vector<const Reply*> later;
    for (const Reply& r : out.replies) {
        if (r.afterChanges) later.push_back(&r);
        else if (r.delayMs <= 0) Send(r, fd);
        else pending_.push_back({now + std::chrono::milliseconds(r.delayMs), r, fd});
    }
    for (const AddressChange& ch : out.changes) Carry(ch);
    for (const Reply* r : later) Send(*r, fd);
    std::stable_sort(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) { return a.due < b.due; });
}

void Simulator::Receive(int fd, uint16_t port) {
    for (int budget = 0; budget < 64; ++budget) {
        uint8_t buf[2048];
        sockaddr_in from{};
        iovec iov{buf, sizeof buf};
        alignas(cmsghdr) char control[256];
        msghdr msg = MessageHeader(from, iov, control, sizeof control);
        ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
        if (n < 0) return;
        Datagram in;
        in.src = ntohl(from.sin_addr.s_addr);
        in.srcPort = ntohs(from.sin_port);
        in.dstPort = port;
        in.data.assign(buf, buf + std::min<size_t>(static_cast<size_t>(n), sizeof buf));
        for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm; cm = CMSG_NXTHDR(&msg, cm))
            if (cm->cmsg_level == IPPROTO_IP && cm->cmsg_type == IP_PKTINFO) {
                in_pktinfo pi;
                std::memcpy(&pi, CMSG_DATA(cm), sizeof pi);
                in.dst = ntohl(pi.ipi_addr.s_addr);
            }
        // Our own multicast and broadcast datagrams come back to us: not a peer's.
        bool own = false;
        for (const Camera& c : config_.cameras) own = own || (c.address == in.src && in.srcPort == port);
        if (own) continue;
        Outcome out;
        const char* service = "?";
        if (port == kGvcpPort) {
            out = HandleGvcp(config_.cameras, in, Clock::now());
            service = "gvcp";
        } else if (port == kMdnsPort) {
            // Responses of other responders are not ours to answer.
            if (in.data.size() >= 4 && (in.data[2] & 0x80)) continue;
            out = HandleMdns(config_.cameras, in);
            service = "mdns";
        } else if (port == kIpChangePort) {
            out = HandleIpChange(config_.cameras, in);
            service = "ipchange";
        } else if (port == kDhcpClientPort) {
            std::vector<DhcpClients::Send> sends;
            std::vector<DhcpClients::Done> done;
            dhcp_.Receive(in.data, config_.cameras, Clock::now(), sends, done, out.summary);
            Process(out, "dhcp", in, fd);
            SendDhcp(sends);
            FinishDhcp(done);
            continue;
        }
        Process(out, service, in, fd);
    }
}

void Simulator::Run(const std::atomic<bool>& stop) {
    std::vector<pollfd> fds;
    std::vector<uint16_t> ports;
    for (auto& [port, fd] : sockets_) {
        fds.push_back({fd, POLLIN, 0});
        ports.push_back(port);
    }
    fds.push_back({wakeFd_, POLLIN, 0});
    ports.push_back(0);
    if (changed_)
        for (size_t i = 0; i < config_.cameras.size(); ++i) changed_(i, config_.cameras[i]);
    while (!stop.load()) {
        auto now = Clock::now();
        {
            std::vector<DhcpClients::Send> sends;
            std::vector<DhcpClients::Done> done;
            dhcp_.Tick(config_.cameras, now, sends, done);
            SendDhcp(sends);
            FinishDhcp(done);
        }
        for (const Reply& r : DueAnnouncements(config_.cameras, now)) Send(r, sender_);
        size_t sent = 0;
        while (sent < pending_.size() && pending_[sent].due <= now) {
            Send(pending_[sent].reply, pending_[sent].fd);
            ++sent;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(sent));

        Clock::time_point wake = now + std::chrono::milliseconds(200);
        Clock::time_point next;
        if (NextAnnouncement(config_.cameras, next)) wake = std::min(wake, next);
        if (!pending_.empty()) wake = std::min(wake, pending_.front().due);
        if (dhcp_.Next(next)) wake = std::min(wake, next);
        {
            std::lock_guard<std::mutex> lock(postMutex_);
            for (const Posted& p : posted_) wake = std::min(wake, p.due);
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
        int timeout = static_cast<int>(std::clamp<long long>(wait, 0, 200));
        int n = poll(fds.data(), fds.size(), timeout);
        TakePosted();
        if (n <= 0) continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            if (fds[i].fd != wakeFd_) Receive(fds[i].fd, ports[i]);
        }
    }
    log_.Line("stopped");
}

}  // namespace camsim
