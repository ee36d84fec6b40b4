// The mDNS query bytes, the response parser and the turning of responses into
// list records.
#include "discovery/bonjour_scanner.h"
#include "discovery/device_list.h"
#include "mdns_test_util.h"

#include <gtest/gtest.h>

using namespace mdnstest;

namespace {

bool Parse(const Bytes& b, BonjourResponse& r) { return ParseBonjourResponse(b.data(), b.size(), 0x7F000002, 5353, r); }

DeviceInfo Apply(const Bytes& b) {
    BonjourResponse r;
    EXPECT_TRUE(Parse(b, r));
    DeviceInfo info;
    ApplyBonjourRecords(r, info);
    return info;
}

}  // namespace

TEST(BonjourQuery, CameraServiceTypeIsFortyBytes) {
    const Bytes expected = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0,  // header
                            11, '_', 'z', 'y', 'r', 'k', '-', 'i', 'r', 'c', 'a', 'm',
                            4, '_', 't', 'c', 'p',
                            5, 'l', 'o', 'c', 'a', 'l',
                            0, 0x00, 0xFF, 0x00, 0x01};
    EXPECT_EQ(BuildBonjourQuery(kCameraServiceType), expected);
    EXPECT_EQ(expected.size(), 40u);
}

TEST(BonjourQuery, EmptyLabelsAreLeftOut) {
    Bytes q = BuildBonjourQuery(".a..b.");
    Bytes expected = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', 1, 'b', 0, 0x00, 0xFF, 0x00, 0x01};
    EXPECT_EQ(q, expected);
}

TEST(BonjourParser, FlagsMustBeExactly0x8400) {
    BonjourResponse r;
    EXPECT_TRUE(Parse(Header(0x8400), r));
    EXPECT_FALSE(Parse(Header(0x8600), r)) << "truncation bit set";
    EXPECT_FALSE(Parse(Header(0x8000), r)) << "not authoritative";
    EXPECT_FALSE(Parse(Header(0x0000), r)) << "a query";
    EXPECT_FALSE(Parse(Bytes{}, r));
    Bytes shortHeader = Header();
    shortHeader.resize(11);
    EXPECT_FALSE(Parse(shortHeader, r));
}

TEST(BonjourParser, HeaderOnlyGivesNoHostAndChangesNothing) {
    BonjourResponse r;
    ASSERT_TRUE(Parse(Header(), r));
    EXPECT_TRUE(r.records.empty());
    EXPECT_FALSE(r.hasQuestion);
    r.adapterIndex = LoopbackIndex();

    CAdapterTableSource adapters([] { return std::optional<AdapterTable>(LoopbackTable()); });
    DeviceInfo info = MakeBonjourDeviceInfo(r, nullptr);
    EXPECT_TRUE(info.hostName.empty());
    CDeviceList list;
    AddBonjourDevices(list, {r}, [](const std::string&, const std::string&, std::string&) { return false; });
    EXPECT_EQ(list.DeviceCount(), 0);
}

TEST(BonjourParser, RecordCountsAreIgnoredAndRecordsReadToTheEnd) {
    Bytes b = Header(0x8400, 0, 0);  // says no answers, carries three
    Append(b, Record(Name("cam1.local"), 1, A(1)));
    Append(b, Record(Name("cam1.local"), 28, Bytes(16, 0)));
    Append(b, Record(Name("x"), 99, {}));
    BonjourResponse r;
    ASSERT_TRUE(Parse(b, r));
    ASSERT_EQ(r.records.size(), 3u);
    EXPECT_EQ(r.records[0].ownerName, "cam1.local");
    EXPECT_EQ(r.records[0].offset, 12u);
    EXPECT_EQ(r.records[0].size, 12u + 10u + 4u);
    EXPECT_EQ(r.records[1].type, 28);
    EXPECT_EQ(r.records[1].rdata.size(), 16u);
    EXPECT_EQ(r.records[2].rdata.size(), 0u);
    EXPECT_EQ(r.records[2].offset + r.records[2].size, b.size());
    EXPECT_EQ(r.datagram, b);
}

TEST(BonjourParser, QuestionIsReadOnceAndFurtherQuestionsAsRecords) {
    Bytes b = Header(0x8400, 2);
    Append(b, Name("_zyrk-ircam._tcp.local"));
    Put16(b, 0x00FF);
    Put16(b, 1);
    Append(b, Record(Name("cam"), 1, A(1)));
    BonjourResponse r;
    ASSERT_TRUE(Parse(b, r));
    EXPECT_TRUE(r.hasQuestion);
    EXPECT_EQ(r.questionName, "_zyrk-ircam._tcp.local");
    EXPECT_EQ(r.questionType, 0x00FF);
    ASSERT_EQ(r.records.size(), 1u);

    Bytes bad = Header(0x8400, 1);
    bad.push_back(20);  // a question label running past the end
    bad.push_back('a');
    EXPECT_FALSE(Parse(bad, r));
}

TEST(BonjourParser, OwnerPointerGivesOnlyTheLabelItPointsAt) {
    // Question "Cam1.local" at offset 12; the SRV record's owner is 0xC0 0x0C.
    Bytes b = Header(0x8400, 1);
    Append(b, Name("Cam1.local"));
    Put16(b, 33);
    Put16(b, 1);
    Append(b, Record(Pointer(12), 33, Srv(80, Name("cam1.local"))));
    BonjourResponse r;
    ASSERT_TRUE(Parse(b, r));
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.records[0].ownerName, "Cam1");
    DeviceInfo info;
    ApplyBonjourRecords(r, info);
    EXPECT_EQ(info.name, "Cam1");
    EXPECT_EQ(info.serviceName, "Cam1");
    EXPECT_EQ(info.port, 80);
}

TEST(BonjourParser, OwnerPointerOutsideTheDatagramFailsTheParse) {
    Bytes b = Header();
    Append(b, Record(Pointer(200), 1, A(1)));
    BonjourResponse r;
    EXPECT_FALSE(Parse(b, r));

    // Offset inside, but the label found there runs past the end.
    BonjourResponse r2;
    Bytes d = Header();
    Append(d, Record(Pointer(12 + 16), 1, A(1)));
    d.push_back(50);  // offset 28 holds a label length 50 with 0 bytes after it
    EXPECT_FALSE(Parse(d, r2));

    // A pointer whose second byte is missing.
    Bytes e = Header();
    e.push_back(0xC0);
    EXPECT_FALSE(Parse(e, r2));
}

TEST(BonjourParser, PointerToOffset300In400ByteResponseIsFollowed) {
    Bytes b = Header();
    // Filler record so that the label sits at offset 300.
    Bytes filler = Record(Name("f"), 99, Bytes(300 - 12 - 3 - 10, 0xEE));
    Append(b, filler);
    ASSERT_EQ(b.size(), 300u);
    Append(b, Record(Name("Cam300"), 99, {}));  // a record whose owner starts with the label "Cam300"
    Append(b, Record(Pointer(300), 33, Srv(1, Pointer(300))));
    Bytes pad = Record(Name("p"), 99, Bytes(400 - b.size() - 3 - 10, 0));
    Append(b, pad);
    ASSERT_EQ(b.size(), 400u);

    BonjourResponse r;
    ASSERT_TRUE(Parse(b, r));
    ASSERT_EQ(r.records.size(), 4u);
    EXPECT_EQ(r.records[2].ownerName, "Cam300");
    DeviceInfo info;
    ApplyBonjourRecords(r, info);
    EXPECT_EQ(info.name, "Cam300");
    EXPECT_EQ(info.hostName, "Cam300") << "SRV target by pointer";
}

TEST(BonjourParser, AnyReadPastTheEndDropsTheWholeResponse) {
    Bytes good = Header();
    Append(good, Record(Name("cam1"), 1, A(1)));

    Bytes rdlengthPastEnd = good;
    Append(rdlengthPastEnd, Record(Name("cam2"), 16, Txt({"bsp=J3"})));
    rdlengthPastEnd.pop_back();  // RDLENGTH now runs one byte past the end
    BonjourResponse r;
    EXPECT_FALSE(Parse(rdlengthPastEnd, r));
    EXPECT_TRUE(r.records.empty()) << "records read before the fault are lost";

    for (size_t cut = 1; cut <= 10; ++cut) {  // TYPE, CLASS, TTL or RDLENGTH cut
        Bytes b = good;
        Append(b, Name("cam2"));
        Bytes fixed(10, 0);
        b.insert(b.end(), fixed.begin(), fixed.begin() + static_cast<long>(10 - cut));
        EXPECT_FALSE(Parse(b, r)) << "cut " << cut;
    }
}

TEST(BonjourParser, UnreadableInlineOwnerEndsTheRecordsButKeepsThem) {
    Bytes b = Header();
    Append(b, Record(Name("cam1"), 1, A(1)));
    b.push_back(30);  // a label running past the end
    b.push_back('x');
    BonjourResponse r;
    ASSERT_TRUE(Parse(b, r));
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.records[0].ownerName, "cam1");
}

TEST(BonjourParser, InlineNameEndsAtAPointerWithoutFollowingIt) {
    Bytes b = Header();
    Bytes owner = {4, 'c', 'a', 'm', '9'};
    Append(owner, Pointer(12));
    Append(b, Record(owner, 1, A(1)));
    BonjourResponse r;
    ASSERT_TRUE(Parse(b, r));
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.records[0].ownerName, "cam9");
    EXPECT_EQ(r.records[0].size, owner.size() + 10 + 4);
}

TEST(BonjourRecords, TxtFirstValueWinsAndKeyWithoutEquals) {
    Bytes b = Header();
    Append(b, Record(Name("x"), 16, Txt({"bsp=J3", "model=x", "bsp=W", "enabled", "a=b=c", ""})));
    DeviceInfo info = Apply(b);
    EXPECT_EQ(info.txt["bsp"], "J3");
    EXPECT_EQ(info.txt["model"], "x");
    EXPECT_EQ(info.txt["enabled"], "enabled");
    EXPECT_EQ(info.txt["a"], "b=c");

    // A string cut at the RDATA's end.
    Bytes c = Header();
    Append(c, Record(Name("x"), 16, Bytes{10, 'b', 's', 'p', '=', 'Q'}));
    EXPECT_EQ(Apply(c).txt["bsp"], "Q");
}

TEST(BonjourRecords, SrvTargetInlineOrByPointerAndCutAtRdataEnd) {
    Bytes b = Header();
    Append(b, Record(Name("Cam2._zyrk-ircam._tcp.local"), 33, Srv(22136, Name("cam2.local"))));
    DeviceInfo info = Apply(b);
    EXPECT_EQ(info.hostName, "cam2");
    EXPECT_EQ(info.port, 22136);
    EXPECT_EQ(info.name, "Cam2._zyrk-ircam._tcp.local");

    Bytes cut = Header();
    Append(cut, Record(Name("c"), 33, Bytes{0, 0, 0, 0, 0, 7, 9, 'a', 'b'}));
    EXPECT_EQ(Apply(cut).hostName, "ab");

    Bytes tooShort = Header();
    Append(tooShort, Record(Name("c"), 1, A(1)));
    Append(tooShort, Record(Name("c2"), 33, Bytes{0, 0, 0}));
    DeviceInfo s = Apply(tooShort);
    EXPECT_EQ(s.hostName, "c") << "an SRV without target leaves the host name";
    EXPECT_EQ(s.port, 0);
    EXPECT_EQ(s.name, "c2");

    Bytes badPointer = Header();
    Append(badPointer, Record(Name("c"), 1, A(1)));
    Append(badPointer, Record(Name("c2"), 33, Srv(1, Pointer(1000))));
    EXPECT_EQ(Apply(badPointer).hostName, "c");

    Bytes halfPointer = Header();
    Append(halfPointer, Record(Name("c"), 33, Bytes{0, 0, 0, 0, 0, 1, 0xC0}));
    EXPECT_EQ(Apply(halfPointer).hostName, "");
}

TEST(BonjourRecords, LaterRecordsOverwriteEarlierOnes) {
    Bytes b = Header();
    Append(b, Record(Name("First"), 33, Srv(1, Name("srvhost"))));
    Append(b, Record(Name("ahost.local"), 1, A(1)));
    Append(b, Record(Name("Second"), 33, Srv(2, Name("srv2.local"))));
    Append(b, Record(Name("v6host.local"), 28, Bytes(16, 0)));
    DeviceInfo info = Apply(b);
    EXPECT_EQ(info.name, "Second");
    EXPECT_EQ(info.port, 2);
    EXPECT_EQ(info.hostName, "v6host.local");
}

TEST(BonjourRecords, DeviceInfoTakesTheAdaptersMaskAndGatewayInNetworkOrder) {
    CAdapterTableSource adapters([] { return std::optional<AdapterTable>(LoopbackTable()); });
    Bytes b = CameraResponse("Cam1", "cam1", {"bsp=J3", "model=K1"});
    BonjourResponse r;
    ASSERT_TRUE(Parse(b, r));
    r.adapterIndex = LoopbackIndex();
    std::string askedAddress, askedSource;
    DeviceInfo info = MakeBonjourDeviceInfo(r, [&](const std::string& a, const std::string& s, std::string& mac) {
        askedAddress = a;
        askedSource = s;
        mac = "00:11:22:33:44:55";
        return true;
    });
    EXPECT_EQ(info.ipAddress, "127.0.0.2");
    EXPECT_EQ(askedAddress, "127.0.0.2");
    EXPECT_EQ(askedSource, "127.0.0.1");
    EXPECT_EQ(info.macAddress, "00:11:22:33:44:55");
    EXPECT_TRUE(info.macKnown);
    EXPECT_EQ(info.interfaceName, "Ethernet " + std::to_string(LoopbackIndex()) + " (127.0.0.1)");
    EXPECT_EQ(info.subnetMask, htonl(0xFF000000u));
    EXPECT_EQ(info.gateway, htonl(0x7F0000FEu));
    EXPECT_EQ(info.hostName, "cam1.local");
    EXPECT_EQ(info.name, "Cam1._zyrk-ircam._tcp.local");
    EXPECT_EQ(info.txt["bsp"], "J3");

    // Not found: empty MAC; an adapter that is gone: no interface name, no mask.
    r.adapterIndex = 999999;
    DeviceInfo gone = MakeBonjourDeviceInfo(r, [](const std::string&, const std::string& s, std::string&) {
        EXPECT_EQ(s, "");
        return false;
    });
    EXPECT_EQ(gone.interfaceName, "");
    EXPECT_EQ(gone.subnetMask, 0u);
    EXPECT_FALSE(gone.macKnown);
    EXPECT_EQ(gone.macAddress, "");
}

