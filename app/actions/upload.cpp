#include "app/actions/upload.h"

#include <curl/curl.h>

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <iconv.h>
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

// Converts `text` from the character set `from` to UTF-8 with the C
// library's iconv; false when the set is unknown or the text is not valid in it.
bool ToUtf8(std::string_view text, const char* from, std::string& out) {
    iconv_t cd = iconv_open("UTF-8", from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out.clear();
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char chunk[4096];
    bool ok = true;
    while (ok) {
        char* next = chunk;
        size_t room = sizeof chunk;
        const size_t rc = inLeft ? iconv(cd, &in, &inLeft, &next, &room) : iconv(cd, nullptr, nullptr, &next, &room);
        out.append(chunk, static_cast<size_t>(next - chunk));
        if (rc != static_cast<size_t>(-1)) {
            if (inLeft == 0 && next == chunk) break;  // input and shift state done
            continue;
        }
        ok = errno == E2BIG;  // EILSEQ, EINVAL: not valid in that set
    }
    iconv_close(cd);
    return ok;
}

// Runs the transfer through a multi handle, so a cancel ends it at once
// rather than at libcurl's next progress call.
CURLcode Perform(CURL* curl, const CancelFlag& cancel) {
    CURLM* multi = curl_multi_init();
    if (!multi) return CURLE_OUT_OF_MEMORY;
    CURLcode result = CURLE_OK;
    if (curl_multi_add_handle(multi, curl) != CURLM_OK) {
        curl_multi_cleanup(multi);
        return CURLE_FAILED_INIT;
    }
    for (int running = 1; running;) {
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        if (!running) break;
        if (IsCancelled(cancel)) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left))
        if (message->msg == CURLMSG_DONE && message->easy_handle == curl) result = message->data.result;
    curl_multi_remove_handle(multi, curl);
    curl_multi_cleanup(multi);
    return result;
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

std::string DeclaredEncoding(std::string_view reply) {
    if (reply.substr(0, 3) == "\xEF\xBB\xBF") reply.remove_prefix(3);
    if (reply.substr(0, 5) != "<?xml") return {};
    const size_t end = reply.find("?>");
    if (end == std::string_view::npos) return {};
    const std::string_view decl = reply.substr(5, end - 5);
    const size_t key = decl.find("encoding");
    if (key == std::string_view::npos) return {};
    size_t i = key + 8;
    auto skipBlanks = [&] {
        while (i < decl.size() && (decl[i] == ' ' || decl[i] == '\t' || decl[i] == '\r' || decl[i] == '\n')) ++i;
    };
    skipBlanks();
    if (i >= decl.size() || decl[i] != '=') return {};
    ++i;
    skipBlanks();
    if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) return {};
    const char quote = decl[i++];
    const size_t close = decl.find(quote, i);
    if (close == std::string_view::npos) return {};
    std::string name(decl.substr(i, close - i));
    // An encoding name is letters, digits, '.', '_' and '-' (XML's EncName).
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return {};
    return name;
}

std::string DecodeReplyText(std::string_view text, const std::string& encoding) {
    std::string out;
    if (!encoding.empty() && ToUtf8(text, encoding.c_str(), out)) return out;
    if (ToUtf8(text, "UTF-8", out)) return out;
    ToUtf8(text, "ISO-8859-1", out);  // every byte is a character there
    return out;
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
    return DecodeReplyText(text, DeclaredEncoding(reply));
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

        CURLcode rc = Perform(curl, options.cancel);
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
