// Neighbour resolution for real, in the pc host of a lab: a camera host that
// answers ARP (in its subnet and in a foreign one on the same wire), one that
// does not, and addresses that must never be asked for. The camera hosts
// receive no UDP datagram from any of it; without CAP_NET_ADMIN the look-up
// still works through the unprivileged echo request.
#include "office_lab.h"

#include "discovery/neighbour.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <net/if.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

using labtest::Lab;
using namespace std::chrono_literals;

namespace {

// "InDatagrams NoPorts" of the host's UDP counters: every datagram that
// reached the host, to an open port or not.
std::string UdpReceived(Lab& lab, const std::string& host) {
    auto r = lab.Exec(host, {"cat", "/proc/net/snmp"}, 10);
    std::istringstream in(r.out);
    std::string names, values, line;
    while (std::getline(in, line)) {
        if (line.rfind("Udp: InDatagrams", 0) == 0) names = line;
        else if (line.rfind("Udp: ", 0) == 0 && !names.empty() && values.empty()) values = line;
    }
    std::istringstream v(values);
    std::string tag, inDatagrams, noPorts;
    v >> tag >> inDatagrams >> noPorts;
    return inDatagrams + " " + noPorts;
}

// Drops CAP_NET_ADMIN from the calling process (a child of the test).
bool DropNetAdmin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[0].effective &= ~(1u << CAP_NET_ADMIN);
    data[0].permitted &= ~(1u << CAP_NET_ADMIN);
    return syscall(SYS_capset, &header, data) == 0;
}

std::string Mac(uint32_t index, const std::string& address, std::chrono::milliseconds timeout) {
    auto m = ResolveNeighbourMac(index, address, timeout);
    return m ? *m : "none";
}

class LabNeighbour : public labtest::OfficeLab {
protected:
    LabNeighbour() : OfficeLab({.cidr = "10.61.0.0/24", .pcAddress = "10.61.0.1/24"}) {}
    void SetUp() override {
        OfficeLab::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(lab_->AddHost("cam", "a", "10.61.0.5/24", "02:00:00:00:61:05"), "eth0") << lab_->error();
        // A second address in a foreign subnet, on the same wire.
        ASSERT_EQ(lab_->Exec("cam", {"ip", "addr", "add", "192.168.61.5/24", "dev", "eth0"}).status, 0);
        // A host that does not answer ARP.
        ASSERT_EQ(lab_->AddHost("mute", "a", "10.61.0.6/24", "02:00:00:00:61:06"), "eth0") << lab_->error();
        ASSERT_EQ(lab_->Exec("mute", {"ip", "link", "set", "eth0", "arp", "off"}).status, 0);
    }
};

}  // namespace

TEST_F(LabNeighbour, ResolvesWhatAnswersAndNothingElseWithoutTouchingTheCameras) {
    const std::string camBefore = UdpReceived(*lab_, "cam"), muteBefore = UdpReceived(*lab_, "mute");
    std::string result = lab_->RunIn("pc", [] {
        const uint32_t index = if_nametoindex("eth0");
        std::string out = Mac(index, "10.61.0.5", 2s) + " " + Mac(index, "192.168.61.5", 2s) + " " +
                          Mac(0, "10.61.0.5", 2s);
        const auto start = std::chrono::steady_clock::now();
        out += " " + Mac(index, "10.61.0.6", 1500ms);
        const bool bounded = std::chrono::steady_clock::now() - start < 1500ms + 500ms;
        out += bounded ? " bounded" : " late";
        for (const char* never : {"10.61.0.255", "224.0.0.251", "224.0.0.1", "255.255.255.255", "0.0.0.0", "10.61.0.1"})
            out += " " + Mac(index, never, 500ms);
        return out;
    });
    EXPECT_EQ(result,
              "02:00:00:00:61:05 02:00:00:00:61:05 02:00:00:00:61:05 none bounded none none none none none none");
    EXPECT_EQ(UdpReceived(*lab_, "cam"), camBefore) << "a UDP datagram reached the camera host";
    EXPECT_EQ(UdpReceived(*lab_, "mute"), muteBefore) << "a UDP datagram reached the silent host";
}

TEST_F(LabNeighbour, WithoutNetAdminAnEchoRequestStartsResolution) {
    const std::string camBefore = UdpReceived(*lab_, "cam");
    std::string result = lab_->RunIn("pc", [] {
        if (!DropNetAdmin()) return std::string("cannot drop CAP_NET_ADMIN");
        const uint32_t index = if_nametoindex("eth0");
        return Mac(index, "10.61.0.5", 2s) + " " + Mac(index, "10.61.0.6", 1s);
    });
    EXPECT_EQ(result, "02:00:00:00:61:05 none");
    EXPECT_EQ(UdpReceived(*lab_, "cam"), camBefore);
}
