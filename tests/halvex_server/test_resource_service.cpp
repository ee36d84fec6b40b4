// The simulated camera's resource service on 127.0.0.1, driven by the
// library's client tree the way the program changes an interface.
#include "tools/camsim/resource_service.h"

#include <halvex/platform/errcodes.h>
#include <halvex/resource/client_resource.h>
#include <halvex/supervisor/supervisor.h>

#include <gtest/gtest.h>

#include <mutex>
#include <random>
#include <string>
#include <vector>

using namespace ZYRK;

namespace {

std::string ReadText(CClientResourceTree& t, const char* path)
{
    CResource* r = nullptr;
    if (t.OpenResource(CResourcePath(path), &r, nullptr) != ERR_OK) return "<missing>";
    CResourceValue v;
    unsigned long rc = r->Get(v, nullptr);
    r->Close();
    return rc == ERR_OK && v.GetAscii() ? v.GetAscii() : "<error>";
}

unsigned long Write(CClientResourceTree& t, const char* path, const CResourceValue& v, unsigned long time = 0)
{
    CResource* r = nullptr;
    unsigned long rc = t.OpenResource(CResourcePath(path), &r, nullptr);
    if (rc != ERR_OK) return rc;
    rc = r->Set(v, RES_NOWAIT, time, nullptr);
    r->Close();
    return rc;
}

TEST(ResourceService, CommitHandsThePendingSettingsOver)
{
    std::mutex lock;
    std::vector<camsim::InterfaceSettings> commits;
    camsim::ResourceServiceConfig config;
    config.bindAddress = "127.0.0.1";
    std::random_device rd;
    config.port = uint16_t(30000 + rd() % 25000);
    config.onCommit = [&](const camsim::InterfaceSettings& s) {
        std::lock_guard<std::mutex> g(lock);
        commits.push_back(s);
    };
    camsim::ResourceService service;
    std::string error;
    ASSERT_TRUE(service.Start(config, error)) << error;
    ASSERT_NE(service.Port(), 0);

    {
        CClientResourceTree client;
        ASSERT_EQ(client.Init("127.0.0.1", service.Port(), true), ERR_OK);
        EXPECT_EQ(ReadText(client, ".services.net.interface.LAN90001.method"), "manual");
        EXPECT_EQ(ReadText(client, ".services.net.interface.FEC1.address"), "10.0.0.100");
        const std::string p = ".services.net.interface.LAN90001.";
        EXPECT_EQ(Write(client, (p + "DHCP").c_str(), CResourceValue(false)), ERR_OK);
        EXPECT_EQ(Write(client, (p + "address").c_str(), CResourceValue("192.168.7.20")), ERR_OK);
        EXPECT_EQ(Write(client, (p + "netmask").c_str(), CResourceValue("255.255.0.0")), ERR_OK);
        EXPECT_EQ(Write(client, (p + "gateway").c_str(), CResourceValue("192.168.7.1")), ERR_OK);
        EXPECT_TRUE(commits.empty());
        EXPECT_EQ(Write(client, (p + "commit").c_str(), CResourceValue(true), 50), ERR_OK);
        {
            std::lock_guard<std::mutex> g(lock);
            ASSERT_EQ(commits.size(), 1u);
            EXPECT_EQ(commits[0].name, "LAN90001");
            EXPECT_FALSE(commits[0].dhcp);
            EXPECT_EQ(commits[0].address, "192.168.7.20");
            EXPECT_EQ(commits[0].netmask, "255.255.0.0");
            EXPECT_EQ(commits[0].gateway, "192.168.7.1");
        }
        EXPECT_EQ(Write(client, (p + "DHCP").c_str(), CResourceValue(true)), ERR_OK);
        EXPECT_EQ(Write(client, (p + "commit").c_str(), CResourceValue(true), 50), ERR_OK);
        EXPECT_EQ(ReadText(client, (p + "method").c_str()), "dhcp");
        EXPECT_EQ(Write(client, ".services.net.interface.FEC1.commit", CResourceValue(true)), ERR_OK);
        EXPECT_EQ(Write(client, (p + "DHCP").c_str(), CResourceValue("yes")), ERR_RES_WRONG_TYPE);
    }
    {
        std::lock_guard<std::mutex> g(lock);
        ASSERT_EQ(commits.size(), 3u);
        EXPECT_TRUE(commits[1].dhcp);
        EXPECT_EQ(commits[2].name, "FEC1");
    }
    camsim::InterfaceSettings lease = service.Current("LAN90001");
    lease.address = "192.168.7.99";
    EXPECT_TRUE(service.Update(lease));
    EXPECT_EQ(service.Current("LAN90001").address, "192.168.7.99");
    EXPECT_FALSE(service.Update(camsim::InterfaceSettings{"WLAN", false, "", "", ""}));
    // A session still open when the service stops is ended with it.
    CClientResourceTree late;
    ASSERT_EQ(late.Init("127.0.0.1", service.Port(), true), ERR_OK);
    service.Stop();
    EXPECT_EQ(service.Port(), 0);
}

}  // namespace
