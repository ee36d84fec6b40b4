// The resource-tree route of the IP change against a scripted camera on
// 127.0.0.1: what the read phase prepares, what the write phase writes and in
// which order, the interface names, the broadcast fallback (injected, nothing
// leaves the machine), the TLS branch's files and two changes at once.
#include "app/actions/ip_change_rt.h"

#include "discovery/adapters.h"

#include <halvex/client/res_cancel.h>
#include <halvex/resource/client_resource.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>
#include <mutex>

#include "scripted_camera.h"
#include "test_support.h"

using rtcam::Bool;
using rtcam::ScriptedCamera;
using rtcam::Text;
using rtcam::Value;
using testsrv::Bytes;

namespace {

const std::string kLan = ".services.net.interface.LAN90001.";
const std::string kFec = ".services.net.interface.FEC1.";

// Collects the status texts of a route; safe to call from the worker thread.
struct StatusLog {
    std::mutex mutex;
    std::vector<std::pair<std::string, bool>> texts;
    RTStatusCallback Callback() {
        return [this](const std::string& text, bool showNow) {
            std::lock_guard<std::mutex> lock(mutex);
            texts.emplace_back(text, showNow);
        };
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        for (const auto& t : texts) out.push_back(t.first);
        return out;
    }
};

// A port on 127.0.0.1 that nobody listens on.
uint16_t ClosedPort() {
    testsrv::ScriptServer probe(nullptr);
    return probe.Port();
}

CDevice Camera(const std::string& platform = "J3") {
    CDevice d;
    d.name = "cam1";
    d.ipAddress = "127.0.0.1";
    d.hostName = "cam1host";
    d.platform = platform;
    // As the mDNS source keeps them: network byte order.
    d.subnetMask = htonl(0xFFFFFF00u);  // 255.255.255.0
    d.gateway = htonl(0x7F000001u);     // 127.0.0.1
    return d;
}

RTRouteOptions Options(uint16_t port) {
    RTRouteOptions o;
    o.connect.plainPort = port;
    o.connect.tlsPort = port;
    o.connect.timeoutMs = 10000;
    o.broadcast = [](const std::string&, bool, const std::string&, const std::string&, const std::string&,
                     const std::string&) {
        ADD_FAILURE() << "no broadcast expected";
        return IPChangeBroadcastReport{-1, 0, "not allowed here"};
    };
    return o;
}

RTChange Change(const CDevice& camera, uint16_t port, bool dhcp, const std::string& address = "",
                const std::string& mask = "", const std::string& gateway = "") {
    RTChange c;
    c.camera = camera;
    c.dhcpRequested = dhcp;
    c.newAddress = address;
    c.newSubnetMask = mask;
    c.newGateway = gateway;
    c.connect = Options(port).connect;
    return c;
}

std::map<std::string, Value> CameraResources(const std::string& method, const std::string& iface = "LAN90001") {
    std::map<std::string, Value> r;
    if (!method.empty()) r[kLan + "method"] = Text(method);
    rtcam::AddInterface(r, iface, method != "manual");
    return r;
}

// One row in a list, the camera of Camera(); row changes recorded.
struct RecordingSink : IDeviceListSink {
    std::vector<std::pair<int, std::string>> ipCells;
    void InsertRow(int, const std::string&) override {}
    void SetItemText(int row, int column, const std::string& text) override {
        if (column == kColIpAddress) ipCells.emplace_back(row, text);
    }
    void SetItemImage(int, int, int) override {}
    void DeleteAllRows() override {}
};

void AddRow(CDeviceList& list, const CDevice& camera) {
    DeviceInfo info;
    info.name = camera.name;
    info.hostName = camera.hostName;
    info.ipAddress = camera.ipAddress;
    info.txt["bsp"] = camera.platform;
    info.subnetMask = camera.subnetMask;
    info.gateway = camera.gateway;
    list.AddOrUpdateDevice(info);
}

}  // namespace

TEST(RTWritePhase, FixedAddressWritesInOrderWithCommitLast) {
    ScriptedCamera cam(CameraResources("dhcp"));
    StatusLog log;
    const RTWriteResult r =
        IPChangeThread(Change(Camera(), cam.Port(), false, "10.1.2.3", "255.255.0.0", "10.1.0.1"), log.Callback());

    EXPECT_TRUE(r.connected);
    EXPECT_TRUE(r.committed);
    EXPECT_EQ(r.written, 5u);
    EXPECT_TRUE(r.skipped.empty());
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"IP change completed"});

    const auto writes = cam.Writes();
    ASSERT_EQ(writes.size(), 5u);
    const std::vector<std::pair<std::string, Value>> expected = {
        {kLan + "DHCP", Bool(false)},          {kLan + "address", Text("10.1.2.3")},
        {kLan + "netmask", Text("255.255.0.0")}, {kLan + "gateway", Text("10.1.0.1")},
        {kLan + "commit", Bool(true)},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(writes[i].path, expected[i].first) << i;
        EXPECT_EQ(writes[i].value, expected[i].second) << i;
        EXPECT_EQ(writes[i].wait, 0) << i;
        EXPECT_EQ(writes[i].time, i + 1 == expected.size() ? 50u : 0u) << i;
        EXPECT_EQ(writes[i].connection, 1);
    }
    // Each resource opened once, right before its write; no reads.
    std::vector<std::string> opened;
    for (const auto& e : expected) opened.push_back(e.first);
    EXPECT_EQ(cam.Opened(), opened);
    EXPECT_TRUE(cam.Read().empty());
    EXPECT_EQ(cam.Connections(), 1);
}

TEST(RTWritePhase, DhcpWritesOnlyTheFlagAndTheCommit) {
    ScriptedCamera cam(CameraResources("manual"));
    StatusLog log;
    // Address texts given anyway must not be written for DHCP.
    const RTWriteResult r = IPChangeThread(Change(Camera(), cam.Port(), true, "10.9.9.9", "255.0.0.0", "10.0.0.1"),
                                           log.Callback());
    EXPECT_TRUE(r.committed);
    const auto writes = cam.Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].path, kLan + "DHCP");
    EXPECT_EQ(writes[0].value, Bool(true));
    EXPECT_EQ(writes[1].path, kLan + "commit");
    EXPECT_EQ(writes[1].time, 50u);
    EXPECT_EQ(cam.Get(kLan + "address"), Text("127.0.0.1"));
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"IP change completed"});
}

// A resource that does not open or a write the camera refuses ends the
// change before the commit, and the status says so: "IP change completed"
// only when everything was accepted.
TEST(RTWritePhase, AMissingOrRefusedResourceEndsTheChangeBeforeTheCommit) {
    {
        auto resources = CameraResources("manual");
        resources.erase(kLan + "address");
        ScriptedCamera cam(resources);
        StatusLog log;
        const RTWriteResult r =
            IPChangeThread(Change(Camera(), cam.Port(), false, "10.1.2.3", "255.255.0.0", "10.1.0.1"), log.Callback());
        EXPECT_TRUE(r.connected);
        EXPECT_FALSE(r.committed);
        EXPECT_EQ(r.outcome, RTOutcome::Failed);
        EXPECT_EQ(r.written, 1u);
        EXPECT_EQ(r.failedStep, "address");
        EXPECT_EQ(r.failedResult, 0xAB010004u);
        ASSERT_EQ(r.skipped.size(), 1u);
        EXPECT_EQ(r.skipped[0], kLan + "address: 0xAB010004");
        std::vector<std::string> paths;
        for (const auto& w : cam.Writes()) paths.push_back(w.path);
        EXPECT_EQ(paths, std::vector<std::string>{kLan + "DHCP"});
        EXPECT_EQ(log.Texts(),
                  std::vector<std::string>{"IP change failed: address: resource not in tree (0xAB010004)"});
    }
    for (const char* refused : {"netmask", "commit"}) {
        SCOPED_TRACE(refused);
        ScriptedCamera cam(CameraResources("manual"), {kLan + refused});
        StatusLog log;
        const RTWriteResult r =
            IPChangeThread(Change(Camera(), cam.Port(), false, "10.1.2.3", "255.255.0.0", "10.1.0.1"), log.Callback());
        EXPECT_FALSE(r.committed);
        EXPECT_EQ(r.outcome, RTOutcome::Failed);
        EXPECT_EQ(r.failedStep, refused);
        EXPECT_EQ(r.status, std::string("IP change failed: ") + refused + ": 0xAB010008");
        EXPECT_EQ(log.Texts(), std::vector<std::string>{r.status});
        const auto writes = cam.Writes();
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.back().path, kLan + refused) << "nothing is written after the refusal";
        EXPECT_EQ(cam.Get(kLan + "commit"), Bool(false));
    }
}

TEST(RTReadPhase, MethodTextDecidesTheModeAndTheDialogStart) {
    struct Case {
        const char* method;
        bool dhcp;
    };
    for (const Case c : {Case{"manual", false}, Case{"Manual", true}, Case{"dhcp", true}, Case{"", true}}) {
        SCOPED_TRACE(c.method);
        std::map<std::string, Value> resources;
        resources[kLan + "method"] = Text(c.method);
        rtcam::AddInterface(resources, "LAN90001", !c.dhcp);  // the flag contradicts: the method wins
        ScriptedCamera cam(resources);
        StatusLog log;
        const RTReadResult r = ReadViaResourceTree(Camera(), log.Callback(), Options(cam.Port()));

        EXPECT_TRUE(r.connected);
        EXPECT_EQ(r.dhcp, c.dhcp);
        EXPECT_EQ(log.texts, (std::vector<std::pair<std::string, bool>>{{"Connecting to camera...", true},
                                                                          {"Connected", true}}));
        EXPECT_EQ(cam.Read(), std::vector<std::string>{kLan + "method"});
        EXPECT_TRUE(cam.Writes().empty());
        const RTDialogPreset& p = r.preset;
        EXPECT_EQ(p.cameraName, "cam1");
        EXPECT_EQ(p.obtainAutomatically, c.dhcp);
        EXPECT_TRUE(p.settingsKnown);
        EXPECT_TRUE(p.automaticAllowed);
        EXPECT_EQ(p.address, 0x7F000001u);
        // A fixed address starts with the record's network-order mask and gateway.
        EXPECT_EQ(p.netmask, c.dhcp ? 0u : 0xFFFFFF00u);
        EXPECT_EQ(p.gatewayAddress, c.dhcp ? 0u : 0x7F000001u);
        EXPECT_EQ(r.subnetMask, c.dhcp ? "" : "255.255.255.0");
    }
}

TEST(RTReadPhase, WithoutTheMethodTheInterfacesDhcpFlagIsRead) {
    for (bool dhcp : {true, false}) {
        for (const char* platform : {"J3", "w6"}) {
            SCOPED_TRACE(std::string(platform) + (dhcp ? " dhcp" : " fixed"));
            const std::string iface = std::string(platform) == "w6" ? "FEC1" : "LAN90001";
            std::map<std::string, Value> resources;
            rtcam::AddInterface(resources, iface, dhcp);
            // The other interface says the opposite: it must not be read.
            rtcam::AddInterface(resources, iface == "FEC1" ? "LAN90001" : "FEC1", !dhcp);
            ScriptedCamera cam(resources);
            StatusLog log;
            const RTReadResult r = ReadViaResourceTree(Camera(platform), log.Callback(), Options(cam.Port()));
            EXPECT_TRUE(r.connected);
            EXPECT_EQ(r.dhcp, dhcp);
            EXPECT_EQ(r.preset.obtainAutomatically, dhcp);
            EXPECT_EQ(cam.Opened(), (std::vector<std::string>{kLan + "method",
                                                              ".services.net.interface." + iface + ".DHCP"}));
            EXPECT_EQ(cam.Read(), std::vector<std::string>{".services.net.interface." + iface + ".DHCP"});
        }
    }
    // Neither resource: a fixed address with the record's values.
    ScriptedCamera empty({});
    StatusLog log;
    const RTReadResult r = ReadViaResourceTree(Camera(), log.Callback(), Options(empty.Port()));
    EXPECT_TRUE(r.connected);
    EXPECT_FALSE(r.dhcp);
    EXPECT_EQ(r.preset.netmask, 0xFFFFFF00u);
    EXPECT_EQ(log.Texts().back(), "Connected");
}

TEST(RTRoute, W6IsWrittenUnderFec1WhileTheModeComesFromLan90001) {
    std::map<std::string, Value> resources;
    resources[kLan + "method"] = Text("manual");
    rtcam::AddInterface(resources, "FEC1", false);
    rtcam::AddInterface(resources, "LAN90001", false);
    ScriptedCamera cam(resources);
    CDevice camera = Camera("W6");
    CDeviceList list;
    AddRow(list, camera);
    StatusLog log;
    const RTRouteOptions options = Options(cam.Port());

    const RTReadResult read = ReadViaResourceTree(camera, log.Callback(), options);
    ASSERT_TRUE(read.connected);
    EXPECT_FALSE(read.dhcp);
    RTSettings chosen;
    chosen.dhcp = false;
    chosen.address = 0x0A000005;  // 10.0.0.5
    chosen.netmask = 0xFFFFFF00;
    chosen.gateway = 0x0A000001;
    RTApplyResult applied = ApplyViaResourceTree(list, 0, read, chosen, log.Callback(), options);
    ASSERT_TRUE(applied.threadStarted);
    applied.thread.join();

    EXPECT_EQ(cam.Read(2), std::vector<std::string>{kLan + "method"});
    const auto writes = cam.Writes(2);
    ASSERT_EQ(writes.size(), 5u);
    for (const auto& w : writes) {
        EXPECT_EQ(w.path.rfind(kFec, 0), 0u) << w.path;
        EXPECT_EQ(w.connection, 2) << "the write phase makes its own connection";
    }
    EXPECT_EQ(cam.Get(kFec + "address"), Text("10.0.0.5"));
    EXPECT_EQ(cam.Get(kFec + "gateway"), Text("10.0.0.1"));
    EXPECT_EQ(cam.Get(kLan + "address"), Text("127.0.0.1"));
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"Connecting to camera...", "Connected", "Initiating IP change",
                                                     "IP change completed"}));
    EXPECT_FALSE(list.Snapshot().at(0).ipChangePending);
}

TEST(RTRoute, UnreachableCameraGetsTheBroadcastWithTheDialogsValues) {
    const uint16_t port = ClosedPort();
    CDevice camera = Camera("W6");
    RecordingSink sink;
    CDeviceList list(&sink);
    AddRow(list, camera);
    StatusLog log;
    RTRouteOptions options = Options(port);
    struct Sent {
        std::string host, address, mask, gateway, iface;
        bool dhcp;
    };
    std::vector<Sent> sent;
    options.broadcast = [&](const std::string& host, bool dhcp, const std::string& address, const std::string& mask,
                            const std::string& gateway, const std::string& iface) {
        sent.push_back({host, address, mask, gateway, iface, dhcp});
        return IPChangeBroadcastReport{0, 1, ""};
    };

    const RTReadResult read = ReadViaResourceTree(camera, log.Callback(), options);
    EXPECT_FALSE(read.connected);
    EXPECT_NE(read.connectResult, 0u);
    EXPECT_EQ(log.texts, (std::vector<std::pair<std::string, bool>>{{"Connecting to camera...", true},
                                                                      {"Connection failed", true}}));
    // Nothing known: fixed-address mode with empty mask and gateway.
    EXPECT_FALSE(read.preset.settingsKnown);
    EXPECT_FALSE(read.preset.obtainAutomatically);
    EXPECT_EQ(read.preset.address, 0x7F000001u);

    // DHCP chosen: the dialog's address fields still go out.
    RTSettings chosen;
    chosen.dhcp = true;
    chosen.address = 0x7F000001;
    chosen.netmask = 0xFFFFFF00;
    chosen.gateway = 0;
    RTApplyResult applied = ApplyViaResourceTree(list, 0, read, chosen, log.Callback(), options);
    EXPECT_FALSE(applied.threadStarted);
    EXPECT_FALSE(applied.thread.joinable());
    EXPECT_TRUE(applied.broadcast);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].host, "cam1host");
    EXPECT_TRUE(sent[0].dhcp);
    EXPECT_EQ(sent[0].address, "127.0.0.1");
    EXPECT_EQ(sent[0].mask, "255.255.255.0");
    EXPECT_EQ(sent[0].gateway, "0.0.0.0");
    EXPECT_EQ(sent[0].iface, "FEC1");
    EXPECT_EQ(log.Texts().back(), "IP change broadcasted");
    EXPECT_TRUE(list.Snapshot().at(0).ipChangePending);
    ASSERT_FALSE(sink.ipCells.empty());
    EXPECT_EQ(sink.ipCells.back(), (std::pair<int, std::string>{0, ""}));
}

TEST(RTRoute, TheChangeGoesToTheCameraOfTheDialogEvenWhenTheRowChanged) {
    ScriptedCamera cam(CameraResources("manual"));
    const RTRouteOptions options = Options(cam.Port());
    CDevice camera = Camera();
    const RTReadResult read = ReadViaResourceTree(camera, {}, options);
    ASSERT_TRUE(read.connected);

    // A refresh put another camera into row 0 meanwhile.
    CDeviceList list;
    CDevice other = Camera();
    other.ipAddress = "127.0.0.2";
    other.hostName = "other";
    AddRow(list, other);
    list.WithDevice(0, [](CDevice& d) { d.ipChangePending = true; });

    RTSettings chosen;
    chosen.dhcp = true;
    RTApplyResult applied = ApplyViaResourceTree(list, 0, read, chosen, {}, options);
    ASSERT_TRUE(applied.threadStarted);
    applied.thread.join();
    EXPECT_FALSE(applied.rowUpdated);
    EXPECT_TRUE(list.Snapshot().at(0).ipChangePending) << "another camera's record is left alone";
    EXPECT_EQ(cam.Get(kLan + "DHCP"), Bool(true));
}

TEST(RTRoute, TwoChangesStartedBackToBackEachWriteTheirOwnValues) {
    ScriptedCamera cam(CameraResources("manual"));
    const RTRouteOptions options = Options(cam.Port());
    CDeviceList list;
    AddRow(list, Camera());
    const RTReadResult read = ReadViaResourceTree(Camera(), {}, options);
    ASSERT_TRUE(read.connected);

    auto status = std::make_shared<StatusLog>();
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (uint32_t last : {21u, 22u}) {
        RTSettings chosen;
        chosen.address = 0x0A000000 | last;
        chosen.netmask = 0xFFFF0000 | last;
        chosen.gateway = 0x0A0000F0 | last;
        // The callback holds the log by shared_ptr, so it outlives the thread.
        RTApplyResult a = ApplyViaResourceTree(
            list, 0, read, chosen, [status](const std::string& t, bool s) { status->Callback()(t, s); }, options,
            [&done](const RTWriteResult& r) {
                if (r.committed) ++done;
            });
        ASSERT_TRUE(a.threadStarted);
        threads.push_back(std::move(a.thread));
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(done.load(), 2);

    // Per connection of the write phases (1 was the read phase): one
    // complete change with one set of values.
    std::map<int, std::vector<rtcam::Write>> byConnection;
    for (const auto& w : cam.Writes(3)) byConnection[w.connection].push_back(w);
    ASSERT_EQ(byConnection.size(), 2u);
    std::set<std::string> addresses;
    for (const auto& [connection, writes] : byConnection) {
        ASSERT_EQ(writes.size(), 5u) << connection;
        const std::string address(writes[1].value.body.begin(), writes[1].value.body.end() - 1);
        ASSERT_EQ(address.rfind("10.0.0.", 0), 0u) << address;
        const std::string last = address.substr(7);
        EXPECT_EQ(writes[2].value, Text("255.255.0." + last));
        EXPECT_EQ(writes[3].value, Text("10.0.0." + std::to_string(0xF0 | std::stoi(last))));
        addresses.insert(address);
    }
    EXPECT_EQ(addresses, (std::set<std::string>{"10.0.0.21", "10.0.0.22"}));
}

TEST(RTConnect, TlsBranchNeedsTheClientFilesAndUsesTheTlsPort) {
    ScopedProgramData data("rt_tls");
    std::atomic<int> accepted{0};
    testsrv::ScriptServer tls([&](int) { ++accepted; }, 1);
    CDevice camera = Camera();
    camera.disabled = true;
    RTConnectOptions options;
    options.plainPort = ClosedPort();
    options.tlsPort = tls.Port();

    auto connect = [&] {
        CCameraCredentials credentials;
        ZYRK::CClientResourceTree tree;
        return ConnectToCamera(camera, tree, credentials, options);
    };
    // No files at all.
    EXPECT_EQ(connect(), 1u);
    // A certificate but a key that is no PEM key.
    const ClientCertificate id = MakeCameraCertificate("client");
    std::filesystem::create_directories(data.SslDir());
    WriteFile(data.SslDir() + "/cert.pem", ToPem(id.cert.get()));
    WriteFile(data.SslDir() + "/key.pem", "not a key\n");
    EXPECT_EQ(connect(), 1u);
    EXPECT_EQ(accepted.load(), 0) << "nothing may connect without the client files";

    // Readable files: Init runs against the TLS port (here a peer that
    // closes at once, so the handshake fails).
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, id.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* pem = nullptr;
    const long n = BIO_get_mem_data(bio, &pem);
    WriteFile(data.SslDir() + "/key.pem", std::string(pem, size_t(n)));
    BIO_free(bio);
    WriteFile(data.SslDir() + "/cam1host.pem", ToPem(id.cert.get()));
    EXPECT_EQ(connect(), 0xFFFFFFFFu);
    EXPECT_EQ(accepted.load(), 1);

    // The write phase of such a camera reports the failure like any other.
    StatusLog log;
    RTChange change;
    change.camera = camera;
    change.connect = options;
    change.connect.tlsPort = ClosedPort();
    EXPECT_FALSE(IPChangeThread(change, log.Callback()).connected);
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"Failed to connect"});
}

// ---- cameras that misbehave -------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}


}  // namespace

// The measured fault: the reply to the DHCP write comes a second late and the
// camera refuses the commit. The late reply must not be taken for the next
// request's, and the change ends as a failure, not "IP change completed".
TEST(RTMisbehavingCamera, LateDhcpReplyAndRefusedCommitEndInAReportedFailure) {
    std::atomic<int> afterLate{-1};
    testsrv::ScriptServer server([&](int fd) {
        if (!testsrv::AnswerSessionInit(fd)) return;
        int writes = 0, n = 0;
        bool late = false;
        for (Bytes f; !(f = testsrv::ReadFrame(fd)).empty();) {
            if (late) ++n;
            if (testsrv::RequestCode(f) == 0x47) {
                testsrv::WriteAll(fd, testsrv::Frame({0x48}));
            } else if (testsrv::RequestCode(f) == 0x14 && ++writes == 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2000));
                testsrv::WriteAll(fd, testsrv::Frame({0x12, 0}));
                late = true;
            } else {
                // Every later write, the commit included, is refused.
                testsrv::WriteAll(fd, testsrv::Frame({0xFF, 165, 0xAB, 0x01, 0x00, 0x0A}));
            }
        }
        afterLate = n;
    });
    RTChange change = Change(Camera(), server.Port(), false, "10.1.2.3", "255.255.0.0", "10.1.0.1");
    change.connect.timeoutMs = 1000;
    StatusLog log;
    const auto start = Clock::now();
    const RTWriteResult r = IPChangeThread(change, log.Callback());
    EXPECT_LE(MsSince(start), 1000 + 500);
    server.Join();
    EXPECT_EQ(r.outcome, RTOutcome::Failed);
    EXPECT_FALSE(r.committed);
    EXPECT_EQ(r.failedStep, "DHCP");
    EXPECT_EQ(r.failedResult, 0x64080000u);
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"IP change failed: DHCP: timeout (0x64080000)"});
    EXPECT_EQ(afterLate.load(), 0) << "nothing was sent after the late reply";
}

TEST(RTMisbehavingCamera, ASilentCameraEndsTheReadPhaseAndTheBroadcastFollows) {
    testsrv::ScriptServer server([](int fd) {
        while (!testsrv::ReadFrame(fd).empty()) {
        }
    });
    CDevice camera = Camera();
    CDeviceList list;
    AddRow(list, camera);
    RTRouteOptions options = Options(server.Port());
    options.connect.timeoutMs = 1000;
    int broadcasts = 0;
    options.broadcast = [&](const std::string&, bool, const std::string&, const std::string&, const std::string&,
                            const std::string&) {
        ++broadcasts;
        return IPChangeBroadcastReport{0, 2, ""};
    };
    StatusLog log;
    const auto start = Clock::now();
    const RTReadResult read = ReadViaResourceTree(camera, log.Callback(), options);
    EXPECT_LE(MsSince(start), 1000 + 500);
    EXPECT_FALSE(read.connected);
    EXPECT_EQ(read.connectResult, 0x64080000u);
    EXPECT_FALSE(read.preset.settingsKnown);
    RTSettings chosen;
    chosen.address = 0x0A000005;
    chosen.netmask = 0xFFFFFF00;
    RTApplyResult applied = ApplyViaResourceTree(list, 0, read, chosen, log.Callback(), options);
    EXPECT_EQ(broadcasts, 1);
    EXPECT_EQ(applied.outcome, RTOutcome::BroadcastSent);
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"Connecting to camera...", "Connection failed",
                                                     "Initiating IP change", "IP change broadcasted"}));
    EXPECT_TRUE(list.Snapshot().at(0).ipChangePending);
}

// A broadcast that no adapter sent is a failure with its reason, and the
// row gets no pending mark.
TEST(RTRoute, ABroadcastThatWentNowhereIsReportedAsAFailure) {
    CDevice camera = Camera();
    CDeviceList list;
    AddRow(list, camera);
    RTRouteOptions options = Options(ClosedPort());
    options.broadcast = [](const std::string&, bool, const std::string&, const std::string&, const std::string&,
                           const std::string&) {
        return IPChangeBroadcastReport{EACCES, 0, "binding 192.168.10.1:810 failed: Permission denied"};
    };
    StatusLog log;
    const RTReadResult read = ReadViaResourceTree(camera, log.Callback(), options);
    ASSERT_FALSE(read.connected);
    RTApplyResult applied = ApplyViaResourceTree(list, 0, read, RTSettings{}, log.Callback(), options);
    EXPECT_TRUE(applied.broadcast);
    EXPECT_EQ(applied.outcome, RTOutcome::Failed);
    EXPECT_EQ(applied.broadcastResult, EACCES);
    EXPECT_EQ(applied.status, "IP change broadcast failed: binding 192.168.10.1:810 failed: Permission denied");
    EXPECT_EQ(log.Texts().back(), applied.status);
    EXPECT_FALSE(list.Snapshot().at(0).ipChangePending);
}

// Closing the window abandons a change: the cancel ends the wait at once,
// nothing more is sent, and the result is never "completed".
TEST(RTMisbehavingCamera, AnAbandonedChangeEndsAtOnceAndCommitsNothing) {
    std::atomic<int> requests{-1};
    testsrv::ScriptServer server([&](int fd) {
        if (!testsrv::AnswerSessionInit(fd)) return;
        int n = 0;
        while (!testsrv::ReadFrame(fd).empty()) ++n;  // never answered
        requests = n;
    });
    RTChange change = Change(Camera(), server.Port(), false, "10.1.2.3", "255.255.0.0", "10.1.0.1");
    change.connect.cancel = std::make_shared<ZYRK::CResCancel>();
    auto cancel = change.connect.cancel;
    StatusLog log;
    RTWriteResult result;
    std::atomic<bool> finished{false};
    std::thread worker = StartIPChangeThread(change, log.Callback(), [&](const RTWriteResult& r) {
        result = r;
        finished = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = Clock::now();
    cancel->Cancel();
    worker.join();
    EXPECT_LE(MsSince(start), 500);
    EXPECT_TRUE(finished);
    EXPECT_EQ(result.outcome, RTOutcome::Failed);
    EXPECT_FALSE(result.committed);
    EXPECT_EQ(result.status, "IP change abandoned");
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"IP change abandoned"});
    server.Join();
    EXPECT_EQ(requests.load(), 1) << "only the open that was waiting went out";
}

// A camera that answers every request in time but slowly cannot stretch a
// phase beyond its bound: the write phase ends as a failure before the
// commit when its time is used up, although no single reply was late. With
// no phase bound the same camera takes the change, so the bound is what
// ended it.
TEST(RTMisbehavingCamera, ASlowCameraCannotStretchAPhaseBeyondItsBound) {
    ScriptedCamera camera(CameraResources("manual"));
    camera.SetAnswerDelay(150);
    RTChange change = Change(Camera(), camera.Port(), false, "10.1.2.3", "255.255.0.0", "10.1.0.1");
    change.connect.timeoutMs = 1000;
    change.connect.phaseTimeoutMs = 1000;

    RTRouteOptions options = Options(camera.Port());
    options.connect = change.connect;
    StatusLog readLog;
    auto start = Clock::now();
    const RTReadResult read = ReadViaResourceTree(Camera(), readLog.Callback(), options);
    EXPECT_LE(MsSince(start), 1000 + 500);
    EXPECT_TRUE(read.connected) << "three answers fit in the read phase";
    EXPECT_FALSE(read.dhcp);

    StatusLog log;
    start = Clock::now();
    const RTWriteResult bounded = IPChangeThread(change, log.Callback());
    EXPECT_LE(MsSince(start), 1000 + 500);
    EXPECT_TRUE(bounded.connected);
    EXPECT_EQ(bounded.outcome, RTOutcome::Failed);
    EXPECT_FALSE(bounded.committed);
    EXPECT_EQ(bounded.failedResult, 0x64080000u);
    EXPECT_EQ(log.Texts().back(), "IP change failed: " + bounded.failedStep + ": timeout (0x64080000)");
    EXPECT_EQ(camera.Get(kLan + "commit"), Bool(false));

    change.connect.phaseTimeoutMs = 0;
    const RTWriteResult unbounded = IPChangeThread(change, nullptr);
    EXPECT_EQ(unbounded.outcome, RTOutcome::Done);
    EXPECT_EQ(camera.Get(kLan + "commit"), Bool(true));
}

// The whole change on the caller's thread, for callers without a dialog.
TEST(RTRoute, ChangeViaResourceTreeReportsDoneOrBroadcast) {
    {
        ScriptedCamera cam(CameraResources("manual"));
        StatusLog log;
        int reads = 0;
        RTSettings chosen;
        chosen.address = 0x0A010203;
        chosen.netmask = 0xFFFF0000;
        chosen.gateway = 0x0A010001;
        const RTChangeResult r = ChangeViaResourceTree(Camera(), chosen, log.Callback(), Options(cam.Port()),
                                                       [&](const RTReadResult& read) {
                                                           ++reads;
                                                           EXPECT_FALSE(read.dhcp);
                                                       });
        EXPECT_EQ(reads, 1);
        EXPECT_EQ(r.outcome, RTOutcome::Done);
        EXPECT_EQ(r.status, "IP change completed");
        EXPECT_EQ(cam.Get(kLan + "address"), Text("10.1.2.3"));
        EXPECT_EQ(log.Texts(), (std::vector<std::string>{"Connecting to camera...", "Connected", "Initiating IP change",
                                                         "IP change completed"}));
    }
    {
        RTRouteOptions options = Options(ClosedPort());
        std::string sentAddress;
        options.broadcast = [&](const std::string&, bool dhcp, const std::string& address, const std::string&,
                                const std::string&, const std::string&) {
            EXPECT_TRUE(dhcp);
            sentAddress = address;
            return IPChangeBroadcastReport{0, 1, ""};
        };
        RTSettings chosen;
        chosen.dhcp = true;
        StatusLog log;
        const RTChangeResult r = ChangeViaResourceTree(Camera(), chosen, log.Callback(), options);
        EXPECT_EQ(r.outcome, RTOutcome::BroadcastSent);
        EXPECT_EQ(r.status, "IP change broadcasted");
        EXPECT_EQ(sentAddress, "127.0.0.1");  // the address the dialog would have held
    }
}
