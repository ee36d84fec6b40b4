// The discovery threads: auto-reset events, the scan cycle with its status
// texts and flags, refresh during a cycle, the listeners on loopback and Stop.
// The threads' network sides are either redirected to loopback addresses or
// stand-ins (loopback_cycle.h).
#include "discovery/scan_threads.h"
#include "fake_neighbours.h"
#include "loopback_cycle.h"
#include "loopback_responder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>

using namespace mdnstest;
using namespace std::chrono_literals;

namespace {

// A DISCOVERY_ACK of one of the maker's cameras from `from` on the loopback adapter.
GEVDiscoveryAnswer MakerCameraAnswer(uint32_t from) {
    GEVDiscoveryAnswer a;
    auto& sender = reinterpret_cast<sockaddr_in&>(a.senderAddress);
    sender.sin_family = AF_INET;
    sender.sin_addr.s_addr = htonl(from);
    a.senderAddressLength = sizeof(sockaddr_in);
    a.manufacturerInfo = "KSRV";
    a.modelName = "GigE camera";
    a.adapterIndex = LoopbackIndex();
    return a;
}

// Calls `onChange` (when set, before the threads start) at every row change.
class RowChanges : public IDeviceListSink {
public:
    std::function<void()> onChange;
    void InsertRow(int, const std::string&) override { Changed(); }
    void SetItemText(int, int, const std::string&) override { Changed(); }
    void SetItemImage(int, int, int) override { Changed(); }
    void DeleteAllRows() override { Changed(); }

private:
    void Changed() {
        if (onChange) onChange();
    }
};

BonjourResponse ParsedCamera(const std::string& instance, uint32_t from) {
    Bytes b = CameraResponse(instance, instance, {"bsp=J3"});
    BonjourResponse r;
    ParseBonjourResponse(b.data(), b.size(), from, 5353, r);
    r.adapterIndex = LoopbackIndex();
    return r;
}

}  // namespace

TEST(AutoResetEvent, EachSetIsConsumedByOneWait) {
    CAutoResetEvent e;
    EXPECT_FALSE(e.IsSet());
    EXPECT_FALSE(e.Wait(0));
    e.Set();
    e.Set();  // remembered once
    EXPECT_TRUE(e.IsSet());
    EXPECT_TRUE(e.Wait(0));
    EXPECT_FALSE(e.IsSet());
    EXPECT_FALSE(e.Wait(0));
}

TEST(AutoResetEvent, WaitAnyPrefersTheFirstAndConsumesOnlyOne) {
    CAutoResetEvent a, b;
    EXPECT_EQ(CAutoResetEvent::WaitAny({&a, &b}, 0), -1);
    a.Set();
    b.Set();
    EXPECT_EQ(CAutoResetEvent::WaitAny({&a, &b}, 0), 0);
    EXPECT_TRUE(b.IsSet());
    EXPECT_EQ(CAutoResetEvent::WaitAny({&a, &b}, 0), 1);
    EXPECT_EQ(CAutoResetEvent::WaitAny({&a, &b}, 10), -1);

    // Sets from another thread while waiting, many times: none is lost.
    std::atomic<int> got{0};
    std::thread waiter([&] {
        for (int i = 0; i < 200; ++i)
            if (CAutoResetEvent::WaitAny({&a, &b}, -1) == 1) ++got;
    });
    for (int i = 0; i < 200; ++i) {
        while (b.IsSet()) std::this_thread::yield();
        b.Set();
    }
    waiter.join();
    EXPECT_EQ(got, 200);
}

class ScanThreads : public ::testing::Test {
protected:
    void SetUp() override { threads.SetNeighbourSource(neighbours); }
    void TearDown() override { threads.Stop(); }

    std::shared_ptr<FakeNeighbours> neighbours = std::make_shared<FakeNeighbours>();
    RowChanges rowChanges;
    CDeviceList list{&rowChanges};
    CStatusText status;
    CDiscoveryThreads threads{list, status};
};

TEST_F(ScanThreads, OneCycleRunsItsStepsInOrderAndEndsWithScanCompleted) {
    std::mutex m;
    std::vector<std::string> order;
    auto note = [&](const std::string& s) {
        std::lock_guard<std::mutex> l(m);
        order.push_back(s + (status.Get().empty() ? "" : ":" + status.Get()));
    };
    StandIns s;
    s.mdns->queryAndCollect = [&](std::vector<BonjourResponse>& r) {
        note("collect");
        EXPECT_TRUE(threads.IsScanning());
        r = {ParsedCamera("Cam1", 0x7F000002)};
        return true;
    };
    s.mdns->multicastQuery = [&] { note("multicast"); };
    // The camera answers GigE Vision too; the merge of that answer is the
    // first row change after the scan.
    std::atomic<bool> gevScanned{false};
    s.gev->scan = [&](std::vector<GEVDiscoveryAnswer>& a) {
        note("gev");
        a = {MakerCameraAnswer(0x7F000002)};
        gevScanned = true;
    };
    rowChanges.onChange = [&] {
        if (gevScanned.exchange(false)) note("addgev");
    };
    s.InstallOn(threads);
    UseLoopback(threads, LoopbackEndpoints());

    EXPECT_FALSE(threads.IsScanning());
    threads.Start();
    EXPECT_TRUE(threads.ListenersRunning());
    ASSERT_TRUE(Eventually([&] { return threads.CyclesCompleted() >= 1; }));
    EXPECT_FALSE(threads.IsScanning());
    EXPECT_EQ(status.Get(), "Scan completed");
    {
        std::lock_guard<std::mutex> l(m);
        EXPECT_EQ(order, (std::vector<std::string>{"collect:Scan started...", "multicast:Scan started...",
                                                   "gev:Scan started...", "addgev:Scan completed"}));
    }
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "Cam1");
    threads.Stop();
    EXPECT_FALSE(threads.ListenersRunning());
    EXPECT_EQ(threads.CyclesCompleted(), 1u) << "no cycle without a signal";
}

TEST_F(ScanThreads, RefreshDuringACycleEmptiesTheListAndOneMoreCycleFollows) {
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> started{0};
    StandIns s;
    s.mdns->queryAndCollect = [&](std::vector<BonjourResponse>& r) {
        int n = ++started;
        if (n == 1) {
            std::unique_lock<std::mutex> l(m);
            cv.wait(l, [&] { return release; });
        }
        r = {ParsedCamera(n == 1 ? "Early" : "Late", n == 1 ? 0x7F000002 : 0x7F000003)};
        return true;
    };
    s.InstallOn(threads);
    UseLoopback(threads, LoopbackEndpoints());

    list.AddOrUpdateDevice([] {
        DeviceInfo d;
        d.name = d.hostName = "Old";
        d.ipAddress = "127.0.0.9";
        d.adapterIndex = LoopbackIndex();
        d.txt = {{"bsp", "QD"}};
        return d;
    }());
    ASSERT_EQ(list.DeviceCount(), 1);

    threads.Start();
    ASSERT_TRUE(Eventually([&] { return started >= 1; }));
    EXPECT_TRUE(threads.IsScanning());
    // The refresh: empty at once, signal (several times: still one more cycle).
    list.RemoveAll();
    EXPECT_EQ(list.DeviceCount(), 0);
    threads.SignalScan();
    threads.SignalScan();
    threads.SignalScan();
    {
        std::lock_guard<std::mutex> l(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(Eventually([&] { return threads.CyclesCompleted() >= 2; }));
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "Early") << "the running cycle refills the emptied list from row 0";
    EXPECT_EQ(rows[0].row, 0);
    EXPECT_EQ(rows[1].name, "Late");
    // Three signals during one cycle started one more cycle, not three.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(started.load(), 2);
}

TEST_F(ScanThreads, StopEndsWaitingListenersAndAScanThreadThatNeverScanned) {
    StandIns().InstallOn(threads);
    UseLoopback(threads, LoopbackEndpoints());
    threads.Start();
    ASSERT_TRUE(Eventually([&] { return threads.CyclesCompleted() >= 1; }));
    threads.Stop();  // returns once every thread has ended (ctest's time-out guards a hang)
    EXPECT_FALSE(threads.ListenersRunning());
    EXPECT_FALSE(threads.IsScanning());
    // Stop twice and start again: both work.
    threads.Stop();
    threads.Start();
    ASSERT_TRUE(Eventually([&] { return threads.CyclesCompleted() >= 1; }));
    threads.Stop();
}

TEST_F(ScanThreads, StopDuringACycleCutsItShortAndWaitsForIt) {
    std::atomic<bool> inCollect{false};
    std::atomic<bool> gevRan{false};
    StandIns s;
    s.mdns->queryAndCollect = [&](std::vector<BonjourResponse>& r) {
        inCollect = true;
        // Stands for a long collection: lasts until the owner stops.
        while (threads.ListenersRunning()) std::this_thread::sleep_for(5ms);
        r = {ParsedCamera("Late", 0x7F000002)};
        return true;
    };
    s.gev->scan = [&](std::vector<GEVDiscoveryAnswer>&) { gevRan = true; };
    s.InstallOn(threads);
    UseLoopback(threads, LoopbackEndpoints());
    threads.Start();
    ASSERT_TRUE(Eventually([&] { return inCollect.load(); }));
    threads.Stop();
    EXPECT_FALSE(gevRan) << "the rest of the cycle is skipped";
    EXPECT_EQ(list.DeviceCount(), 0) << "no merge once Stop has begun";
    EXPECT_EQ(threads.CyclesCompleted(), 0u);
    EXPECT_FALSE(threads.IsScanning());
}

TEST_F(ScanThreads, MdnsListenerMergesResponsesAndDropsTheRest) {
    DiscoveryEndpoints e = LoopbackEndpoints();
    StandIns().InstallOn(threads);
    UseLoopback(threads, e);
    threads.Start();
    Bytes bad = CameraResponse("Bad", "bad", {"bsp=J3"});
    bad[3] = 0x01;  // flags 0x8401
    Bytes query = BuildBonjourQuery(kCameraServiceType);
    // The listener may still be opening its socket: repeat until merged.
    ASSERT_TRUE(Eventually([&] {
        SendTo(0x7F000001, e.mdnsPort, bad, 0x7F000004);
        SendTo(0x7F000001, e.mdnsPort, query, 0x7F000005);
        SendTo(0x7F000001, e.mdnsPort, CameraResponse("Cam7", "cam7", {"bsp=W6"}), 0x7F000007);
        return list.DeviceCount() >= 1;
    }));
    threads.Stop();
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "Cam7");
    EXPECT_EQ(rows[0].ipAddress, "127.0.0.7");
    EXPECT_EQ(rows[0].adapterIndex, LoopbackIndex());
    EXPECT_EQ(rows[0].subnetMask, htonl(0xFF000000u));
}

TEST_F(ScanThreads, AnnouncementListenerMergesAnnouncedCameras) {
    DiscoveryEndpoints e = LoopbackEndpoints();
    StandIns().InstallOn(threads);
    UseLoopback(threads, e);
    threads.Start();
    const std::string text = "$TOVRA,Cam,One,192.168.0.5";
    ASSERT_TRUE(Eventually([&] {
        SendTo(0x7F000001, e.announcementPort, Bytes{'$', 't', 'o', 'v', 'r', 'a', ',', 'x', ',', 'y', ',', '1', '.', '2', '.', '3', '.', '4'});
        SendTo(0x7F000001, e.announcementPort, Bytes(text.begin(), text.end()));
        return list.DeviceCount() >= 1;
    }));
    threads.Stop();
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "Cam One");
    EXPECT_EQ(rows[0].platform, "QD");
    EXPECT_TRUE(rows[0].reachable);
}

TEST_F(ScanThreads, FullCycleOnLoopbackFindsUnicastAndListenerAnswers) {
    // The real mDNS steps, pointed at a responder on 127.0.0.3: query-and-collect
    // gets its answer by unicast from 127.0.0.3; the answer to the "multicast"
    // query comes from 127.0.0.4 to the mDNS port, where the listener is.
    DiscoveryEndpoints e = LoopbackEndpoints("127.0.0.3");
    LoopbackResponder unicastAnswers(0x7F000003, e.mdnsPort);
    ASSERT_TRUE(unicastAnswers.Ok());
    unicastAnswers.SetAnswers({CameraResponse("Uni", "uni", {"bsp=J5"})});

    threads.SetScanners(nullptr, StandIns().gev);  // the real mDNS scanner
    UseLoopback(threads, e);
    threads.Start();
    ASSERT_TRUE(Eventually([&] { return threads.CyclesCompleted() >= 1; }));
    // The responder's own thread records the multicast query, which the cycle
    // sends last: it may still be on its way when the cycle has ended.
    Eventually([&] { return unicastAnswers.Queries().size() >= 2; });
    auto queries = unicastAnswers.Queries();
    ASSERT_EQ(queries.size(), 2u) << "one query-and-collect, one multicast query";
    EXPECT_NE(queries[0].fromPort, e.mdnsPort);
    EXPECT_EQ(queries[1].fromPort, e.mdnsPort);
    // What a multicast answer would be: sent to the listener's port.
    ASSERT_TRUE(Eventually([&] {
        SendTo(0x7F000001, e.mdnsPort, CameraResponse("Multi", "multi", {"bsp=B9"}), 0x7F000004);
        return list.DeviceCount() >= 2;
    }));
    threads.Stop();
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "Uni");
    EXPECT_EQ(rows[0].ipAddress, "127.0.0.3");
    EXPECT_EQ(rows[1].name, "Multi");
    EXPECT_EQ(rows[1].ipAddress, "127.0.0.4");
}

TEST_F(ScanThreads, StopCutsARealCollectionWindowShort) {
    // The real query-and-collect with a ten-second window: Stop does not sit it out.
    DiscoveryEndpoints e = LoopbackEndpoints("127.0.0.3");
    e.bonjourWindowSeconds = 10;
    LoopbackResponder silent(0x7F000003, e.mdnsPort);  // answers nothing
    ASSERT_TRUE(silent.Ok());
    threads.SetScanners(nullptr, StandIns().gev);  // the real mDNS scanner
    UseLoopback(threads, e);
    threads.Start();
    ASSERT_TRUE(Eventually([&] { return threads.IsScanning() && !silent.Queries().empty(); }));
    const auto start = std::chrono::steady_clock::now();
    threads.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(threads.CyclesCompleted(), 0u);
}

// MAC look-ups run off the discovery threads: a hundred look-ups that never
// resolve (cameras in a foreign subnet that do not answer ARP) leave the cycle
// to complete with every row merged, their MAC cells empty, and a camera
// behind them whose MAC address resolves later gets it filled in, record and
// cell, through the sink.
TEST_F(ScanThreads, MacLookupsNeverHoldUpTheMergeAndLateOnesFillTheirRows) {
    RecordingSink sink;
    CDeviceList sinkList(&sink);
    CDiscoveryThreads t(sinkList, status);
    auto table = std::make_shared<FakeNeighbours>();
    table->Set("10.8.0.2", "02:00:5E:00:00:02", 300ms);
    t.SetNeighbourSource(table);  // the 10.9.x.y cameras never resolve
    StandIns s;
    s.mdns->queryAndCollect = [&](std::vector<BonjourResponse>& r) {
        r.clear();
        for (uint32_t i = 1; i <= 100; ++i) r.push_back(ParsedCamera("Far" + std::to_string(i), 0x0A090000 + i));
        r.push_back(ParsedCamera("Near", 0x0A080002));
        return true;
    };
    s.InstallOn(t);
    UseLoopback(t, LoopbackEndpoints());
    t.Start();
    ASSERT_TRUE(Eventually([&] { return t.CyclesCompleted() >= 1; }));
    // The cycle is over while the look-ups that never resolve still run.
    EXPECT_GE(table->Running(), 100);
    ASSERT_EQ(sinkList.DeviceCount(), 101);
    ASSERT_TRUE(Eventually([&] { return sinkList.Snapshot()[100].macAddress == "02:00:5E:00:00:02"; }));
    auto rows = sinkList.Snapshot();
    for (int i = 0; i < 100; ++i) EXPECT_EQ(rows[static_cast<size_t>(i)].macAddress, "") << i;
    auto calls = sink.Take();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "text 100 2 02:00:5E:00:00:02"), calls.end())
        << "the MAC cell of row 100 was not set";
    // Each address was looked up on the adapter it answered on.
    for (const auto& call : table->Calls()) EXPECT_EQ(call.first, LoopbackIndex());
    t.Stop();  // ends the look-ups that are still waiting
    EXPECT_EQ(table->Running(), 0);
}

// The mDNS listener has its socket before the first query of a cycle goes
// out: an answer sent the moment the cycle starts is not lost.
TEST_F(ScanThreads, ListenerIsReadyBeforeTheFirstQuery) {
    for (bool concurrent : {false, true}) {
        CDeviceList l;
        CDiscoveryThreads t(l, status);
        t.SetNeighbourSource(neighbours);
        DiscoveryEndpoints e = LoopbackEndpoints();
        StandIns s;
        // Stands for a camera that answers the query at once: one datagram, no repeat.
        auto answer = [&] { SendTo(0x7F000001, e.mdnsPort, CameraResponse("Quick", "quick", {"bsp=J3"}), 0x7F000006); };
        if (concurrent)
            s.mdns->multicastQuery = answer;
        else
            s.mdns->queryAndCollect = [&](std::vector<BonjourResponse>& r) {
                answer();
                r.clear();
                return true;
            };
        s.InstallOn(t);
        UseLoopback(t, e);
        t.SetConcurrentCycle(concurrent);
        t.Start();
        ASSERT_TRUE(Eventually([&] { return t.CyclesCompleted() >= 1; }));
        EXPECT_TRUE(Eventually([&] { return l.DeviceCount() == 1; })) << (concurrent ? "concurrent" : "in turn");
        t.Stop();
    }
}

// The listeners follow the adapter table from cycle to cycle: an adapter that
// appears is listened on from the next cycle, one that vanishes is dropped.
TEST_F(ScanThreads, ListenersFollowTheAdapterTable) {
    std::mutex m;
    std::optional<AdapterTable> current = AdapterTable{};
    auto set = [&](std::optional<AdapterTable> t) {
        std::lock_guard<std::mutex> l(m);
        current = std::move(t);
    };
    DiscoveryEndpoints e = LoopbackEndpoints();
    StandIns().InstallOn(threads);
    UseLoopback(threads, e);
    threads.SetAdapterTableSource([&] {
        std::lock_guard<std::mutex> l(m);
        return current;
    });
    threads.Start();
    ASSERT_TRUE(Eventually([&] { return threads.CyclesCompleted() >= 1; }));
    const std::string announcement = "$TOVRA,Cam,Early,10.0.0.5";
    SendTo(0x7F000001, e.mdnsPort, CameraResponse("Before", "before", {"bsp=J3"}), 0x7F000006);
    SendTo(0x7F000001, e.announcementPort, Bytes(announcement.begin(), announcement.end()));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(list.DeviceCount(), 0) << "no adapter yet: nothing to listen on or attribute to";

    set(LoopbackTable());  // the adapter comes up
    threads.SignalScan();
    ASSERT_TRUE(Eventually([&] { return threads.CyclesCompleted() >= 2; }));
    SendTo(0x7F000001, e.mdnsPort, CameraResponse("After", "after", {"bsp=J3"}), 0x7F000007);
    ASSERT_TRUE(Eventually([&] { return list.DeviceCount() == 1; }));
    EXPECT_EQ(list.Snapshot()[0].name, "After");
    EXPECT_EQ(list.Snapshot()[0].interfaceName, "Ethernet " + std::to_string(LoopbackIndex()) + " (127.0.0.1)");

    set(AdapterTable{});  // and goes away again: dropped without error
    threads.SignalScan();
    ASSERT_TRUE(Eventually([&] { return threads.CyclesCompleted() >= 3; }));
    SendTo(0x7F000001, e.mdnsPort, CameraResponse("Gone", "gone", {"bsp=J3"}), 0x7F000008);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(list.DeviceCount(), 1);
    EXPECT_TRUE(threads.ListenersRunning());
}

// The command-line cycle runs its collections at the same time: the GigE
// Vision scan and the mDNS collection are both under way at once, the
// multicast query goes out before the collection, and the GigE Vision answers
// are merged after both.
TEST_F(ScanThreads, ConcurrentCycleRunsTheSourcesTogether) {
    std::mutex m;
    std::condition_variable cv;
    int inside = 0;
    bool overlapped = false;
    std::vector<std::string> order;
    auto enter = [&](const std::string& what) {
        std::unique_lock<std::mutex> l(m);
        order.push_back(what);
        ++inside;
        cv.notify_all();
        // Each waits (boundedly) for the other to be under way too.
        overlapped = cv.wait_for(l, 5s, [&] { return inside >= 2; }) || overlapped;
    };
    StandIns s;
    s.mdns->multicastQuery = [&] {
        std::lock_guard<std::mutex> l(m);
        order.push_back("multicast");
    };
    s.mdns->queryAndCollect = [&](std::vector<BonjourResponse>& r) {
        enter("collect");
        r = {ParsedCamera("Cam1", 0x7F000002)};
        return true;
    };
    // The camera answers GigE Vision too. Its answer is handed over once the
    // mDNS answer is merged, so that the next row change is the merge of the
    // GigE Vision answers.
    std::atomic<bool> gevScanned{false};
    s.gev->scan = [&](std::vector<GEVDiscoveryAnswer>& a) {
        enter("gev");
        Eventually([&] { return list.DeviceCount() >= 1; });
        a = {MakerCameraAnswer(0x7F000002)};
        gevScanned = true;
    };
    rowChanges.onChange = [&] {
        if (!gevScanned.exchange(false)) return;
        std::lock_guard<std::mutex> l(m);
        order.push_back("addgev:" + status.Get());
    };
    s.InstallOn(threads);
    UseLoopback(threads, LoopbackEndpoints());
    threads.SetConcurrentCycle(true);
    threads.Start();
    ASSERT_TRUE(Eventually([&] { return threads.CyclesCompleted() >= 1; }));
    EXPECT_EQ(list.DeviceCount(), 1);  // before taking `m`: the row changes take it under the list's lock
    std::lock_guard<std::mutex> l(m);
    EXPECT_TRUE(overlapped) << "the collections ran one after the other";
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(std::find(order.begin(), order.end(), "multicast") - order.begin() <
                  std::find(order.begin(), order.end(), "collect") - order.begin(),
              true);
    EXPECT_EQ(order.back(), "addgev:Scan completed");
}

// The listener reads datagrams up to 9000 bytes; a longer one is dropped
// alone and the listener goes on.
TEST_F(ScanThreads, MdnsListenerReadsLargeAnswersAndDropsOverlongOnes) {
    DiscoveryEndpoints e = LoopbackEndpoints();
    StandIns().InstallOn(threads);
    UseLoopback(threads, e);
    threads.Start();
    ASSERT_TRUE(Eventually([&] { return threads.CyclesCompleted() >= 1; }));  // the listener is ready
    Bytes tooLong = LargeCameraResponse("Huge", 9100);
    ASSERT_GT(tooLong.size(), 9000u);
    Bytes large = LargeCameraResponse("Large", 5000);
    SendTo(0x7F000001, e.mdnsPort, tooLong, 0x7F000005);
    SendTo(0x7F000001, e.mdnsPort, large, 0x7F000006);
    SendTo(0x7F000001, e.mdnsPort, CameraResponse("Small", "small", {"bsp=J3"}), 0x7F000007);
    ASSERT_TRUE(Eventually([&] { return list.DeviceCount() >= 2; }));
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "Large");
    EXPECT_EQ(rows[0].ipAddress, "127.0.0.6");
    EXPECT_EQ(rows[1].name, "Small");
}
