// The camera's own TLS certificate, fetched from its TLS service on port 9100
// and kept as "<hostName>.pem" in the certificate folder, where later TLS
// connections to that camera use it as the one trusted certificate.
#pragma once

#include "app/actions/action_status.h"
#include "discovery/device.h"

#include <cstdint>
#include <string>

inline constexpr uint16_t kCameraTlsPort = 9100;
inline constexpr int kFetchTimeoutMs = 10000;

struct FetchOptions {
    uint16_t port = kCameraTlsPort;
    int timeoutMs = kFetchTimeoutMs;  // connect and handshake together
    CancelFlag cancel;                // set: the exchange gives up at once
};

// Connects to record.ipAddress, runs a TLS handshake without verifying
// anything (trust on first use) and writes the certificate the camera
// presented: first its text dump, then its PEM block. The handshake's own
// result does not matter; only the certificate does (a camera that then
// refuses us for lack of a client certificate still has shown its own).
// Returns 0 when the file was written, else 1; error (optional) then says why.
// A host name that cannot name the file (CameraFileNameProblem) is refused
// before anything is sent, with CameraFileNameRefusal as the error. The
// previous file of that camera stays untouched until the new one is complete.
int FetchCameraCertificate(const CDevice& record, const FetchOptions& options = {},
                           std::string* error = nullptr);
