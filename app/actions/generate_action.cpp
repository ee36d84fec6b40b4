#include "app/actions/generate_action.h"

#include <sys/stat.h>

CGenerateCertificates::CGenerateCertificates(IActionStatus& status, GenerateOptions options)
    : status_(status), options_(std::move(options)) {
    if (options_.cancel) {
        options_.certificate.cancel = options_.cancel;
        options_.fetch.cancel = options_.cancel;
    }
}

bool CGenerateCertificates::Prepare() {
    prepared_ = false;
    generate_ = false;
    std::string error;
    if (!GetCertificatePaths(paths_, error) || !CreateCertificateFolder(paths_, error)) {
        status_.ShowStatus(error);
        return false;
    }
    prepared_ = true;
    generate_ = true;
    struct stat st{};
    if (stat(paths_.clientCertPath.c_str(), &st) == 0) {
        const std::string question = "Client certificates already exists. Overwrite?";
        status_.ShowStatus(question);
        generate_ = status_.AskYesNo(question);
    }
    return true;
}

GenerateOutcome CGenerateCertificates::Run(const CDevice* camera) {
    fetchError_.clear();
    if (!prepared_) return GenerateOutcome::kFolderFailed;

    if (generate_) {
        status_.ShowStatus("Create client certificates...");
        bool ok;
        {
            // The working objects live for this block only.
            ClientCertificate cc;
            const bool made = GenerateClientCertificate(cc, status_, options_.certificate);
            if (IsCancelled(options_.cancel)) return GenerateOutcome::kCancelled;
            if (!made) return GenerateOutcome::kGenerateFailed;
            ok = WriteClientCertificate(cc, paths_, status_);
        }
        if (!ok) return GenerateOutcome::kWriteFailed;
    }

    if (!camera) return generate_ ? GenerateOutcome::kClientFilesOnly : GenerateOutcome::kKept;
    if (std::string refusal = CameraFileNameRefusal(camera->hostName); !refusal.empty()) {
        fetchError_ = refusal;
        status_.ShowStatus(refusal);
        return GenerateOutcome::kNameRefused;
    }
    status_.ShowStatus("Get camera certificate...");
    if (FetchCameraCertificate(*camera, options_.fetch, &fetchError_) != 0)
        return IsCancelled(options_.cancel) ? GenerateOutcome::kCancelled : GenerateOutcome::kFetchFailed;
    status_.ShowStatus("Certificates updated");
    return GenerateOutcome::kUpdated;
}

GenerateOutcome GenerateCertificates(const CDevice* camera, IActionStatus& status,
                                     const GenerateOptions& options) {
    CGenerateCertificates action(status, options);
    if (!action.Prepare()) return GenerateOutcome::kFolderFailed;
    return action.Run(camera);
}
