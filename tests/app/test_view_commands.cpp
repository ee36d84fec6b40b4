// The view's camera commands end to end against peers on 127.0.0.1: Modify on
// a GigE Vision camera (a fake camera answering the register writes, the
// forced address aimed at loopback) and on a resource-tree camera (a scripted
// resource server; the broadcast fallback injected), Generate certificates
// with the program-data folder in a temporary place, and Upload certificate
// against a local HTTP server. Nothing is broadcast and no discovery runs.
#include "app/commands.h"
#include "app/ip_addr_ctrl.h"
#include "app/ip_settings.h"
#include "app/main_frame.h"
#include "app/teliox_view.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QSignalSpy>

#include <arpa/inet.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "loopback_helpers.h"
#include "scripted_camera.h"
#include "test_support.h"

using Bytes = std::vector<uint8_t>;

namespace {

// Discovery that only counts the scans asked of it.
struct CountingDiscovery : IDiscoveryControl {
    explicit CountingDiscovery(std::shared_ptr<std::atomic<int>> scans) : scans(std::move(scans)) {}
    void Start() override {}
    void Stop() override {}
    void SignalScan() override { ++*scans; }
    bool IsScanning() const override { return false; }
    std::shared_ptr<std::atomic<int>> scans;
};

// Processes events until `done` holds or a generous bound passes (no timing is asserted).
template <typename Pred>
bool WaitUntil(Pred done, int boundMs = 60000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

Bytes Ack(uint16_t status) {
    Bytes b = {uint8_t(status >> 8), uint8_t(status), 0x00, 0x83, 0x00, 0x04, 0x10, 0x01};
    b.resize(12, 0);
    return b;
}
uint32_t Reg(const Bytes& cmd) { return uint32_t(cmd[8]) << 24 | cmd[9] << 16 | cmd[10] << 8 | cmd[11]; }
uint32_t Val(const Bytes& cmd) { return uint32_t(cmd[12]) << 24 | cmd[13] << 16 | cmd[14] << 8 | cmd[15]; }

constexpr uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

const std::string kLan = ".services.net.interface.LAN90001.";

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        scans = std::make_shared<std::atomic<int>>(0);
        view = std::make_unique<CTelioxView>(nullptr, [this](CDeviceList&, CStatusText&) {
            return std::make_unique<CountingDiscovery>(scans);
        });
        view->SetQuestionRunner([this](const QString& q) {
            questions.push_back(q);
            return answer;
        });
        view->SetSettingsDialogRunner([this](CIPSettings& dialog) {
            ++dialogs;
            shown = dialog;
            if (!accept) return int(QDialog::Rejected);
            dialog.obtainAutomatically = choice.dhcp;
            dialog.address = choice.address;
            dialog.netmask = choice.netmask;
            dialog.gatewayAddress = choice.gateway;
            return int(QDialog::Accepted);
        });
        // Nothing may be broadcast: any attempt fails the test.
        RTRouteOptions route;
        route.broadcast = [](const std::string&, bool, const std::string&, const std::string&, const std::string&,
                             const std::string&) {
            ADD_FAILURE() << "unexpected broadcast";
            return IPChangeBroadcastReport{-1, 0, "not allowed here"};
        };
        view->SetRouteOptions(route);
        view->SetGEVControlFactory([] {
            ADD_FAILURE() << "unexpected GigE Vision control";
            auto c = std::make_unique<CGEVControl>();
            c->cameraPort = 9;  // discard, on loopback only
            c->forceIPDestination = "127.0.0.1";
            return c;
        });
        spy = std::make_unique<QSignalSpy>(view.get(), &CTelioxView::StatusShown);
    }

    void AddAndSelect(const DeviceInfo& info) {
        view->Devices().AddOrUpdateDevice(info);
        view->FlushRowChanges();
        const int row = view->Devices().DeviceCount() - 1;
        view->List()->selectionModel()->select(view->Model()->index(row, 0),
                                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

    static DeviceInfo Camera(const std::string& platform, const std::string& ip = "127.0.0.1") {
        DeviceInfo info;
        info.name = "cam1";
        info.hostName = "cam1host";
        info.ipAddress = ip;
        info.macAddress = "00:11:22:33:44:55";
        info.macKnown = true;
        info.macBytes = {0, 0, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
        info.adapterIndex = 1;
        info.txt["bsp"] = platform;
        return info;
    }

    // The texts shown in the status pane at once, in order.
    std::vector<std::string> Shown() {
        std::vector<std::string> out;
        for (const auto& args : *spy) out.push_back(args.at(0).toString().toStdString());
        return out;
    }

    void UseGEVCamera(const FakeCamera& camera) {
        const uint16_t port = camera.Port();
        view->SetGEVControlFactory([port] {
            auto c = std::make_unique<CGEVControl>();
            c->localPort = FreeLoopbackPort();
            c->cameraPort = port;
            c->forceIPDestination = "127.0.0.1";  // the forced address goes to the fake camera
            return c;
        });
    }

    ScopedAdapterTable adapters{AdapterTable{MakeAdapter(1, "127.0.0.1", "255.0.0.0", "127.0.0.254")}};
    std::shared_ptr<std::atomic<int>> scans;
    std::unique_ptr<CTelioxView> view;
    std::unique_ptr<QSignalSpy> spy;
    std::vector<QString> questions;
    bool answer = false;
    bool accept = true;
    GEVSettings choice;
    int dialogs = 0;
    struct DialogSeen {
        QString cameraName;
        uint32_t address = 0, netmask = 0, gatewayAddress = 0;
        bool obtainAutomatically = false, settingsKnown = true, automaticAllowed = true;
        DialogSeen& operator=(const CIPSettings& d) {
            cameraName = d.cameraName;
            address = d.address;
            netmask = d.netmask;
            gatewayAddress = d.gatewayAddress;
            obtainAutomatically = d.obtainAutomatically;
            settingsKnown = d.settingsKnown;
            automaticAllowed = d.automaticAllowed;
            return *this;
        }
    } shown;
};

// ---- Modify: GigE Vision --------------------------------------------------

TEST_F(CommandsTest, GigEVisionCameraGrantingControlGetsItsRegistersWrittenWithTheTextsInOrder) {
    std::mutex statusMutex;
    std::vector<std::string> statusAtWrite;  // the status line as each write arrives
    FakeCamera camera([&](const Bytes&) {
        std::lock_guard<std::mutex> lock(statusMutex);
        statusAtWrite.push_back(view->StatusText().Get());  // CStatusText is safe from any thread
        return std::vector<Bytes>{Ack(0)};
    });
    UseGEVCamera(camera);
    DeviceInfo info = Camera("HU");
    info.subnetMask = Ip(255, 0, 0, 0);
    info.gateway = Ip(127, 0, 0, 254);
    info.dhcp = true;
    AddAndSelect(info);
    view->Devices().WithDevice(0, [](CDevice& d) { d.ipChangePending = true; });
    choice = {false, Ip(127, 0, 0, 9), Ip(255, 255, 255, 0), Ip(127, 0, 0, 1)};

    view->OnCmdMsg(cmd::ID_TOOLBAR_MODIFY);

    // The dialog offered the camera's own settings.
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(shown.cameraName, "cam1");
    EXPECT_EQ(shown.address, Ip(127, 0, 0, 1));
    EXPECT_EQ(shown.netmask, Ip(255, 0, 0, 0));
    EXPECT_EQ(shown.gatewayAddress, Ip(127, 0, 0, 254));
    EXPECT_TRUE(shown.obtainAutomatically);
    EXPECT_TRUE(shown.automaticAllowed);

    const auto got = camera.Received();
    ASSERT_EQ(got.size(), 6u);
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {0x0A00, 2}, {0x0014, 5}, {0x064C, Ip(127, 0, 0, 9)}, {0x065C, Ip(255, 255, 255, 0)},
        {0x066C, Ip(127, 0, 0, 1)}, {0xD340, 1}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(Reg(got[i]), expected[i].first) << i;
        if (expected[i].first != 0xD340) {
            EXPECT_EQ(Val(got[i]), expected[i].second) << i;
        }
    }
    std::lock_guard<std::mutex> lock(statusMutex);
    ASSERT_EQ(statusAtWrite.size(), 6u);
    EXPECT_EQ(statusAtWrite[0], "Connecting to camera...");
    EXPECT_EQ(statusAtWrite[5], "Reset camera");
    EXPECT_EQ(Shown(), (std::vector<std::string>{"Connecting to camera...", "Reset camera"}));
    EXPECT_EQ(view->StatusText().Get(), "");  // set, not shown: the timer clears the pane
    EXPECT_FALSE(view->Devices().Snapshot()[0].ipChangePending);
    EXPECT_EQ(*scans, 0);
    EXPECT_EQ(view->Model()->ItemText(0, kColIpAddress), "127.0.0.1");
}

TEST_F(CommandsTest, GigEVisionCameraRefusingControlIsForcedEmptiesItsCellAndStartsAScan) {
    FakeCamera camera([](const Bytes& cmd) {
        // Error status for the privilege; the forced address gets no answer.
        return cmd.size() == 16 ? std::vector<Bytes>{Ack(0x8006)} : std::vector<Bytes>{};
    });
    UseGEVCamera(camera);
    AddAndSelect(Camera("HV"));
    choice = {true, Ip(127, 0, 0, 50), Ip(255, 255, 255, 0), Ip(127, 0, 0, 1)};

    view->OnModify();

    EXPECT_EQ(Shown(), (std::vector<std::string>{"Connecting to camera...", "Force IP on camera..."}));
    EXPECT_EQ(view->StatusText().Get(), "");
    ASSERT_TRUE(WaitUntil([&] { return camera.Received().size() >= 2; }));
    const auto got = camera.Received();
    ASSERT_EQ(got[1].size(), 64u);  // FORCEIP_CMD, to loopback: the dialog's values also for DHCP
    EXPECT_EQ(got[1][3], 0x04);
    const CDevice record = view->Devices().Snapshot()[0];
    EXPECT_TRUE(record.ipChangePending);
    EXPECT_EQ(record.ipAddress, "127.0.0.50");
    EXPECT_EQ(view->Model()->ItemText(0, kColIpAddress), "");  // the posted row change has been applied
    EXPECT_EQ(*scans, 1);

    // The next scan finds the camera at its new address: the row shows the pending mark.
    view->Devices().AddOrUpdateDevice(Camera("HV", "127.0.0.50"));
    view->FlushRowChanges();
    EXPECT_EQ(view->Devices().DeviceCount(), 1);
    EXPECT_EQ(view->Model()->ItemImage(0, kColName), kImagePending);
    EXPECT_EQ(view->Model()->ItemText(0, kColIpAddress), "127.0.0.50");
}

TEST_F(CommandsTest, CancellingTheDialogChangesNothing) {
    FakeCamera camera([](const Bytes&) { return std::vector<Bytes>{Ack(0)}; });
    UseGEVCamera(camera);
    AddAndSelect(Camera("HU"));
    view->SetStatus("Scan completed");
    accept = false;

    view->OnModify();

    EXPECT_EQ(dialogs, 1);
    EXPECT_TRUE(camera.Received().empty());
    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(view->StatusText().Get(), "Scan completed");
    EXPECT_EQ(*scans, 0);
    EXPECT_EQ(view->RunningWorkers(), 0);
}

TEST_F(CommandsTest, CancellingTheDialogOfAResourceTreeCameraWritesNothing) {
    // The read phase runs, the dialog is cancelled: nothing is written, no thread starts.
    rtcam::ScriptedCamera rt(std::map<std::string, rtcam::Value>{});
    RTRouteOptions route;
    route.connect.plainPort = rt.Port();
    route.connect.timeoutMs = 10000;
    view->SetRouteOptions(route);
    AddAndSelect(Camera("J3"));
    accept = false;

    view->OnModify();

    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(Shown(), (std::vector<std::string>{"Connecting to camera...", "Connected"}));
    EXPECT_TRUE(rt.Writes().empty());
    EXPECT_EQ(rt.Connections(), 1);
    EXPECT_EQ(view->RunningWorkers(), 0);
    EXPECT_FALSE(view->Devices().Snapshot()[0].ipChangePending);
    EXPECT_EQ(view->Model()->ItemText(0, kColIpAddress), "127.0.0.1");
}

// ---- Modify: resource tree ------------------------------------------------

TEST_F(CommandsTest, ResourceTreeCameraIsReadThenWrittenOnItsOwnThread) {
    std::map<std::string, rtcam::Value> resources;
    resources[kLan + "method"] = rtcam::Text("manual");
    rtcam::AddInterface(resources, "LAN90001", false);
    rtcam::ScriptedCamera rt(resources);
    RTRouteOptions route = RTRouteOptions();
    route.connect.plainPort = rt.Port();
    route.connect.timeoutMs = 10000;
    route.broadcast = [](const std::string&, bool, const std::string&, const std::string&, const std::string&,
                         const std::string&) {
        ADD_FAILURE() << "unexpected broadcast";
        return IPChangeBroadcastReport{-1, 0, "not allowed here"};
    };
    view->SetRouteOptions(route);
    DeviceInfo info = Camera("J3");
    info.subnetMask = htonl(Ip(255, 255, 255, 0));  // mDNS keeps the adapter's values in network order
    info.gateway = htonl(Ip(127, 0, 0, 1));
    AddAndSelect(info);
    choice = {false, Ip(10, 1, 2, 3), Ip(255, 255, 0, 0), Ip(10, 1, 0, 1)};
    QSignalSpy finished(view.get(), &CTelioxView::IPChangeFinished);

    view->OnModify();

    // "manual": a fixed address, offered with the record's mask and gateway.
    EXPECT_FALSE(shown.obtainAutomatically);
    EXPECT_TRUE(shown.settingsKnown);
    EXPECT_EQ(shown.address, Ip(127, 0, 0, 1));
    EXPECT_EQ(shown.netmask, Ip(255, 255, 255, 0));
    EXPECT_EQ(shown.gatewayAddress, Ip(127, 0, 0, 1));
    EXPECT_EQ(view->Model()->ItemText(0, kColIpAddress), "");

    ASSERT_TRUE(WaitUntil([&] { return finished.count() == 1; }));
    EXPECT_EQ(view->RunningWorkers(), 0);
    EXPECT_EQ(Shown(), (std::vector<std::string>{"Connecting to camera...", "Connected", "Initiating IP change"}));
    EXPECT_EQ(view->StatusText().Get(), "IP change completed");  // set by the thread, shown by the timer
    std::vector<std::string> paths;
    for (const auto& w : rt.Writes(2)) paths.push_back(w.path);
    EXPECT_EQ(paths, (std::vector<std::string>{kLan + "DHCP", kLan + "address", kLan + "netmask", kLan + "gateway",
                                               kLan + "commit"}));
    EXPECT_EQ(rt.Get(kLan + "address"), rtcam::Text("10.1.2.3"));
    EXPECT_EQ(rt.Get(kLan + "gateway"), rtcam::Text("10.1.0.1"));
    EXPECT_FALSE(view->Devices().Snapshot()[0].ipChangePending);
}

TEST_F(CommandsTest, UnreachableResourceTreeCameraGetsTheBroadcastInstead) {
    struct Sent {
        std::string host, address, mask, gateway, iface;
        bool dhcp = false;
    };
    std::vector<Sent> sent;
    RTRouteOptions route;
    route.connect.plainPort = UnusedPort();
    route.connect.timeoutMs = 10000;
    route.broadcast = [&](const std::string& host, bool dhcp, const std::string& address, const std::string& mask,
                          const std::string& gateway, const std::string& iface) {
        sent.push_back({host, address, mask, gateway, iface, dhcp});
        return IPChangeBroadcastReport{0, 1, ""};
    };
    view->SetRouteOptions(route);
    AddAndSelect(Camera("W6"));
    choice = {true, Ip(127, 0, 0, 7), Ip(255, 0, 0, 0), Ip(127, 0, 0, 254)};

    view->OnModify();

    EXPECT_FALSE(shown.settingsKnown);  // mask and gateway start empty
    EXPECT_EQ(Shown(), (std::vector<std::string>{"Connecting to camera...", "Connection failed",
                                                 "Initiating IP change", "IP change broadcasted"}));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].host, "cam1host");
    EXPECT_TRUE(sent[0].dhcp);
    EXPECT_EQ(sent[0].address, "127.0.0.7");  // sent also when DHCP was chosen
    EXPECT_EQ(sent[0].mask, "255.0.0.0");
    EXPECT_EQ(sent[0].gateway, "127.0.0.254");
    EXPECT_EQ(sent[0].iface, "FEC1");
    EXPECT_TRUE(view->Devices().Snapshot()[0].ipChangePending);
    EXPECT_EQ(view->RunningWorkers(), 0);
    EXPECT_EQ(*scans, 0);
}

// Closing the window while the write phase waits on a camera that stopped
// answering abandons the change: the view is gone within about a second (not
// after the exchange's 10 s), and nothing more reaches the camera.
TEST_F(CommandsTest, ClosingTheWindowAbandonsARunningResourceTreeChangeAtOnce) {
    std::atomic<int> connections{0};
    std::atomic<int> writePhaseRequests{-1};
    std::atomic<std::chrono::steady_clock::rep> writePhaseEnded{0};
    testsrv::ScriptServer server(
        [&](int fd) {
            const int n = ++connections;
            if (!testsrv::AnswerSessionInit(fd)) return;
            if (n == 1) {
                // The read phase: neither the method nor the DHCP flag exists.
                for (Bytes f; !(f = testsrv::ReadFrame(fd)).empty();)
                    testsrv::WriteAll(fd, testsrv::Frame({0xFF, 160}));
                return;
            }
            int k = 0;
            while (!testsrv::ReadFrame(fd).empty()) ++k;  // the write phase: never answered
            writePhaseRequests = k;
            writePhaseEnded = std::chrono::steady_clock::now().time_since_epoch().count();
        },
        2);
    RTRouteOptions route;
    route.connect.plainPort = server.Port();  // the product's 10-s exchange bound
    route.broadcast = [](const std::string&, bool, const std::string&, const std::string&, const std::string&,
                         const std::string&) {
        ADD_FAILURE() << "unexpected broadcast";
        return IPChangeBroadcastReport{-1, 0, "not allowed here"};
    };
    view->SetRouteOptions(route);
    AddAndSelect(Camera("J3"));
    choice = {false, Ip(10, 1, 2, 3), Ip(255, 255, 0, 0), Ip(10, 1, 0, 1)};

    view->OnModify();
    ASSERT_EQ(view->RunningWorkers(), 1);
    ASSERT_TRUE(WaitUntil([&] { return connections.load() == 2; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the first write is waiting

    const auto start = std::chrono::steady_clock::now();
    spy.reset();
    view.reset();
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(took, 1000 + 500);
    server.Join();
    EXPECT_EQ(writePhaseRequests.load(), 1) << "only the open that was waiting went out";
    // The change was abandoned, not left running: its connection ended with the window.
    using Clock = std::chrono::steady_clock;
    const auto ended = Clock::time_point(Clock::duration(writePhaseEnded.load()));
    EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(ended - start).count(), 1000 + 500);
}

// ---- Generate certificates ------------------------------------------------

class GenerateTest : public CommandsTest {
protected:
    void SetUp() override {
        CommandsTest::SetUp();
        GenerateOptions options;
        options.certificate.keyBits = 1024;  // the product's 4096 bits take seconds; the steps are the same
        options.certificate.hostName = "teliox-test";
        options.fetch.port = tls.port();
        options.fetch.timeoutMs = 10000;
        view->SetGenerateOptions(options);
    }
    ClientCertificate identity = MakeCameraCertificate("cam1host");
    TlsTestServer tls{TlsTestServer::kPresent, identity};
};

TEST_F(GenerateTest, FirstUseAsksNothingRunsOnAWorkerAndEndsWithCertificatesUpdated) {
    ScopedProgramData data("gen-first");
    AddAndSelect(Camera("J5"));
    QSignalSpy finished(view.get(), &CTelioxView::GenerationFinished);

    view->OnGenerateCertificates();

    // The handler has returned while the work goes on: the command is greyed
    // and refuses a second run.
    EXPECT_TRUE(view->GenerationRunning());
    bool enabled = true;
    ASSERT_TRUE(view->OnUpdateCmdUI(cmd::ID_GENERATE_CERTIFICATES, enabled));
    EXPECT_FALSE(enabled);
    auto menu = view->BuildContextMenu(*view->GetSelectedDevice());
    for (QAction* action : menu->actions())
        if (action->data().toInt() == cmd::ID_GENERATE_CERTIFICATES) {
            EXPECT_FALSE(action->isEnabled());
        }
    view->OnGenerateCertificates();

    ASSERT_TRUE(WaitUntil([&] { return finished.count() == 1; }));
    EXPECT_EQ(finished.at(0).at(0).toInt(), int(GenerateOutcome::kUpdated));
    EXPECT_FALSE(view->GenerationRunning());
    EXPECT_EQ(view->RunningWorkers(), 0);
    EXPECT_TRUE(questions.empty());
    EXPECT_EQ(Shown(), (std::vector<std::string>{"Certificate generation is already running",
                                                 "Create client certificates...", "Get camera certificate...",
                                                 "Certificates updated"}));
    EXPECT_EQ(view->StatusText().Get(), "Certificates updated");
    EXPECT_NE(ReadFile(data.SslDir() + "/cert.pem").find("-----BEGIN CERTIFICATE-----"), std::string::npos);
    EXPECT_NE(ReadFile(data.SslDir() + "/key.pem").find("PRIVATE KEY-----"), std::string::npos);
    EXPECT_NE(ReadFile(data.SslDir() + "/cam1host.pem").find(ToPem(identity.cert.get())), std::string::npos);
    ASSERT_TRUE(view->OnUpdateCmdUI(cmd::ID_GENERATE_CERTIFICATES, enabled));
    EXPECT_TRUE(enabled);
}

TEST_F(GenerateTest, ExistingCertificateAndAnswerNoKeepTheClientFilesAndFetchTheCameras) {
    ScopedProgramData data("gen-keep");
    std::filesystem::create_directories(data.SslDir());
    WriteFile(data.SslDir() + "/cert.pem", "old certificate\n");
    WriteFile(data.SslDir() + "/key.pem", "old key\n");
    AddAndSelect(Camera("J3"));
    answer = false;
    QSignalSpy finished(view.get(), &CTelioxView::GenerationFinished);

    view->OnGenerateCertificates();
    ASSERT_TRUE(WaitUntil([&] { return finished.count() == 1; }));

    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], "Client certificates already exists. Overwrite?");
    EXPECT_EQ(Shown(), (std::vector<std::string>{"Client certificates already exists. Overwrite?",
                                                 "Get camera certificate...", "Certificates updated"}));
    EXPECT_EQ(ReadFile(data.SslDir() + "/cert.pem"), "old certificate\n");
    EXPECT_EQ(ReadFile(data.SslDir() + "/key.pem"), "old key\n");
    EXPECT_TRUE(FileExists(data.SslDir() + "/cam1host.pem"));
}

TEST_F(GenerateTest, ClosingTheViewWhileAGenerationRunsIsSafe) {
    ScopedProgramData data("gen-close");
    std::filesystem::create_directories(data.SslDir());
    WriteFile(data.SslDir() + "/cert.pem", "old certificate\n");
    WriteFile(data.SslDir() + "/key.pem", "old key\n");
    answer = true;  // overwrite
    AddAndSelect(Camera("W8"));
    view->OnGenerateCertificates();
    ASSERT_TRUE(view->GenerationRunning());
    spy.reset();
    const auto start = std::chrono::steady_clock::now();
    view.reset();  // the generation is given up; its late reports go nowhere
    // Closing does not wait for the key: within the view's bound and a margin.
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(CTelioxView::kWorkerJoinBoundMs + 500));
    // Either the old pair or a whole new one: never a new certificate beside an old key.
    const std::string cert = ReadFile(data.SslDir() + "/cert.pem");
    const std::string key = ReadFile(data.SslDir() + "/key.pem");
    EXPECT_EQ(cert == "old certificate\n", key == "old key\n");
}

// ---- Upload certificate ---------------------------------------------------

TEST_F(CommandsTest, UploadSendsTheCertificateAndShowsTheReplysBodyInTheStatusPane) {
    ScopedProgramData data("upload");
    std::filesystem::create_directories(data.SslDir());
    const std::string pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
    WriteFile(data.SslDir() + "/cert.pem", pem);
    HttpTestServer http(200, "<html><head/><body>Certificate installed. Subject: CN=teliox</body></html>");
    UploadOptions options;
    options.baseUrl = http.BaseUrl();
    // The view in its frame: the texts reach the status pane at once.
    auto frame = std::make_unique<CMainFrame>(
        [](CDeviceList&, CStatusText&) { return std::make_unique<CountingDiscovery>(std::make_shared<std::atomic<int>>()); });
    ASSERT_TRUE(frame->LoadFrame());
    CTelioxView* framed = frame->View();
    framed->SetUploadOptions(options);
    QSignalSpy shownInFrame(framed, &CTelioxView::StatusShown);
    framed->Devices().AddOrUpdateDevice(Camera("J3"));
    framed->FlushRowChanges();
    framed->List()->selectionModel()->select(framed->Model()->index(0, 0),
                                             QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);

    QSignalSpy finished(framed, &CTelioxView::UploadFinished);
    frame->OnCommand(cmd::ID_UPLOAD_CERTIFICATE);
    // The transfer runs on a worker; meanwhile the command is greyed.
    EXPECT_TRUE(framed->UploadRunning());
    EXPECT_FALSE(frame->IsCommandEnabled(cmd::ID_UPLOAD_CERTIFICATE));
    ASSERT_TRUE(WaitUntil([&] { return finished.count() == 1; }));
    EXPECT_FALSE(framed->UploadRunning());
    EXPECT_EQ(framed->RunningWorkers(), 0);

    const auto requests = http.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "PUT");
    EXPECT_EQ(requests[0].url, "/m2m/uploadcert");
    EXPECT_EQ(requests[0].body, pem);
    ASSERT_EQ(shownInFrame.count(), 2);
    EXPECT_EQ(shownInFrame.at(0).at(0).toString(), "Upload certificate to 127.0.0.1");
    EXPECT_EQ(shownInFrame.at(1).at(0).toString(), "Certificate installed. ");
    EXPECT_EQ(frame->StatusPaneText(), "Certificate installed. ");
    EXPECT_EQ(framed->StatusText().Get(), "Certificate installed. ");
    EXPECT_NE(framed->UploadResponse().find("<body>"), std::string::npos);
}

TEST_F(CommandsTest, UploadWithoutACertificateSaysSoAndSendsNothing) {
    ScopedProgramData data("upload-none");
    HttpTestServer http(200, "<body>should not be asked</body>");
    UploadOptions options;
    options.baseUrl = http.BaseUrl();
    view->SetUploadOptions(options);
    AddAndSelect(Camera("J3"));

    QSignalSpy finished(view.get(), &CTelioxView::UploadFinished);
    view->OnUploadCertificate();
    ASSERT_TRUE(WaitUntil([&] { return finished.count() == 1; }));

    EXPECT_EQ(Shown(), (std::vector<std::string>{"Upload certificate to 127.0.0.1", "Failed to open client certificate"}));
    EXPECT_EQ(view->StatusText().Get(), "Failed to open client certificate");
    EXPECT_TRUE(http.Requests().empty());
}

TEST_F(CommandsTest, ClosingTheViewDuringAnUploadToASilentCameraEndsAtOnce) {
    ScopedProgramData data("upload-close");
    std::filesystem::create_directories(data.SslDir());
    WriteFile(data.SslDir() + "/cert.pem", "PEM\n");
    SilentListener silent;  // accepts in the kernel, never answers
    UploadOptions options;
    options.baseUrl = "http://127.0.0.1:" + std::to_string(silent.port());
    view->SetUploadOptions(options);  // the product's 30-s limit
    AddAndSelect(Camera("J3"));
    view->OnUploadCertificate();
    ASSERT_TRUE(view->UploadRunning());
    view->OnUploadCertificate();  // one at a time
    EXPECT_EQ(view->StatusText().Get(), "Certificate upload is already running");
    spy.reset();
    const auto start = std::chrono::steady_clock::now();
    view.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(CTelioxView::kWorkerJoinBoundMs + 500));
}

TEST_F(CommandsTest, CommandsWithoutSelectionTouchNoCamera) {
    view->OnModify();
    view->OnGenerateCertificates();
    view->OnUploadCertificate();
    EXPECT_EQ(view->StatusText().Get(), "No item selected");
    EXPECT_EQ(dialogs, 0);
    EXPECT_TRUE(Shown().empty());
    EXPECT_FALSE(view->GenerationRunning());
}

}  // namespace
