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

Simulator::Simulator(Config config, Log& log) : config_(std::move(config)), log_(log) {}

Simulator::~Simulator() {
    if (wakeFd_ >= 0) close(wakeFd_);
}

bool Simulator::OpenSocket(CUdpSocket& s, uint16_t port, bool multicast, std::string& error) {
    if (!s.Open()) {
        error = std::string("socket: ") + std::strerror(s.LastError());
        return false;
    }
    s.SetReuseAddress(true);
    s.SetReusePort(true);
    s.SetBroadcast(true);
    s.EnablePacketInfo();
    s.SetReceiveBuffer(4 << 20);
    s.SetSendBuffer(4 << 20);
    const std::string& dev = config_.interfaceName;
    if (!s.BindToDevice(dev)) {
        error = "bind to device " + dev + ": " + std::strerror(s.LastError());
        return false;
    }
    if (!s.Bind(INADDR_ANY, port)) {
        error = "bind port " + std::to_string(port) + ": " + std::strerror(s.LastError());
        return false;
    }
    const auto index = static_cast<uint32_t>(ifindex_);
    s.SetMulticastInterface(INADDR_ANY, index);
    s.SetMulticastTtl(255);
    s.SetMulticastLoop(false);
    if (multicast && !s.JoinGroup(kMdnsGroup, INADDR_ANY, index)) {
        error = std::string("join 224.0.0.251: ") + std::strerror(s.LastError());
        return false;
    }
    return true;
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
        if (!OpenSocket(sockets_[w.port], w.port, w.multicast, error)) return false;
    }
    if (!OpenSocket(sender_, 0, false, error)) return false;
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
    return true;
}

std::string Simulator::Who(size_t camera) const {
    const Camera& c = config_.cameras[camera];
    return c.userName + "/" + FormatAddress(c.address);
}

void Simulator::Send(const Reply& r, CUdpSocket& socket) {
    if (r.camera >= config_.cameras.size()) return;
    const Camera& c = config_.cameras[r.camera];
    // From the camera's own address, out of the lab interface.
    if (!socket.SendTo(r.to, r.toPort, r.data.data(), r.data.size(), c.address, static_cast<uint32_t>(ifindex_)))
        log_.Line("send-error " + Who(r.camera) + " to " + FormatAddress(r.to) + ":" + std::to_string(r.toPort) +
                  ": " + std::strerror(socket.LastError()));
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

void Simulator::Process(const Outcome& out, const char* service, const Datagram& in, CUdpSocket& socket) {
    log_.Line(std::string("rx ") + service + " " + FormatAddress(in.src) + ":" + std::to_string(in.srcPort) + " > " +
              FormatAddress(in.dst) + ":" + std::to_string(in.dstPort) + " len=" + std::to_string(in.data.size()) +
              " " + out.summary + " answers=" + std::to_string(out.replies.size()));
    auto now = Clock::now();
    std::vector<const Reply*> later;
    for (const Reply& r : out.replies) {
        if (r.afterChanges) later.push_back(&r);
        else if (r.delayMs <= 0) Send(r, socket);
        else pending_.push_back({now + std::chrono::milliseconds(r.delayMs), r, &socket});
    }
    for (const AddressChange& ch : out.changes) Carry(ch);
    for (const Reply* r : later) Send(*r, socket);
    std::stable_sort(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) { return a.due < b.due; });
}

void Simulator::Receive(CUdpSocket& socket, uint16_t port) {
    for (int budget = 0; budget < 64; ++budget) {
        uint8_t buf[2048];
        CUdpSocket::Received from;
        ssize_t n = socket.Receive(buf, sizeof buf, from, false);
        if (n < 0) return;
        Datagram in;
        in.src = from.fromAddress;
        in.srcPort = from.fromPort;
        in.dst = from.destination;
        in.dstPort = port;
        in.data.assign(buf, buf + n);
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
            Process(out, "dhcp", in, socket);
            SendDhcp(sends);
            FinishDhcp(done);
            continue;
        }
        Process(out, service, in, socket);
    }
}

void Simulator::Run(const std::atomic<bool>& stop) {
    std::vector<pollfd> fds;
    std::vector<CUdpSocket*> sockets;
    std::vector<uint16_t> ports;
    for (auto& [port, socket] : sockets_) {
        fds.push_back({socket.Handle(), POLLIN, 0});
        sockets.push_back(&socket);
        ports.push_back(port);
    }
    fds.push_back({wakeFd_, POLLIN, 0});  // a posted change ends the wait
    if (changed_)
        for (size_t i = 0; i < config_.cameras.size(); ++i) changed_(i, config_.cameras[i]);
    // Ready once every camera's services run and the loop is about to answer:
    // who waits for this line may query at once.
    log_.Line("ready cameras=" + std::to_string(config_.cameras.size()) + " interface=" + config_.interfaceName);
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
            Send(pending_[sent].reply, *pending_[sent].socket);
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
        for (size_t i = 0; i < sockets.size(); ++i)
            if (fds[i].revents & POLLIN) Receive(*sockets[i], ports[i]);
    }
    log_.Line("stopped");
}

}  // namespace camsim
