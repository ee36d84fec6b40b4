// Assigning addresses to many cameras: the runner's row statuses, its bound
// on changes at once and Cancel, with stand-in changes; and the way one
// planned change takes the routes of the IP change, against a fake GigE
// Vision camera and a scripted resource server on 127.0.0.1 (the broadcast
// injected, nothing leaves the machine).
#include "app/actions/assign_routes.h"
#include "app/actions/assign_run.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <set>
#include <type_traits>

#include "loopback_helpers.h"
#include "scripted_camera.h"

using ::testing::ElementsAre;

namespace {

PlannedChange Planned(const std::string& name, uint32_t address, const std::string& platform = "J3") {
    PlannedChange c;
    c.camera.name = name;
    c.camera.hostName = name + "host";
    c.camera.ipAddress = "127.0.0.1";
    c.camera.platform = platform;
    c.camera.adapterIndex = 1;
    c.address = address;
    c.mask = 0xFFFFFF00u;
    c.gateway = 0;
    return c;
}

std::vector<std::string> Texts(const CAssignRun& run) {
    std::vector<std::string> out;
    for (const AssignRowStatus& s : run.Statuses()) out.push_back(s.text);
    return out;
}

// A gate the stand-in changes wait at until the test opens it.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int waiting = 0;
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex);
        ++waiting;
        cv.notify_all();
        cv.wait(lock, [this] { return open; });
    }
    bool WaitForWaiting(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return waiting >= n; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }
};

}  // namespace

TEST(AssignRun, RowsGoFromWaitingToTheirResult) {
    std::vector<PlannedChange> changes = {Planned("ok", 1), Planned("sent", 2), Planned("bad", 3), Planned("throws", 4),
                                          Planned("left", 0)};
    changes[4].change = false;
    changes[4].note = "offers no address change";
    std::atomic<int> calls{0};
    std::mutex seenMutex;
    std::vector<std::string> seen;
    CAssignRun run(
        changes,
        [&](const PlannedChange& c, unsigned) -> CameraChangeResult {
            ++calls;
            if (c.camera.name == "ok") return {AssignState::Done, "ignored", "register writes"};
            if (c.camera.name == "sent") return {AssignState::BroadcastSent, {}, {}};
            if (c.camera.name == "bad") return {AssignState::Failed, "Failed to connect", {}};
            throw std::runtime_error("boom");
        },
        2,
        [&](size_t row, const AssignRowStatus& s) {
            std::lock_guard<std::mutex> lock(seenMutex);
            seen.push_back(std::to_string(row) + " " + s.text);
        });
    EXPECT_THAT(Texts(run), ElementsAre("Waiting", "Waiting", "Waiting", "Waiting", "offers no address change"));
    run.Start();
    ASSERT_TRUE(run.WaitFor(20000));
    EXPECT_TRUE(run.Finished());
    EXPECT_THAT(Texts(run),
                ElementsAre("Done", "Broadcast sent", "Failed to connect", "Failed: boom", "offers no address change"));
    EXPECT_EQ(run.Statuses()[0].detail, "register writes");
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(run.Count(AssignState::Failed), 2u);
    EXPECT_EQ(run.Count(AssignState::NotChanged), 1u);
    // Every row that ran said "Changing..." first.
    for (int row = 0; row < 4; ++row) {
        auto changing = std::find(seen.begin(), seen.end(), std::to_string(row) + " Changing...");
        ASSERT_NE(changing, seen.end()) << row;
    }
}

TEST(AssignRun, AFewAtATimeEachWithItsOwnSlot) {
    std::vector<PlannedChange> changes;
    for (int i = 0; i < 12; ++i) changes.push_back(Planned("c" + std::to_string(i), i + 1));
    std::mutex mutex;
    int running = 0, maxRunning = 0;
    std::set<unsigned> busy;
    bool slotShared = false;
    CAssignRun run(changes, [&](const PlannedChange&, unsigned slot) -> CameraChangeResult {
        {
            std::lock_guard<std::mutex> lock(mutex);
            maxRunning = std::max(maxRunning, ++running);
            slotShared = slotShared || !busy.insert(slot).second || slot >= 3;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        busy.erase(slot);
        return {AssignState::Done, {}, {}};
    }, 3);
    run.Start();
    ASSERT_TRUE(run.WaitFor(20000));
    EXPECT_LE(maxRunning, 3);
    EXPECT_FALSE(slotShared);
    EXPECT_EQ(run.Count(AssignState::Done), 12u);
}

TEST(AssignRun, CancelStopsWhatHasNotStarted) {
    std::vector<PlannedChange> changes;
    for (int i = 0; i < 6; ++i) changes.push_back(Planned("c" + std::to_string(i), i + 1));
    Gate gate;
    std::atomic<int> calls{0};
    CAssignRun run(changes, [&](const PlannedChange&, unsigned) -> CameraChangeResult {
        ++calls;
        gate.Wait();
        return {AssignState::Done, {}, {}};
    }, 2);
    run.Start();
    ASSERT_TRUE(gate.WaitForWaiting(2));
    run.Cancel();
    EXPECT_FALSE(run.Finished()) << "the two running changes run to their end";
    EXPECT_THAT(Texts(run), ElementsAre("Changing...", "Changing...", "Cancelled", "Cancelled", "Cancelled", "Cancelled"));
    gate.Open();
    ASSERT_TRUE(run.WaitFor(20000));
    EXPECT_THAT(Texts(run), ElementsAre("Done", "Done", "Cancelled", "Cancelled", "Cancelled", "Cancelled"));
    EXPECT_EQ(calls, 2);
}

TEST(AssignRun, NothingToChangeEndsAtOnceAndDestructionWaits) {
    std::vector<PlannedChange> none = {Planned("left", 0)};
    none[0].change = false;
    CAssignRun idle(none, {}, 4);
    idle.Start();
    EXPECT_TRUE(idle.WaitFor(1000));

    std::atomic<bool> ended{false};
    std::atomic<int> calls{0};
    {
        CAssignRun run({Planned("slow", 1), Planned("later", 2)}, [&](const PlannedChange&, unsigned) {
            ++calls;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ended = true;
            return CameraChangeResult{AssignState::Done, {}, {}};
        }, 1);
        run.Start();
        for (int i = 0; i < 2000 && run.Count(AssignState::Changing) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }  // cancels "later", waits for "slow"
    EXPECT_TRUE(ended);
    EXPECT_EQ(calls, 1);
}

// ---- One change through the routes, on loopback -----------------------

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Ack(uint16_t status) {
    Bytes b = {uint8_t(status >> 8), uint8_t(status), 0x00, 0x83, 0x00, 0x04, 0x10, 0x01};
    b.resize(12, 0);
    return b;
}
// What the fake camera has received once it holds `n` datagrams (bounded wait).
std::vector<Bytes> ReceivedAtLeast(FakeCamera& cam, size_t n) {
    for (int i = 0; i < 400 && cam.Received().size() < n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return cam.Received();
}

uint16_t Command(const Bytes& d) { return d.size() >= 4 ? uint16_t(d[2] << 8 | d[3]) : 0; }
uint32_t Reg(const Bytes& d) { return uint32_t(d[8]) << 24 | d[9] << 16 | d[10] << 8 | d[11]; }

// What the injected broadcast returns: its result code as a plain number
// or in a report of the adapters it went out on, whichever the route wants.
template <typename R>
R BroadcastResult(int result) {
    if constexpr (std::is_same_v<R, int>) {
        return result;
    } else {
        R report;
        report.result = result;
        report.sent = result == 0 ? 1 : 0;
        if (result != 0) report.failure = "no adapter sent it";
        return report;
    }
}

class Routes : public ::testing::Test {
protected:
    ScopedAdapterTable table{AdapterTable{LoopbackAdapter()}};
    std::atomic<int> broadcasts{0};
    std::string broadcastHost;
    int broadcastResult = 0;

    AssignRouteOptions Options(uint16_t gevPort, uint16_t resourcePort = 0) {
        AssignRouteOptions o;
        o.gevControl = [gevPort](unsigned) {
            auto c = std::make_unique<CGEVControl>();
            c->cameraPort = gevPort;
            c->localPort = FreeLoopbackPort();
            c->forceIPDestination = "127.0.0.1";
            return c;
        };
        o.resourceTree.connect.plainPort = resourcePort;
        o.resourceTree.connect.timeoutMs = 5000;
        o.resourceTree.broadcast = [this](const std::string& host, bool, const std::string&, const std::string&,
                                          const std::string&, const std::string&) {
            ++broadcasts;
            broadcastHost = host;
            return BroadcastResult<IPChangeBroadcastFn::result_type>(broadcastResult);
        };
        return o;
    }

    static PlannedChange GigE(uint32_t address) {
        PlannedChange c = Planned("gige", address, "HU");
        c.camera.macAddress = "02:00:00:00:00:01";
        c.camera.macBytes = {0, 0, 2, 0, 0, 0, 0, 1};
        c.camera.reachable = true;
        return c;
    }
};

}  // namespace

TEST_F(Routes, GigEVisionCameraThatAcknowledgesIsDone) {
    FakeCamera cam([](const Bytes&) { return std::vector<Bytes>{Ack(0)}; });
    const CameraChangeResult r = ChangeCameraAddress(GigE(0xC0A80A15), 0, Options(cam.Port()));
    EXPECT_EQ(r.state, AssignState::Done) << r.text;
    std::vector<uint32_t> regs;
    for (const Bytes& d : cam.Received()) regs.push_back(Reg(d));
    EXPECT_THAT(regs, ElementsAre(0x0A00u, 0x0014u, 0x064Cu, 0x065Cu, 0x066Cu, 0xD340u));
}

TEST_F(Routes, GigEVisionFailuresAreNeverDone) {
    // The privilege is granted, a later write refused.
    FakeCamera refusing([](const Bytes& d) { return std::vector<Bytes>{Ack(Reg(d) == 0x0A00 ? 0 : 0x8006)}; });
    CameraChangeResult r = ChangeCameraAddress(GigE(0xC0A80A15), 0, Options(refusing.Port()));
    EXPECT_EQ(r.state, AssignState::Failed);
    EXPECT_EQ(r.text, "The camera did not acknowledge every register write");

    // Control refused: the forced address by the camera's MAC.
    FakeCamera denying([](const Bytes& d) {
        return Command(d) == 0x0082 ? std::vector<Bytes>{Ack(0x8006)} : std::vector<Bytes>{};
    });
    r = ChangeCameraAddress(GigE(0xC0A80A15), 0, Options(denying.Port()));
    EXPECT_EQ(r.state, AssignState::BroadcastSent) << r.text;
    const auto received = ReceivedAtLeast(denying, 2);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(Command(received.back()), 0x0004);  // FORCEIP_CMD
}

TEST_F(Routes, CameraSharingItsAddressIsReachedByMacOrHostName) {
    FakeCamera cam([](const Bytes&) { return std::vector<Bytes>{Ack(0)}; });
    PlannedChange gige = GigE(0xC0A80A15);
    gige.camera.sharedAddressMacs = {"02:00:00:00:00:02"};
    CameraChangeResult r = ChangeCameraAddress(gige, 0, Options(cam.Port()));
    EXPECT_EQ(r.state, AssignState::BroadcastSent) << r.text;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto received = ReceivedAtLeast(cam, 1);
    ASSERT_EQ(received.size(), 1u) << "no register write may reach the other camera";
    EXPECT_EQ(Command(received[0]), 0x0004);
    EXPECT_EQ(Bytes(received[0].begin() + 8, received[0].begin() + 16), gige.camera.macBytes);

    // A resource-tree camera: the broadcast names it by host name, and is
    // only "sent" when it went out on every adapter.
    rtcam::ScriptedCamera server({});
    PlannedChange rt = Planned("lobby", 0xC0A80A16);
    rt.camera.macAddress = "02:00:00:00:00:03";
    rt.camera.sharedAddressMacs = {"02:00:00:00:00:04"};
    r = ChangeCameraAddress(rt, 0, Options(cam.Port(), server.Port()));
    EXPECT_EQ(r.state, AssignState::BroadcastSent);
    EXPECT_EQ(broadcastHost, "lobbyhost");
    EXPECT_EQ(server.Connections(), 0);
    broadcastResult = -1;
    r = ChangeCameraAddress(rt, 0, Options(cam.Port(), server.Port()));
    EXPECT_EQ(r.state, AssignState::Failed);
    EXPECT_THAT(r.text, ::testing::HasSubstr("did not go out on every adapter"));
}

TEST_F(Routes, ResourceTreeCameraIsDoneOnlyWithEverySettingAndTheCommit) {
    std::map<std::string, rtcam::Value> resources;
    resources[".services.net.interface.LAN90001.method"] = rtcam::Text("dhcp");
    rtcam::AddInterface(resources, "LAN90001", true);
    {
        rtcam::ScriptedCamera server(resources);
        const CameraChangeResult r = ChangeCameraAddress(Planned("lobby", 0xC0A80A16), 0, Options(9, server.Port()));
        EXPECT_EQ(r.state, AssignState::Done) << r.text << " " << r.detail;
        EXPECT_EQ(server.Get(".services.net.interface.LAN90001.address"), rtcam::Text("192.168.10.22"));
    }
    {
        rtcam::ScriptedCamera refusing(resources, {".services.net.interface.LAN90001.netmask"});
        const CameraChangeResult r = ChangeCameraAddress(Planned("lobby", 0xC0A80A16), 0, Options(9, refusing.Port()));
        EXPECT_EQ(r.state, AssignState::Failed);
        EXPECT_EQ(r.text, "Not every setting was accepted");
        EXPECT_THAT(r.detail, ::testing::HasSubstr("netmask"));
    }
    EXPECT_EQ(broadcasts, 0);
}
