#include "app/actions/upload.h"

#include <curl/curl.h>

#include <arpa/inet.h>
#include <cstdio>
#include <memory>
#include <sys/stat.h>

namespace {

struct FileCloser { void operator()(FILE* f) const { std::fclose(f); } };

size_t ReadFromFile(char* buffer, size_t size, size_t count, void* userdata) {
    FILE* f = static_cast<FILE*>(userdata);
    size_t n = std::fread(buffer, size, count, f);
    if (n < count && std::ferror(f)) return CURL_READFUNC_ABORT;
    return n * size;
}

size_t AppendToResponse(char* data, size_t size, size_t count, void* userdata) {
    auto* response = static_cast<std::string*>(userdata);
    const size_t bytes = size * count;
    if (bytes > kUploadReplyLimit - response->size()) return 0;  // ends the transfer
    response->append(data, bytes);
    return bytes;
}

// libcurl's global state is set up and torn down around each upload.
struct CurlGlobal {
    CURLcode rc = curl_global_init(CURL_GLOBAL_ALL);
    ~CurlGlobal() { if (rc == CURLE_OK) curl_global_cleanup(); }
};

}  // namespace

const tinyxml2::XMLElement* FindElementByName(const tinyxml2::XMLElement* element, const char* name) {
    if (!element || !name) return nullptr;
    if (tinyxml2::XMLUtil::StringEqual(element->Name(), name)) return element;
    for (const tinyxml2::XMLElement* child = element->FirstChildElement(); child;
         child = child->NextSiblingElement()) {
        if (const tinyxml2::XMLElement* found = FindElementByName(child, name)) return found;
    }
    return nullptr;
}

std::optional<std::string> UploadReplyStatus(std::string_view reply) {
    tinyxml2::XMLDocument doc(false, tinyxml2::PRESERVE_WHITESPACE);
    doc.Parse(reply.data(), reply.size());
    const tinyxml2::XMLElement* body = FindElementByName(doc.FirstChildElement(), "body");
    if (!body) return std::nullopt;
    std::string text;
    const tinyxml2::XMLNode* first = body->FirstChild();
    if (first && first->ToText() && first->Value()) text = first->Value();
    const size_t subject = text.find("Subject:");
    if (subject != std::string::npos && subject > 0) text.resize(subject);
    return text;
}

UploadResult UploadCertificate(const CDevice& record, const CertificatePaths& paths,
                               IActionStatus& status, std::string& uploadResponse,
                               const UploadOptions& options) {
    UploadResult result;
    status.ShowStatus("Upload certificate to " + record.ipAddress);

    uploadResponse.clear();
    // The address goes into the URL: anything but a dotted IPv4 address could
    // send the certificate elsewhere.
    in_addr probe{};
    const bool addressOk = inet_pton(AF_INET, record.ipAddress.c_str(), &probe) == 1;
    const std::string url =
        (options.baseUrl.empty() ? "http://" + record.ipAddress : options.baseUrl) + "/m2m/uploadcert";

    std::unique_ptr<FILE, FileCloser> file(std::fopen(paths.clientCertPath.c_str(), "rb"));
    struct stat st{};
    if (!file || fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
        status.ShowStatus("Failed to open client certificate");
        return result;
    }
    result.fileOpened = true;
    if (!addressOk && options.baseUrl.empty()) {
        result.error = curl_easy_strerror(CURLE_URL_MALFORMAT);
        status.ShowStatus("Failed to upload " + result.error);
        return result;
    }

    CurlGlobal global;
    CURL* curl = curl_easy_init();
    if (curl) {
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadFromFile);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &uploadResponse);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendToResponse);
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);  // an upload over HTTP is a PUT
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_READDATA, file.get());
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(st.st_size));
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
        // A camera that does not answer must not hold the caller for ever.
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, options.totalTimeoutMs);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);

        CURLcode rc = curl_easy_perform(curl);
        long code = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        result.httpStatus = code;
        if (rc != CURLE_OK) {
            result.error = curl_easy_strerror(rc);
            status.ShowStatus("Failed to upload " + result.error);
        } else {
            result.transferred = true;
        }

        if (std::optional<std::string> text = UploadReplyStatus(uploadResponse)) {
            result.bodyFound = true;
            status.ShowStatus(*text);
        }
        curl_easy_cleanup(curl);
    }
    return result;
}
