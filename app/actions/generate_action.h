// The "Generate certificates" command without its window: the folder, the
// overwrite question, the client certificate and key, and the camera's
// certificate, with the status texts in their order.
//
// Use from a window: construct, call Prepare() on the user-interface thread
// (it may ask the overwrite question), then Run() on a worker thread so the
// window stays responsive during key generation; Run() calls only
// SetStatusText and ShowStatus, which the window passes on to its own thread.
#pragma once

#include "app/actions/action_status.h"
#include "app/actions/camera_cert.h"
#include "app/actions/cert_store.h"
#include "app/actions/client_cert.h"
#include "discovery/device.h"

enum class GenerateOutcome {
    kUpdated,            // "Certificates updated": client files (new or kept) and camera file
    kClientFilesOnly,    // no camera given: the client files are done
    kKept,               // the user kept the existing client files and no camera was given
    kFolderFailed,       // the certificate folder could not be made; the status says why
    kGenerateFailed,     // a generation step failed; its message is the status
    kWriteFailed,        // "Error writing cert file" / "Error writing private key file"
    kFetchFailed,        // the status stays "Get camera certificate..."
    kNameRefused,        // the camera's host name cannot name its file; the status says why
    kCancelled,          // given up on a cancel; nothing new was written
};

struct GenerateOptions {
    ClientCertificateOptions certificate;
    FetchOptions fetch;
    CancelFlag cancel;  // set: key generation and fetch give up, nothing more is written
};

class CGenerateCertificates {
public:
    explicit CGenerateCertificates(IActionStatus& status, GenerateOptions options = {});

    // Certificate folder, then the question "Client certificates already
    // exists. Overwrite?" when "cert.pem" is there. False when the folder
    // cannot be made (the status says why); Run() then does nothing.
    bool Prepare();

    // True when Prepare() decided that new client files are made.
    bool WillGenerate() const { return generate_; }

    // Generation and writing (when decided), then the camera's certificate
    // when camera is given. A camera whose host name cannot name its file
    // (CameraFileNameProblem) gets that reason as the status instead of a
    // fetch. The record is read during the call only.
    GenerateOutcome Run(const CDevice* camera);

    const CertificatePaths& Paths() const { return paths_; }
    // Details of a failed fetch, for callers that can show more than the status.
    const std::string& FetchError() const { return fetchError_; }

private:
    IActionStatus& status_;
    GenerateOptions options_;
    CertificatePaths paths_;
    bool prepared_ = false;
    bool generate_ = false;
    std::string fetchError_;
};

// Prepare() and Run() in one go, for callers without a window.
GenerateOutcome GenerateCertificates(const CDevice* camera, IActionStatus& status,
                                     const GenerateOptions& options = {});
