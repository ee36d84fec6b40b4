// teliox-cli set-ip through the resource tree in the lab: an mDNS camera
// (camsim, its own resource service off) whose resource server is the scripted camera store, listening on
// port 22136 inside the camera's namespace. The change to a fixed address
// and back to DHCP must arrive as the interface's writes and commit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdlib>
#include <cstring>

#include <atomic>
#include <future>

#include "office_lab.h"
#include "scripted_camera.h"

using rtcam::Bool;
using rtcam::Text;
using rtcam::Value;

namespace {

const std::string kLan = ".services.net.interface.LAN90001.";

// Serves the store on 0.0.0.0:22136 of a lab namespace, one connection after
// the other. Only its own thread enters the namespace.
class NamespacedCamera {
public:
    NamespacedCamera(const std::string& netns, rtcam::CameraStore& store) : m_store(store) {
        std::promise<std::string> ready;
        auto started = ready.get_future();
        m_thread = std::thread([this, netns, &ready] { Run(netns, ready); });
        m_error = started.get();
    }
    ~NamespacedCamera() {
        m_stop = true;
        m_thread.join();
    }
    const std::string& error() const { return m_error; }

    std::vector<rtcam::Write> Writes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_writes;
    }
    std::vector<std::string> Reads() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reads;
    }

private:
    void Run(const std::string& netns, std::promise<std::string>& ready) {
        const int ns = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) {
            if (ns >= 0) ::close(ns);
            ready.set_value("cannot enter namespace " + netns);
            return;
        }
        ::close(ns);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(22136);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
            ::close(fd);
            ready.set_value("cannot listen on port 22136 in " + netns);
            return;
        }
        ready.set_value("");
        int connection = 0;
        while (!m_stop) {
            if (!testsrv::WaitReadable(fd, 200)) continue;
            const int c = ::accept(fd, nullptr, nullptr);
            if (c < 0) continue;
            Serve(c, ++connection);
            ::close(c);
        }
        ::close(fd);
    }

    void Serve(int fd, int connection) {
        bool session = false;
        for (;;) {
            const testsrv::Bytes frame = testsrv::ReadFrame(fd);
            if (frame.size() < 8) return;
            size_t p = 8;
            for (int k = 0; k < frame[1] && p + 2 <= frame.size() && frame[p] != 0xF4; ++k) p += 2 + frame[p + 1];
            const testsrv::Bytes payload(frame.begin() + std::min(p, frame.size()), frame.end());
            const uint8_t code = payload.empty() ? 0 : payload[0];
            if (code == 0xC0) {
                session = true;
                testsrv::WriteAll(fd, testsrv::Frame({0xC1}));
                continue;
            }
            if (code == 0xC2) {
                testsrv::WriteAll(fd, testsrv::Frame({0xC3}));
                return;
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                rtcam::Write w;
                w.connection = connection;
                if (rtcam::DecodeWrite(payload, w)) m_writes.push_back(w);
                if (code == 0x0C) m_reads.push_back(rtcam::NulPath(payload));
            }
            testsrv::WriteAll(fd, testsrv::Frame(m_store.Handle(payload)));
            if (!session) return;
        }
    }

    rtcam::CameraStore& m_store;
    std::atomic<bool> m_stop{false};
    std::string m_error;
    std::mutex m_mutex;
    std::vector<rtcam::Write> m_writes;
    std::vector<std::string> m_reads;
    std::thread m_thread;
};

std::vector<std::string> Paths(const std::vector<rtcam::Write>& writes) {
    std::vector<std::string> out;
    for (const auto& w : writes) out.push_back(w.path);
    return out;
}

class LabSetIpResourceTree : public labtest::OfficeLab {
protected:
    LabSetIpResourceTree() : OfficeLab({.commands = {"set-ip"}}) {}
};

}  // namespace

TEST_F(LabSetIpResourceTree, FixedAddressAndBackToDhcpThroughTheResourceTree) {
    ASSERT_TRUE(StartCameras("m", R"({"defaults": {"services": ["mdns"], "resourceService": false}, "cameras": [
      {"name": "Lobby", "hostName": "lobby", "address": "192.168.10.60", "bsp": "J3"}]})"));
    labtest::Lab& lab = *lab_;

    std::map<std::string, Value> resources;
    resources[kLan + "method"] = Text("dhcp");
    rtcam::AddInterface(resources, "LAN90001", true);
    rtcam::CameraStore store(resources);
    NamespacedCamera server(lab.Namespace("m"), store);
    ASSERT_EQ(server.error(), "");

    auto r = labtest::SetIp(lab, {"192.168.10.60", "--static", "192.168.10.65/24", "--gateway", "192.168.10.1"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char* text : {"Connecting to camera...\nConnected\n", "The camera uses DHCP",
                             "Initiating IP change\n", "IP change completed\n"})
        EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    EXPECT_EQ(store.Get(kLan + "DHCP"), Bool(false));
    EXPECT_EQ(store.Get(kLan + "address"), Text("192.168.10.65"));
    EXPECT_EQ(store.Get(kLan + "netmask"), Text("255.255.255.0"));
    EXPECT_EQ(store.Get(kLan + "gateway"), Text("192.168.10.1"));
    auto writes = server.Writes();
    EXPECT_EQ(Paths(writes), (std::vector<std::string>{kLan + "DHCP", kLan + "address", kLan + "netmask",
                                                       kLan + "gateway", kLan + "commit"}));
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().value, Bool(true));
    EXPECT_EQ(writes.back().time, 50u);
    EXPECT_EQ(writes.back().connection, 2) << "read phase and write phase connect separately";

    // The store now reports "manual"; back to DHCP.
    auto d = labtest::SetIp(lab, {"192.168.10.60", "--dhcp"});
    ASSERT_EQ(d.status, 0) << d.out << d.err;
    EXPECT_NE(d.out.find("The camera uses a fixed address, mask 255.255.255.0"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("IP change completed"), std::string::npos) << d.out;
    EXPECT_EQ(store.Get(kLan + "DHCP"), Bool(true));
    writes = server.Writes();
    ASSERT_EQ(writes.size(), 7u);
    EXPECT_EQ(Paths({writes.begin() + 5, writes.end()}), (std::vector<std::string>{kLan + "DHCP", kLan + "commit"}));
    EXPECT_EQ(server.Reads(), (std::vector<std::string>{kLan + "method", kLan + "method"}));
}

// A camera whose TLS front takes the connection and never answers the
// handshake: set-ip gives up within its 5-second connect bound, says
// "Connection failed" and sends the IP-change broadcast instead (exit 4: not
// confirmed), never "IP change completed".
TEST_F(LabSetIpResourceTree, AStalledTlsHandshakeEndsWithinTheBoundAndFallsBackToTheBroadcast) {
    CLI_REQUIRE(*lab_, "cert");
    ASSERT_TRUE(StartCameras("m", R"({"stateDir": ")" + lab_->dir() + R"(/state",
      "defaults": {"services": ["mdns", "ipchange"]}, "cameras": [
      {"name": "Vault", "hostName": "vault", "address": "192.168.10.62", "enabled": false,
       "tlsStallHandshake": true, "mac": "02:00:00:00:0c:03"}]})"));
    const std::string log = lab_->CamsimLog("m");
    ASSERT_TRUE(labtest::WaitForText(log, "tls Vault on 192.168.10.62:9100", 5000)) << labtest::ReadFile(log);

    // The program's own certificate, so that the TLS route is really tried.
    UseProgramData();
    auto cli = [&](std::vector<std::string> args) { return Cli(args, 90); };
    auto gen = cli({"cert", "generate", "--yes"});
    ASSERT_EQ(gen.status, 0) << gen.out << gen.err;

    auto r = cli({"set-ip", "192.168.10.62", "--static", "192.168.10.63/24", "--gateway", "192.168.10.1"});
    EXPECT_EQ(r.status, 4) << r.out << r.err;
    EXPECT_NE(r.out.find("Connecting to camera...\nConnection failed\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("IP change broadcasted\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("IP change completed"), std::string::npos) << r.out;

    // How long the client waited in the handshake before it gave up.
    ASSERT_TRUE(labtest::WaitForText(log, "tls-stall Vault client gave up after ", 5000)) << labtest::ReadFile(log);
    const std::string text = labtest::ReadFile(log);
    const size_t at = text.find("tls-stall Vault client gave up after ") + std::strlen("tls-stall Vault client gave up after ");
    const long waited = std::strtol(text.c_str() + at, nullptr, 10);
    EXPECT_GT(waited, 1000) << "the handshake did stall";
    EXPECT_LE(waited, 5000 + 500) << text;
    // The broadcast reached the camera, which takes the new address.
    EXPECT_TRUE(labtest::WaitForText(log, "change Vault 192.168.10.62 -> 192.168.10.63", 5000)) << text;
}
