// The camera's reply to the certificate upload: the XML declaration's
// encoding, the "body" text and its conversion to UTF-8, and a camera's host
// name as a file name. All of it comes from the network.
#include "app/actions/cert_store.h"
#include "app/actions/upload.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    if (const auto text = UploadReplyStatus(reply)) {
        // Whatever the reply, the status text is UTF-8 that converts again unchanged.
        if (DecodeReplyText(*text, "UTF-8") != *text) __builtin_trap();
    }
    const std::string name(reply.substr(0, 300));
    CertificatePaths paths;
    paths.folder = "/ssl";
    const std::string path = paths.CameraCertPath(name);
    if (!path.empty() && (path == "/ssl/cert.pem" || path == "/ssl/key.pem" || path.find("/..") != std::string::npos))
        __builtin_trap();
    for (unsigned char c : CameraFileNameRefusal(name))
        if (c < 0x20 || c >= 0x7F) __builtin_trap();
    return 0;
}
