// The camera list as JSON and CSV: every text valid UTF-8 whatever the
// network sent, CSV quoting as RFC 4180 has it, the header row the keys of
// the JSON objects.
#include "discovery/camera_export.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

CDevice Camera(const std::string& name, const std::string& ip) {
    CDevice d;
    d.name = name;
    d.ipAddress = ip;
    d.macAddress = "02:00:00:00:00:01";
    d.interfaceName = "Ethernet 2 (192.168.1.10)";
    d.hostName = "cam-host";
    d.platform = "J3";
    d.reachable = true;
    return d;
}

}  // namespace

TEST(CameraExport, JsonStaysValidForNamesThatAreNotUtf8) {
    CDevice bad = Camera("cam\xff\xfe" "1", "192.168.1.20");
    bad.hostName = "\xe2\x82";  // cut-off sequence
    bad.sharedAddressMacs = {"02:00:00:00:00:02"};
    CDevice good = Camera("Kamera Nord \xc3\x9c", "192.168.1.21");

    const std::string text = CameraListJson({bad, good});
    nlohmann::ordered_json parsed;
    ASSERT_NO_THROW(parsed = nlohmann::ordered_json::parse(text)) << text;
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0]["name"], "cam" + kReplacement + kReplacement + "1");
    EXPECT_EQ(parsed[0]["hostName"], kReplacement);
    EXPECT_EQ(parsed[0]["duplicateAddress"], true);
    EXPECT_EQ(parsed[1]["name"], "Kamera Nord \xc3\x9c");
    EXPECT_EQ(parsed[1]["duplicateAddress"], false);

    // One object per line for the watch output.
    const std::string line = CameraJson(bad);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_NO_THROW((void)nlohmann::json::parse(line));

    std::vector<std::string> keys;
    for (const auto& item : parsed[1].items()) keys.push_back(item.key());
    EXPECT_EQ(keys, CameraExportKeys());
    EXPECT_EQ(CameraExportKeys().back(), "duplicateAddress");
}

TEST(CameraExport, CsvFollowsRfc4180) {
    CDevice tricky = Camera("Gate, \"north\"", "192.168.1.20");
    tricky.model = "two\r\nlines";
    tricky.hostName = "x\xff";
    const std::string csv = CameraListCsv({tricky});

    const std::string header =
        "name,ipAddress,macAddress,interfaceName,hostName,platform,model,reachable,disabled,ipChangePending,"
        "duplicateAddress\r\n";
    ASSERT_EQ(csv.substr(0, header.size()), header);
    EXPECT_EQ(csv.substr(header.size()),
              "\"Gate, \"\"north\"\"\",192.168.1.20,02:00:00:00:00:01,Ethernet 2 (192.168.1.10),x" + kReplacement +
                  ",J3,\"two\r\nlines\",true,false,false,false\r\n");
    EXPECT_EQ(CameraListCsv({}), header);
    EXPECT_EQ(CsvLine({"", "a\"", "b"}), ",\"a\"\"\",b\r\n");
}

TEST(CameraExport, PrintableTextForTheTerminal) {
    EXPECT_EQ(TerminalText("plain"), "plain");
    EXPECT_EQ(TerminalText("a\x1b[2Jb"), "a" + kReplacement + "[2Jb");
    EXPECT_EQ(TerminalText("tab\there"), "tab" + kReplacement + "here");
    EXPECT_EQ(TerminalText("c1\xc2\x85x"), "c1" + kReplacement + "x");  // NEL, a C1 control
    EXPECT_EQ(TerminalText("\xc2\xa0"), "\xc2\xa0");                    // no-break space stays
    EXPECT_EQ(TerminalText("\xff"), kReplacement);
    EXPECT_EQ(ValidUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(CameraExport, FormatByExtension) {
    EXPECT_EQ(ExportFormatForFileName("/tmp/site.csv"), ExportFormat::Csv);
    EXPECT_EQ(ExportFormatForFileName("SITE.CSV"), ExportFormat::Csv);
    EXPECT_EQ(ExportFormatForFileName("list.Json"), ExportFormat::Json);
    EXPECT_EQ(ExportFormatForFileName("list.txt"), ExportFormat::Unknown);
    EXPECT_EQ(ExportFormatForFileName("/tmp/a.json/list"), ExportFormat::Unknown);
    EXPECT_EQ(ExportFormatForFileName("list"), ExportFormat::Unknown);
    EXPECT_EQ(ExportCameraList({}, ExportFormat::Unknown), "");
}
