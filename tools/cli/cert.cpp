// teliox-cli cert: the client certificate, the camera's certificate and the
// upload, on the same actions as the window program.
//   cert generate [--yes]
//   cert fetch CAMERA [--host-name NAME] [--port N]
//   cert upload CAMERA [--port N]
//   cert folder
// CAMERA is the camera's IPv4 address.
#include "commands.h"

#include "app/actions/camera_cert.h"
#include "app/actions/cert_store.h"
#include "app/actions/generate_action.h"
#include "app/actions/upload.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

// A text that may come from the network, fit for a terminal: control
// characters (C0, DEL and C1, which could steer the terminal) become '?'.
std::string TerminalText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            out += '?';
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            out += '?';
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Prints every status text as it happens; asks on the terminal.
class TerminalStatus : public IActionStatus {
public:
    explicit TerminalStatus(bool yes) : yes_(yes) {}
    void SetStatusText(const std::string& text) override { Print(text); }
    void ShowStatus(const std::string& text) override { Print(text); }
    bool AskYesNo(const std::string&) override {  // the question is already shown
        if (yes_) return true;
        if (!isatty(STDIN_FILENO)) {
            refusedQuietly_ = true;
            return false;
        }
        std::cout << "[y/N] " << std::flush;
        std::string answer;
        if (!std::getline(std::cin, answer)) return false;
        return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
    }
    bool refusedQuietly() const { return refusedQuietly_; }

private:
    void Print(const std::string& text) { std::cout << TerminalText(text) << '\n' << std::flush; }
    bool yes_;
    bool refusedQuietly_ = false;
};

void Usage(FILE* out) {
    std::fputs(
        "usage: teliox-cli cert generate [--yes]\n"
        "       teliox-cli cert fetch CAMERA [--host-name NAME] [--port N]\n"
        "       teliox-cli cert upload CAMERA [--port N]\n"
        "       teliox-cli cert folder\n"
        "  generate  create the client certificate and key (--yes: overwrite without asking)\n"
        "  fetch     store the camera's TLS certificate as NAME.pem (default NAME: CAMERA)\n"
        "  upload    send the client certificate to the camera\n"
        "  folder    print the certificate folder these commands use\n"
        "  CAMERA is the camera's IPv4 address\n"
        "\n"
        "Files: cert.pem (client certificate), key.pem (its key, mode 0600) and\n"
        "NAME.pem per camera, in one certificate folder:\n"
        "  $TELIOX_PROGRAMDATA/ZYRK/SSL (default /var/lib/ZYRK/SSL), shared by the\n"
        "    technicians, when you may write there (or create it) and may read\n"
        "    the key.pem and cert.pem it holds;\n"
        "  otherwise your own $XDG_DATA_HOME/ZYRK/SSL (default\n"
        "    ~/.local/share/ZYRK/SSL), created for you alone (mode 0700).\n"
        "NAME must be letters, digits, '-', '_' and '.', not start with a dot and\n"
        "not be \"cert\" or \"key\".\n",
        out);
}

int Fail(const std::string& message) {
    std::cerr << "teliox-cli cert: " << message << '\n';
    return 1;
}

bool ParsePort(const char* text, uint16_t& port) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < 1 || v > 65535) return false;
    port = static_cast<uint16_t>(v);
    return true;
}

int Generate(bool yes) {
    TerminalStatus status(yes);
    CGenerateCertificates action(status);
    if (!action.Prepare()) return 1;
    if (!action.WillGenerate()) {
        if (status.refusedQuietly())
            return Fail(action.Paths().clientCertPath + " exists; pass --yes to overwrite it");
        std::cout << "Client certificates kept\n";
        return 0;
    }
    switch (action.Run(nullptr)) {
    case GenerateOutcome::kClientFilesOnly:
        std::cout << "Client certificate: " << action.Paths().clientCertPath << '\n'
                  << "Client key:         " << action.Paths().clientKeyPath << '\n';
        return 0;
    case GenerateOutcome::kGenerateFailed:
        return Fail("certificate generation failed");
    case GenerateOutcome::kWriteFailed:
        return Fail("could not write the client files in " + action.Paths().folder);
    default:
        return Fail("certificate generation failed");
    }
}

int Folder() {
    CertificatePaths paths;
    std::string error;
    if (!GetCertificatePaths(paths, error)) return Fail(error);
    std::cout << paths.folder << (paths.machineWide ? " (machine-wide)" : " (per-user)") << '\n';
    return 0;
}

int Fetch(const CDevice& camera, uint16_t port) {
    TerminalStatus status(false);
    CertificatePaths paths;
    std::string error;
    if (std::string refusal = CameraFileNameRefusal(camera.hostName); !refusal.empty()) return Fail(refusal);
    if (!GetCertificatePaths(paths, error) || !CreateCertificateFolder(paths, error)) return Fail(error);
    status.ShowStatus("Get camera certificate...");
    FetchOptions options;
    options.port = port;
    if (FetchCameraCertificate(camera, options, &error) != 0) return Fail(TerminalText(error));
    std::cout << "Camera certificate: " << paths.CameraCertPath(camera.hostName) << '\n';
    return 0;
}

int Upload(const CDevice& camera, uint16_t port) {
    TerminalStatus status(false);
    CertificatePaths paths;
    std::string error;
    if (!GetCertificatePaths(paths, error)) return Fail(error);
    UploadOptions options;
    if (port != 80) options.baseUrl = "http://" + camera.ipAddress + ":" + std::to_string(port);
    std::string reply;
    UploadResult r = UploadCertificate(camera, paths, status, reply, options);
    if (!r.fileOpened)
        return Fail("no client certificate at " + paths.clientCertPath + "; run 'teliox-cli cert generate' first");
    if (!r.transferred) return Fail("upload to " + camera.ipAddress + " failed: " + TerminalText(r.error));
    if (r.httpStatus < 200 || r.httpStatus > 299)
        return Fail("the camera answered HTTP " + std::to_string(r.httpStatus));
    return 0;
}

}  // namespace

int CmdCert(int argc, char** argv) {
    if (argc < 2) {
        Usage(stderr);
        return 2;
    }
    const std::string sub = argv[1];
    if (sub == "-h" || sub == "--help") {
        Usage(stdout);
        return 0;
    }
    bool yes = false;
    std::string cameraArg, hostName;
    uint16_t port = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--yes" && sub == "generate") {
            yes = true;
        } else if (a == "--host-name" && sub == "fetch" && i + 1 < argc) {
            hostName = argv[++i];
        } else if (a == "--port" && sub != "generate" && i + 1 < argc) {
            if (!ParsePort(argv[++i], port)) {
                std::cerr << "teliox-cli cert: bad port '" << argv[i] << "'\n";
                return 2;
            }
        } else if (a.rfind("--", 0) != 0 && cameraArg.empty() && sub != "generate" && sub != "folder") {
            cameraArg = a;
        } else {
            std::cerr << "teliox-cli cert: unexpected argument '" << a << "'\n";
            Usage(stderr);
            return 2;
        }
    }

    if (sub == "generate") return Generate(yes);
    if (sub == "folder") {
        if (argc > 2) {
            std::cerr << "teliox-cli cert: folder takes no arguments\n";
            return 2;
        }
        return Folder();
    }
    if (sub != "fetch" && sub != "upload") {
        std::cerr << "teliox-cli cert: unknown sub-command '" << sub << "'\n";
        Usage(stderr);
        return 2;
    }
    in_addr probe{};
    if (cameraArg.empty() || inet_pton(AF_INET, cameraArg.c_str(), &probe) != 1) {
        std::cerr << "teliox-cli cert: " << sub << " needs the camera's IPv4 address"
                  << (cameraArg.empty() ? std::string() : ", not '" + cameraArg + "'") << '\n';
        return 2;
    }
    CDevice camera;
    camera.ipAddress = cameraArg;
    camera.hostName = hostName.empty() ? cameraArg : hostName;
    if (sub == "fetch") return Fetch(camera, port ? port : kCameraTlsPort);
    return Upload(camera, port ? port : 80);
}
