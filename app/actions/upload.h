// Upload of the client certificate to a camera: an HTTP/1.0 PUT of "cert.pem"
// to "http://<ipAddress>/m2m/uploadcert". The camera answers with an XML
// document whose "body" element says what it did; that text (cut before
// "Subject:") becomes the status.
#pragma once

#include "app/actions/action_status.h"
#include "app/actions/cert_store.h"
#include "discovery/device.h"

#include <tinyxml2.h>

#include <optional>
#include <string>
#include <string_view>

inline constexpr long kUploadConnectTimeoutMs = 10000;
inline constexpr long kUploadTotalTimeoutMs = 30000;
// A camera's reply is a short XML page; more than this is not read.
inline constexpr size_t kUploadReplyLimit = 1u << 20;

struct UploadOptions {
    // Scheme, host and port in front of "/m2m/uploadcert"; empty means
    // "http://" + ipAddress, which is what the product always uses.
    std::string baseUrl;
    long connectTimeoutMs = kUploadConnectTimeoutMs;
    long totalTimeoutMs = kUploadTotalTimeoutMs;
    CancelFlag cancel;  // set: the transfer is given up at once
};

struct UploadResult {
    bool fileOpened = false;   // "cert.pem" could be read
    bool transferred = false;  // the HTTP exchange completed
    long httpStatus = 0;       // the camera's status code, 0 without a reply
    bool bodyFound = false;    // the reply held a "body" element
    std::string error;         // libcurl's text when the transfer failed
};

// The whole upload command, in order: "Upload certificate to <address>", the
// transfer, then the reply's text. uploadResponse receives the reply body.
// Blocks until the transfer ends or its time limit passes; it touches nothing
// but its arguments, so it can run on a worker thread.
UploadResult UploadCertificate(const CDevice& record, const CertificatePaths& paths,
                               IActionStatus& status, std::string& uploadResponse,
                               const UploadOptions& options = {});

// Depth-first in document order: the element itself when its name is name
// (exact, case-sensitive), else the first match among its children's
// subtrees; nullptr when there is none.
const tinyxml2::XMLElement* FindElementByName(const tinyxml2::XMLElement* element, const char* name);

// The status text a reply gives: the text of its "body" element (empty when
// the body does not start with text), cut just before a "Subject:" that does
// not stand at its very start, in UTF-8 (see DecodeReplyText). nullopt when
// the reply holds no "body".
std::optional<std::string> UploadReplyStatus(std::string_view reply);

// The value of the encoding pseudo-attribute of the XML declaration that
// opens the reply (after an optional byte-order mark); empty when none.
std::string DeclaredEncoding(std::string_view reply);

// A text of the reply in UTF-8: converted from `encoding` when one is
// declared and the text is valid in it; otherwise the text as it stands when
// it is valid UTF-8; otherwise read as Latin-1.
std::string DecodeReplyText(std::string_view text, const std::string& encoding);
