#include "test_support.h"

#include "app/actions/upload.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

const char kCertBytes[] =
    "-----BEGIN CERTIFICATE-----\r\nMIIB\x01\x02\x00zz\n-----END CERTIFICATE-----\n";

class CertUpload : public ::testing::Test {
protected:
    void SetUp() override {
        data_ = std::make_unique<ScopedProgramData>(
            std::string("upload-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::string error;
        ASSERT_TRUE(GetCertificatePaths(paths_, error));
        ASSERT_TRUE(CreateCertificateFolder(paths_, error));
        cert_.assign(kCertBytes, sizeof kCertBytes - 1);
        WriteFile(paths_.clientCertPath, cert_);
        camera_.ipAddress = "127.0.0.1";
        camera_.hostName = "cam";
    }

    UploadResult Upload(const std::string& baseUrl, long totalMs = kUploadTotalTimeoutMs) {
        UploadOptions o;
        o.baseUrl = baseUrl;
        o.connectTimeoutMs = 2000;
        o.totalTimeoutMs = totalMs;
        return UploadCertificate(camera_, paths_, status_, response_, o);
    }

    // What the status shows after an upload whose reply is xml.
    std::string StatusAfterReply(const std::string& xml) {
        HttpTestServer server(200, xml);
        Upload(server.BaseUrl());
        return status_.statusText;
    }

    std::unique_ptr<ScopedProgramData> data_;
    CertificatePaths paths_;
    std::string cert_;
    CDevice camera_;
    RecordingStatus status_;
    std::string response_;
};

}  // namespace

TEST_F(CertUpload, PutsTheFileAndShowsTheSentenceBeforeSubject) {
    const std::string reply =
        "<?xml version=\"1.0\"?><html><head><title>Upload</title></head>"
        "<body>Certificate installed. Subject: C = DE, O = ZYRK, CN = pc</body></html>";
    HttpTestServer server(200, reply);
    UploadResult r = Upload(server.BaseUrl());
    EXPECT_TRUE(r.fileOpened && r.transferred && r.bodyFound);
    EXPECT_EQ(r.httpStatus, 200);
    EXPECT_EQ(response_, reply);
    const std::vector<StatusEvent> expected = {
        {StatusEvent::kShow, "Upload certificate to 127.0.0.1"},
        {StatusEvent::kShow, "Certificate installed. "},
    };
    EXPECT_EQ(status_.events, expected);

    std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "PUT");
    EXPECT_EQ(requests[0].version, "HTTP/1.0");
    EXPECT_EQ(requests[0].url, "/m2m/uploadcert");
    EXPECT_EQ(requests[0].body, cert_);
    EXPECT_EQ(requests[0].headers["content-length"], std::to_string(cert_.size()));
    EXPECT_EQ(requests[0].headers.count("transfer-encoding"), 0u);
}

TEST_F(CertUpload, ReplyTextRules) {
    EXPECT_EQ(StatusAfterReply("<html><body>Subject: CN = pc, rejected</body></html>"),
              "Subject: CN = pc, rejected");
    EXPECT_EQ(StatusAfterReply("<html><body><h1>Done</h1>Subject: x</body></html>"), "");
    EXPECT_EQ(StatusAfterReply("<html><body>  kept  as  is </body></html>"), "  kept  as  is ");
    EXPECT_EQ(StatusAfterReply("<html><body>a &amp; b Subject: y</body></html>"), "a &amp; b ");
}

TEST_F(CertUpload, ReplyWithoutBodyLeavesTheStatus) {
    HttpTestServer server(200, "certificate stored", "text/plain");
    UploadResult r = Upload(server.BaseUrl());
    EXPECT_TRUE(r.transferred);
    EXPECT_FALSE(r.bodyFound);
    EXPECT_EQ(status_.statusText, "Upload certificate to 127.0.0.1");
    EXPECT_EQ(status_.events.size(), 1u);
    EXPECT_EQ(response_, "certificate stored");
}

TEST_F(CertUpload, HttpErrorIsNotATransferFailure) {
    HttpTestServer server(403, "<html><body>Forbidden</body></html>");
    UploadResult r = Upload(server.BaseUrl());
    EXPECT_TRUE(r.transferred);
    EXPECT_EQ(r.httpStatus, 403);
    EXPECT_EQ(status_.statusText, "Forbidden");
}

TEST_F(CertUpload, MissingCertificateSendsNothing) {
    std::filesystem::remove(paths_.clientCertPath);
    HttpTestServer server(200, "<html><body>x</body></html>");
    UploadResult r = Upload(server.BaseUrl());
    EXPECT_FALSE(r.fileOpened);
    const std::vector<StatusEvent> expected = {
        {StatusEvent::kShow, "Upload certificate to 127.0.0.1"},
        {StatusEvent::kShow, "Failed to open client certificate"},
    };
    EXPECT_EQ(status_.events, expected);
    EXPECT_TRUE(server.Requests().empty());

    std::filesystem::create_directories(paths_.clientCertPath);  // a folder is no certificate either
    EXPECT_FALSE(Upload(server.BaseUrl()).fileOpened);
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(CertUpload, SilentCameraFailsAtTheTimeLimit) {
    SilentListener silent;
    UploadResult r = Upload("http://127.0.0.1:" + std::to_string(silent.port()), 1000);
    EXPECT_FALSE(r.transferred);
    EXPECT_EQ(status_.statusText, "Failed to upload " + r.error);
    EXPECT_EQ(r.error, "Timeout was reached");
}

TEST_F(CertUpload, OversizedReplyIsCutOff) {
    HttpTestServer server(200, "<html><body>" + std::string(kUploadReplyLimit + 10, 'x') + "</body></html>");
    UploadResult r = Upload(server.BaseUrl());
    EXPECT_FALSE(r.transferred);
    EXPECT_LE(response_.size(), kUploadReplyLimit);
    EXPECT_EQ(status_.statusText.rfind("Failed to upload ", 0), 0u);
}

TEST_F(CertUpload, AddressThatIsNoIpv4AddressIsNotUsedInTheUrl) {
    camera_.ipAddress = "127.0.0.1@example.org";
    UploadResult r = Upload("");
    EXPECT_FALSE(r.transferred);
    EXPECT_EQ(status_.events.front().text, "Upload certificate to 127.0.0.1@example.org");
    EXPECT_EQ(status_.statusText, "Failed to upload URL using bad/illegal format or missing URL");
}

TEST(FindElementByName, DepthFirstInDocumentOrderAndCaseSensitive) {
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse("<r><a><x/><body id='1'/></a><body id='2'/><BODY id='3'/></r>"), tinyxml2::XML_SUCCESS);
    const tinyxml2::XMLElement* root = doc.FirstChildElement();
    const tinyxml2::XMLElement* found = FindElementByName(root, "body");
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->Attribute("id"), "1");
    EXPECT_STREQ(FindElementByName(root, "BODY")->Attribute("id"), "3");
    EXPECT_EQ(FindElementByName(root, "r"), root);
    EXPECT_EQ(FindElementByName(root, "missing"), nullptr);
    EXPECT_EQ(FindElementByName(nullptr, "body"), nullptr);
}

TEST(UploadReplyStatus, MalformedOrEmptyRepliesHaveNoBody) {
    EXPECT_FALSE(UploadReplyStatus(""));
    EXPECT_FALSE(UploadReplyStatus("<html><body>unclosed"));
    EXPECT_FALSE(UploadReplyStatus(std::string(200, '<')));
    EXPECT_EQ(UploadReplyStatus("<body/>"), std::optional<std::string>(""));
    EXPECT_EQ(UploadReplyStatus("<x><body>A Subject: B Subject: C</body></x>"), std::optional<std::string>("A "));
}

TEST(UploadReplyStatus, BodyIsReadInItsDeclaredEncodingElseUtf8ElseLatin1) {
    const std::string uUmlaut = "\xC3\xBC";  // ü in UTF-8
    // Declared 8-bit code pages.
    EXPECT_EQ(UploadReplyStatus("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><html><body>Zertifikat \xFC"
                                "bernommen</body></html>"),
              "Zertifikat " + uUmlaut + "bernommen");
    EXPECT_EQ(UploadReplyStatus("<?xml version='1.0' encoding = 'windows-1252' ?><body>\x80 5</body>"),
              "\xE2\x82\xAC 5");  // the euro sign
    // UTF-8, declared or not, stays as it is.
    EXPECT_EQ(UploadReplyStatus("<?xml version=\"1.0\" encoding=\"UTF-8\"?><body>gr" + uUmlaut + "n</body>"),
              "gr" + uUmlaut + "n");
    EXPECT_EQ(UploadReplyStatus("<body>gr" + uUmlaut + "n</body>"), "gr" + uUmlaut + "n");
    // Undeclared and not UTF-8, or declared wrongly or unknown: Latin-1.
    EXPECT_EQ(UploadReplyStatus("<body>gr\xFCn</body>"), "gr" + uUmlaut + "n");
    EXPECT_EQ(UploadReplyStatus("<?xml version=\"1.0\" encoding=\"UTF-8\"?><body>gr\xFCn</body>"),
              "gr" + uUmlaut + "n");
    EXPECT_EQ(UploadReplyStatus("<?xml version=\"1.0\" encoding=\"x-no-such-set\"?><body>gr\xFCn</body>"),
              "gr" + uUmlaut + "n");
}

TEST(UploadReplyStatus, DeclaredEncodingIsTakenOnlyFromADeclarationAtTheStart) {
    EXPECT_EQ(DeclaredEncoding("<?xml version=\"1.0\" encoding=\"ISO-8859-15\"?><a/>"), "ISO-8859-15");
    EXPECT_EQ(DeclaredEncoding("\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8'?>"), "utf-8");
    EXPECT_EQ(DeclaredEncoding("<?xml version=\"1.0\"?><body>encoding=\"latin1\"</body>"), "");
    EXPECT_EQ(DeclaredEncoding(" <?xml version=\"1.0\" encoding=\"latin1\"?>"), "");
    EXPECT_EQ(DeclaredEncoding("<?xml version=\"1.0\" encoding=\"../../x;rm\"?>"), "");  // not an encoding name
    EXPECT_EQ(DeclaredEncoding("<?xml version=\"1.0\" encoding=\"latin1"), "");     // unterminated
    EXPECT_EQ(DecodeReplyText("", "ISO-8859-1"), "");
}

TEST_F(CertUpload, ACancelEndsTheTransferAtOnce) {
    SilentListener silent;
    UploadOptions o;
    o.baseUrl = "http://127.0.0.1:" + std::to_string(silent.port());
    o.totalTimeoutMs = 30000;
    o.cancel = std::make_shared<std::atomic<bool>>(false);
    std::thread canceller([flag = o.cancel] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        flag->store(true);
    });
    const auto start = std::chrono::steady_clock::now();
    UploadResult r = UploadCertificate(camera_, paths_, status_, response_, o);
    canceller.join();
    EXPECT_FALSE(r.transferred);
    // Far below the 30 s limit: the cancel ended it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}
