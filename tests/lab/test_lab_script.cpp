// lab/lab.sh itself: nothing appears in the machine's own namespace, "down"
// stops what runs in the hosts, and "cleanup" removes only orphaned runs.
#include "lab_harness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using labtest::Lab;

namespace {

std::string Script() { return std::string(TELIOX_SOURCE_DIR) + "/lab/lab.sh"; }

int Shell(const std::string& cmd) { return system(cmd.c_str()); }

std::string Output(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[512];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    return out;
}

bool NamespaceExists(const std::string& name) { return access(("/run/netns/" + name).c_str(), F_OK) == 0; }

}  // namespace

TEST(LabScript, HostsAndBridgesStayOutOfTheMachinesNamespace) {
    LAB_REQUIRE();
    Lab lab;
    ASSERT_TRUE(lab.ok()) << lab.error();
    ASSERT_TRUE(lab.AddSubnet("a", "10.251.77.0/24")) << lab.error();
    ASSERT_EQ(lab.AddPcAdapter("a", "10.251.77.1/24"), "eth0") << lab.error();
    ASSERT_EQ(lab.AddHost("cam", "a", "10.251.77.50/24", "02:00:00:00:00:42"), "eth0") << lab.error();
    // No end of any lab wire is in the machine's namespace: a veth there would
    // name the lab namespace of its peer.
    std::string links = Output("ip -o link show");
    EXPECT_EQ(links.find(lab.run()), std::string::npos) << links;
    EXPECT_EQ(links.find("p0@"), std::string::npos) << links;
    EXPECT_EQ(Output("ip -o addr show | grep -c '10\\.251\\.77\\.'"), "0\n");
    // The wire works inside the lab, with the MAC given.
    auto ping = lab.Exec("pc", {"ping", "-c", "1", "-W", "2", "10.251.77.50"}, 10);
    EXPECT_EQ(ping.status, 0) << ping.out << ping.err;
    auto link = lab.Exec("cam", {"ip", "-o", "link", "show", "eth0"}, 10);
    EXPECT_NE(link.out.find("02:00:00:00:00:42"), std::string::npos) << link.out;
    // The bridge lives in the lab's own bridge namespace.
    auto br = lab.Exec("br", {"ip", "-o", "link", "show", "type", "bridge"}, 10);
    EXPECT_NE(br.out.find(lab.Bridge("a")), std::string::npos) << br.out;
    // Bad arguments are refused with a message, not half applied.
    EXPECT_NE(Shell(Script() + " add-host " + lab.run() + " pc a 10.251.77.9/24 2>/dev/null"), 0);
    EXPECT_NE(Shell(Script() + " add-subnet " + lab.run() + " a 10.251.78.0/24 2>/dev/null"), 0);
    EXPECT_NE(Shell(Script() + " up notalab 2>/dev/null"), 0);
}

TEST(LabScript, DownStopsProcessesAndRemovesEveryNamespace) {
    LAB_REQUIRE();
    std::string run;
    pid_t sleeper;
    {
        Lab lab;
        ASSERT_TRUE(lab.ok()) << lab.error();
        run = lab.run();
        ASSERT_TRUE(lab.AddSubnet("a", "10.9.0.0/24")) << lab.error();
        ASSERT_EQ(lab.AddHost("h", "a", "10.9.0.2/24"), "eth0") << lab.error();
        // A process started in a host without the harness: "down" must stop it too.
        sleeper = fork();
        if (sleeper == 0) {
            setsid();
            execlp("ip", "ip", "netns", "exec", (run + "-h").c_str(), "sleep", "60", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 50 && Output("ip netns pids " + run + "-h").empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(Output("ip netns pids " + run + "-h").empty());
        EXPECT_TRUE(NamespaceExists(run + "-h"));
    }
    int status = 0;
    EXPECT_EQ(waitpid(sleeper, &status, 0), sleeper);
    EXPECT_TRUE(WIFSIGNALED(status));
    for (const char* host : {"-h", "-pc", "-br"}) EXPECT_FALSE(NamespaceExists(run + host)) << run << host;
    EXPECT_NE(access(("/run/teliox-lab/" + run).c_str(), F_OK), 0);
}

TEST(LabScript, CleanupRemovesOnlyRunsWhoseOwnerIsGone) {
    LAB_REQUIRE();
    pid_t owner = fork();
    if (owner == 0) {
        pause();
        _exit(0);
    }
    std::string orphan = "tlx" + std::to_string(getpid()) + "zz";
    ASSERT_EQ(Shell(Script() + " up " + orphan + " " + std::to_string(owner)), 0);
    Lab mine;  // owned by this process
    ASSERT_TRUE(mine.ok()) << mine.error();
    EXPECT_EQ(Shell(Script() + " cleanup"), 0);
    EXPECT_TRUE(NamespaceExists(orphan + "-pc"));
    kill(owner, SIGKILL);
    waitpid(owner, nullptr, 0);
    EXPECT_EQ(Shell(Script() + " cleanup 2>/dev/null"), 0);
    EXPECT_FALSE(NamespaceExists(orphan + "-pc"));
    EXPECT_FALSE(NamespaceExists(orphan + "-br"));
    EXPECT_TRUE(NamespaceExists(mine.Namespace("pc")));
}
