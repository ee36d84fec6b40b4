// DISCOVERY_ACK parsing, the model mapping, AddGEVDevices and one scan
// against a fake camera on loopback.
#include "discovery/gev_scanner.h"
#include "loopback_helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

namespace {

struct AckFields {
    uint16_t status = 0;
    uint16_t answer = 0x0003;
    uint32_t ipOptions = 6;
    uint8_t mac[8] = {0, 0, 0x00, 0x11, 0x1C, 0xAB, 0xCD, 0xEF};
    uint8_t ip[4] = {192, 168, 1, 20};
    uint8_t mask[4] = {255, 255, 255, 0};
    uint8_t gateway[4] = {192, 168, 1, 1};
    std::string model = "FLIR A50";
    std::string info = "KSRV-1234";
};

void PutText(std::vector<uint8_t>& b, size_t at, size_t width, const std::string& s) {
    std::memcpy(&b[at], s.data(), std::min(width, s.size()));
}

std::vector<uint8_t> BuildAck(const AckFields& f) {
    std::vector<uint8_t> b(256, 0);
    b[0] = f.status >> 8, b[1] = f.status & 0xFF;
    b[2] = f.answer >> 8, b[3] = f.answer & 0xFF;
    b[4] = 0x00, b[5] = 0xF8;
    b[6] = 0x5F, b[7] = 0xFF;
    b[8] = 0x00, b[9] = 0x02, b[10] = 0x00, b[11] = 0x01;
    std::memcpy(&b[16], f.mac, 8);
    b[27] = 0x07;
    b[28] = f.ipOptions >> 24, b[29] = (f.ipOptions >> 16) & 0xFF, b[30] = (f.ipOptions >> 8) & 0xFF,
    b[31] = f.ipOptions & 0xFF;
    std::memcpy(&b[44], f.ip, 4);
    std::memcpy(&b[60], f.mask, 4);
    std::memcpy(&b[76], f.gateway, 4);
    PutText(b, 80, 32, "ZYRK");
    PutText(b, 112, 32, f.model);
    PutText(b, 144, 32, "1.0");
    PutText(b, 176, 48, f.info);
    PutText(b, 224, 16, "SN0001");
    PutText(b, 240, 16, "lab camera");
    return b;
}

sockaddr_in Sender(const char* address) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(3956);
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

bool Parse(const std::vector<uint8_t>& bytes, GEVDiscoveryAnswer& out, const char* from = "192.168.1.20") {
    sockaddr_in s = Sender(from);
    return ParseDiscoveryAck(bytes.data(), bytes.size(), reinterpret_cast<sockaddr*>(&s), sizeof s, out);
}

GEVDiscoveryAnswer AnswerFrom(const AckFields& f, uint32_t adapter, const char* from) {
    GEVDiscoveryAnswer a;
    EXPECT_TRUE(Parse(BuildAck(f), a, from));
    a.adapterIndex = adapter;
    return a;
}

}  // namespace

TEST(DiscoveryAck, ParsesEveryStoredField) {
    AckFields f;
    GEVDiscoveryAnswer a;
    ASSERT_TRUE(Parse(BuildAck(f), a));
    EXPECT_EQ(a.length, 0xF8);
    EXPECT_EQ(a.ackId, 0x5FFF);
    EXPECT_EQ(a.specVersion, 0x00020001u);
    EXPECT_EQ(a.supportedIPOptions, 7u);
    EXPECT_EQ(a.currentIPOptions, 6u);
    EXPECT_EQ(0, std::memcmp(a.macAddress, f.mac, 8));
    EXPECT_EQ(ntohl(a.currentIP), 0xC0A80114u);
    EXPECT_EQ(ntohl(a.currentSubnetMask), 0xFFFFFF00u);
    EXPECT_EQ(ntohl(a.defaultGateway), 0xC0A80101u);
    EXPECT_EQ(a.manufacturerName, "ZYRK");
    EXPECT_EQ(a.modelName, "FLIR A50");
    EXPECT_EQ(a.deviceVersion, "1.0");
    EXPECT_EQ(a.manufacturerInfo, "KSRV-1234");
    EXPECT_EQ(a.serialNumber, "SN0001");
    EXPECT_EQ(a.userDefinedName, "lab camera");
    EXPECT_EQ(SenderAddressText(a.senderAddress, a.senderAddressLength), "192.168.1.20");
    EXPECT_EQ(a.datagram.size(), 256u);
}

TEST(DiscoveryAck, LengthLimits) {
    auto bytes = BuildAck(AckFields{});
    GEVDiscoveryAnswer a;
    EXPECT_FALSE(Parse(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 255), a));
    EXPECT_FALSE(Parse({}, a));

    // Every text field full, no NUL anywhere: each text is its field's full width.
    for (size_t i = 80; i < 256; ++i) bytes[i] = 'A' + (i % 26);
    ASSERT_TRUE(Parse(bytes, a));
    EXPECT_EQ(a.manufacturerName.size(), 32u);
    EXPECT_EQ(a.modelName.size(), 32u);
    EXPECT_EQ(a.deviceVersion.size(), 32u);
    EXPECT_EQ(a.manufacturerInfo.size(), 48u);
    EXPECT_EQ(a.serialNumber.size(), 16u);
    EXPECT_EQ(a.userDefinedName.size(), 16u);
    EXPECT_EQ(a.userDefinedName, std::string(bytes.begin() + 240, bytes.end()));

    // Longer answers parse; the bytes beyond the table are kept but not read.
    bytes.resize(300, 0x55);
    EXPECT_TRUE(Parse(bytes, a));
}

TEST(DiscoveryAck, StatusAndAnswerCodeChecked) {
    AckFields f;
    f.status = 0x8001;
    GEVDiscoveryAnswer a;
    EXPECT_FALSE(Parse(BuildAck(f), a));
    f.status = 0;
    f.answer = 0x0002;  // a DISCOVERY_CMD echoed back
    EXPECT_FALSE(Parse(BuildAck(f), a));
    f.answer = 0x0083;
    EXPECT_FALSE(Parse(BuildAck(f), a));
}

TEST(DiscoveryAck, ModelMapping) {
    struct Case {
        const char* info;
        bool listed;
        const char* platform;
        const char* name;
    } cases[] = {
        {"KSRV-1234", true, "HU", "FLIR A50"}, {"K210R", true, "HV", "ZYRK K2X0"},
        {"K210R-77", true, "HV", "ZYRK K2X0"},  {"K460", true, "HV", "ZYRK K4X0"},
        {"ksrv-1234", false, "", ""},           {"k210r", false, "", ""},
        {"k460", false, "", ""},                {"K210", false, "", ""},
        {"", false, "", ""},                    {"XKSRV", false, "", ""},
    };
    for (const auto& c : cases) {
        AckFields f;
        f.info = c.info;
        GEVDiscoveryAnswer a;
        ASSERT_TRUE(Parse(BuildAck(f), a));
        std::string platform, name;
        EXPECT_EQ(MapGEVModel(a, platform, name), c.listed) << c.info;
        if (c.listed) {
            EXPECT_EQ(platform, c.platform) << c.info;
            EXPECT_EQ(name, c.name) << c.info;
        }
    }
}

TEST(AddGEVDevices, RecordsFromAnswers) {
    ScopedAdapterTable table(AdapterTable{MakeAdapter(11, "192.168.1.10", "255.255.255.0"),
                                          MakeAdapter(12, "0.0.0.0", "0.0.0.0")});
    AckFields ksrv;
    AckFields lower;
    lower.info = "k210r";
    AckFields k460;
    k460.info = "K460";
    k460.ipOptions = 5;
    k460.mac[7] = 0x01;
    std::vector<GEVDiscoveryAnswer> answers = {
        AnswerFrom(ksrv, 11, "192.168.1.20"),
        AnswerFrom(lower, 11, "192.168.1.21"),
        AnswerFrom(k460, 11, "10.1.2.3"),
        AnswerFrom(ksrv, 12, "192.168.1.22"),  // arrived on an adapter without address
    };
    RecordingSink sink;
    CDeviceList list(&sink);
    AddGEVDevices(list, answers);
    auto rows = list.Snapshot();
    ASSERT_EQ(rows.size(), 2u);

    EXPECT_EQ(rows[0].name, "FLIR A50");
    EXPECT_EQ(rows[0].hostName, "GigE0");
    EXPECT_EQ(rows[0].platform, "HU");
    EXPECT_EQ(rows[0].ipAddress, "192.168.1.20");
    EXPECT_EQ(rows[0].macAddress, "00:11:1C:AB:CD:EF");
    EXPECT_EQ(rows[0].macBytes, std::vector<uint8_t>(ksrv.mac, ksrv.mac + 8));
    EXPECT_EQ(rows[0].interfaceName, "Ethernet 11 (192.168.1.10)");
    EXPECT_EQ(rows[0].subnetMask, 0xFFFFFF00u);
    EXPECT_EQ(rows[0].gateway, 0xC0A80101u);
    EXPECT_TRUE(rows[0].dhcp);
    EXPECT_TRUE(rows[0].reachable);

    // Positions count over the whole answer list, dropped answers included.
    EXPECT_EQ(rows[1].hostName, "GigE2");
    EXPECT_EQ(rows[1].name, "ZYRK K4X0");
    EXPECT_EQ(rows[1].platform, "HV");
    EXPECT_FALSE(rows[1].dhcp);
    EXPECT_FALSE(rows[1].reachable);
    EXPECT_EQ(rows[1].macAddress, "00:11:1C:AB:CD:01");
}

TEST(AddGEVDevices, NonIPv4SenderGivesNoAddress) {
    GEVDiscoveryAnswer a;
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "fe80::1", &six.sin6_addr);
    auto bytes = BuildAck(AckFields{});
    ASSERT_TRUE(ParseDiscoveryAck(bytes.data(), bytes.size(), reinterpret_cast<sockaddr*>(&six), sizeof six, a));
    EXPECT_EQ(SenderAddressText(a.senderAddress, a.senderAddressLength), "fe80::1");
    sockaddr unknown{};
    unknown.sa_family = AF_UNIX;
    ASSERT_TRUE(ParseDiscoveryAck(bytes.data(), bytes.size(), &unknown, sizeof unknown, a));
    EXPECT_EQ(SenderAddressText(a.senderAddress, a.senderAddressLength), "");
}

// Loopback only: the scanner is pointed at a fake camera on 127.0.0.1.
TEST(GEVScanner, CollectsAnswersInArrivalOrderOnLoopback) {
    ScopedAdapterTable table(AdapterTable{LoopbackAdapter()});
    AckFields first;
    AckFields second;
    second.info = "K210R";
    auto shortAck = BuildAck(first);
    shortAck.resize(200);
    FakeCamera camera([&](const std::vector<uint8_t>& cmd) -> std::vector<std::vector<uint8_t>> {
        if (cmd.size() != 8 || cmd[0] != 0x42 || cmd[3] != 0x02) return {};
        return {BuildAck(first), shortAck, BuildAck(second)};
    });
    CGEVScanner scanner("127.0.0.1", camera.Port());
    scanner.collectMs = 300;
    std::vector<GEVDiscoveryAnswer> answers(3);  // emptied by the scan
    ASSERT_TRUE(scanner.Scan(answers));
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].manufacturerInfo, "KSRV-1234");
    EXPECT_EQ(answers[1].manufacturerInfo, "K210R");
    EXPECT_EQ(answers[0].adapterIndex, 1u);
    EXPECT_EQ(SenderAddressText(answers[0].senderAddress, answers[0].senderAddressLength), "127.0.0.1");

    auto got = camera.Received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], std::vector<uint8_t>(kDiscoveryCmd, kDiscoveryCmd + 8));

    CDeviceList list;
    AddGEVDevices(list, answers);
    auto rows = list.Snapshot();
    // Both came from 127.0.0.1 on adapter 1: the second refreshes row 0, whose name stays.
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].hostName, "GigE0");
    EXPECT_EQ(rows[0].name, "FLIR A50");
}

TEST(GEVScanner, BurstOfAnswersIsNotLost) {
    ScopedAdapterTable table(AdapterTable{LoopbackAdapter()});
    const int kBurst = 2000;
    auto ack = BuildAck(AckFields{});
    FakeCamera camera([&](const std::vector<uint8_t>&) { return std::vector<std::vector<uint8_t>>(kBurst, ack); });
    CGEVScanner scanner("127.0.0.1", camera.Port());
    scanner.collectMs = 500;
    std::vector<GEVDiscoveryAnswer> answers;
    ASSERT_TRUE(scanner.Scan(answers));
    EXPECT_EQ(answers.size(), static_cast<size_t>(kBurst));
}

TEST(GEVScanner, UnreadableTableGivesNoAnswers) {
    ScopedAdapterTable table(std::nullopt);
    CGEVScanner scanner("127.0.0.1", 9);
    std::vector<GEVDiscoveryAnswer> answers(1);
    EXPECT_TRUE(scanner.Scan(answers));
    EXPECT_TRUE(answers.empty());
}

TEST(GEVScanner, BindFailureEndsTheScan) {
    // 192.0.2.1 is no address of this machine: the bind fails before anything is sent.
    ScopedAdapterTable table(AdapterTable{MakeAdapter(1, "192.0.2.1", "255.255.255.0")});
    CGEVScanner scanner("127.0.0.1", 9);
    std::vector<GEVDiscoveryAnswer> answers;
    EXPECT_FALSE(scanner.Scan(answers));
}

TEST(GEVScanner, AStopRequestEndsTheCollectionEarly) {
    // Three adapters, ten seconds each: a stop comes after a fifth of a second.
    ScopedAdapterTable table(AdapterTable{LoopbackAdapter(), LoopbackAdapter(), LoopbackAdapter()});
    FakeCamera camera([](const std::vector<uint8_t>&) { return std::vector<std::vector<uint8_t>>{}; });
    CGEVScanner scanner("127.0.0.1", camera.Port());
    scanner.collectMs = 10000;
    const auto start = std::chrono::steady_clock::now();
    scanner.stopRequested = [start] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(200); };
    std::vector<GEVDiscoveryAnswer> answers;
    EXPECT_TRUE(scanner.Scan(answers));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(camera.Received().size(), 1u);  // the other adapters were not asked
}

// All adapters at once (the command-line scan): one broadcast on each, one
// window for all, the answers adapter by adapter in table order, so that host
// names count as they do when the adapters are scanned in turn.
TEST(GEVScanner, ConcurrentAdaptersKeepTableOrder) {
    AdapterInfo a = LoopbackAdapter(), b = LoopbackAdapter();
    a.index = 11;
    b.index = 12;
    ScopedAdapterTable table(AdapterTable{a, b});
    AckFields k;
    FakeCamera camera([&](const std::vector<uint8_t>&) { return std::vector<std::vector<uint8_t>>{BuildAck(k)}; });
    CGEVScanner scanner("127.0.0.1", camera.Port());
    scanner.collectMs = 300;
    scanner.SetConcurrentAdapters(true);
    std::vector<GEVDiscoveryAnswer> answers;
    ASSERT_TRUE(scanner.Scan(answers));
    EXPECT_EQ(camera.Received().size(), 2u);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].adapterIndex, 11u);
    EXPECT_EQ(answers[1].adapterIndex, 12u);

    // An adapter whose socket cannot be bound ends the scan; those before it keep their answers.
    ScopedAdapterTable broken(AdapterTable{a, MakeAdapter(13, "192.0.2.1", "255.255.255.0")});
    answers.clear();
    EXPECT_FALSE(scanner.Scan(answers));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].adapterIndex, 11u);
}
