// The resource-tree route of an address change, without any window: cameras
// that are not controlled by GigE Vision are changed through their resource
// server. The read phase connects, reads the interface's current mode and
// prepares the settings dialog; the write phase runs on a thread of its own,
// connects again and writes the interface's DHCP flag, address, netmask and
// gateway and a commit. A camera that cannot be reached by the read phase gets
// the new settings as an IP-change broadcast instead.
//
// The window program calls ReadViaResourceTree, runs its dialog and calls
// ApplyViaResourceTree. ChangeViaResourceTree runs one whole change on the
// caller's thread for callers without a dialog (teliox-cli).
//
// Every network wait is bounded: connecting gives up after at most 5 s
// (ZYRK::RES_CONNECT_WAIT_MS, for TLS the handshake included), one request
// and its reply after at most kResourceExchangeTimeoutMs, and the read phase
// and the write phase each after kResourcePhaseTimeoutMs in total, however
// slowly a camera answers; a cancel ends the waits at once. A result is "done" only when the camera answered every write
// and the commit with success.
#pragma once

#include "app/actions/cert_store.h"
#include "discovery/device_list.h"
#include "discovery/gev_modify.h"
#include "discovery/ipchange.h"

#include <halvex/platform/openssl_ptr_internal.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace ZYRK {
class CClientResourceTree;
class CResCancel;
}

inline constexpr unsigned short kResourcePlainPort = 22136;
inline constexpr unsigned short kResourceTlsPort = 9100;
// The longest one request and its reply may take.
inline constexpr unsigned long kResourceExchangeTimeoutMs = 10000;
// The longest the read phase, or the write phase, takes in total: connecting
// and one exchange. A camera that answers every request just in time cannot
// stretch a phase beyond it; its requests share what is left.
inline constexpr unsigned long kResourcePhaseTimeoutMs = 15000;

// How the route reaches the resource server. The product uses the defaults;
// tests point the ports at a server on loopback.
struct RTConnectOptions {
    unsigned short plainPort = kResourcePlainPort;
    unsigned short tlsPort = kResourceTlsPort;
    // Bound of one request and its reply in milliseconds (0: none).
    // Connecting gives up after at most 5 s, or this bound when shorter.
    unsigned long timeoutMs = kResourceExchangeTimeoutMs;
    // Bound of one whole phase in milliseconds (0: none): each request waits
    // at most what is left of it, so the phase ends within it.
    unsigned long phaseTimeoutMs = kResourcePhaseTimeoutMs;
    // When given and cancelled (from any thread), the change ends at once:
    // the running wait ends, nothing more is sent, the result is a failure.
    std::shared_ptr<ZYRK::CResCancel> cancel;
};

// The broadcast of the fallback: the arguments of SendIPChangeBroadcast and
// its report. Tests inject their own so nothing is broadcast.
using IPChangeBroadcastFn = std::function<IPChangeBroadcastReport(
    const std::string& hostName, bool dhcp, const std::string& address, const std::string& subnetMask,
    const std::string& gateway, const std::string& interfaceName)>;

// How a change ended. Done: the camera accepted every write and the commit.
// BroadcastSent: the camera could not be reached and the IP-change message
// went out on at least one adapter (no answer is expected, so the change is
// not confirmed). Failed: anything else; the status text says why.
enum class RTOutcome { Done, BroadcastSent, Failed };

// Final status texts of the route.
inline constexpr const char* kRTTextCompleted = "IP change completed";
inline constexpr const char* kRTTextBroadcasted = "IP change broadcasted";
inline constexpr const char* kRTTextFailedToConnect = "Failed to connect";
inline constexpr const char* kRTTextAbandoned = "IP change abandoned";

// A result code for people: its text and the code ("timeout (0x64080000)"),
// the system's text of a socket error, or the bare code.
std::string RTResultText(uint32_t code);

struct RTRouteOptions {
    RTConnectOptions connect;
    IPChangeBroadcastFn broadcast;  // empty: SendIPChangeBroadcast
};

// Progress texts: `showNow` set means the status line and at once the status
// pane (the caller's thread is blocked), clear the status line only.
using RTStatusCallback = GEVStatusCallback;

// The dialog's start values and the user's choice have the same form as on
// the GigE Vision route (addresses host order).
using RTDialogPreset = GEVDialogPreset;
using RTSettings = GEVSettings;

// "FEC1" for platform "W6" (any letter case), otherwise "LAN90001".
std::string InterfaceResourceName(const CDevice& record);

// ".services.net.interface.<interface>.<leaf>".
std::string InterfaceResourcePath(const std::string& interfaceName, const std::string& leaf);

// The client certificate and key a TLS connection presents, and the camera's
// certificate file it trusts. The tree uses the objects without owning them:
// keep this alive for as long as the tree that ConnectToCamera initialised.
class CCameraCredentials {
public:
    CCameraCredentials() = default;
    CCameraCredentials(const CCameraCredentials&) = delete;
    CCameraCredentials& operator=(const CCameraCredentials&) = delete;

    // Reads "cert.pem" and "key.pem" (unencrypted) of the certificate folder
    // and forms the path of the camera's "<hostName>.pem". False when a file
    // cannot be opened or parsed or the host name cannot name a file.
    bool Load(const CertificatePaths& paths, const std::string& hostName);

    X509* Certificate() const { return m_certificate.get(); }
    EVP_PKEY* Key() const { return m_key.get(); }
    const std::string& TrustFile() const { return m_trustFile; }

private:
    void Clear();

    ZYRK::X509Ptr m_certificate;
    ZYRK::EvpPkeyPtr m_key;
    std::string m_trustFile;
};

// Initialises `tree` for the camera in session mode: plain TCP on port 22136
// when the camera's plain service is on (`disabled` clear), else TLS on port
// 9100 with the client certificate and key, the camera's certificate as the
// trust file and no strict peer verification. Returns 0 on success, 1 when the
// client certificate or key cannot be read (Init is then not called), else
// the result of Init.
uint32_t ConnectToCamera(const CDevice& record, ZYRK::CClientResourceTree& tree, CCameraCredentials& credentials,
                         const RTConnectOptions& options = RTConnectOptions());

// What the read phase found.
struct RTReadResult {
    CDevice camera;              // the record the phase ran for
    bool connected = false;      // the first connection succeeded
    uint32_t connectResult = 0;  // ConnectToCamera's result
    bool dhcp = false;           // the camera's current mode
    std::string subnetMask;      // dotted texts, set for a fixed address
    std::string gateway;
    RTDialogPreset preset;       // what the settings dialog opens with
};

// The read phase, on the caller's thread: "Connecting to camera...", then
// "Connected" or "Connection failed"; the mode from
// ".services.net.interface.LAN90001.method" ("manual" exactly: fixed address)
// or, when that does not open, from the interface's "DHCP"; the record's mask
// and gateway for a fixed address; the dialog's start values. The connection
// ends before the function returns.
RTReadResult ReadViaResourceTree(const CDevice& record, const RTStatusCallback& status,
                                 const RTRouteOptions& options = RTRouteOptions());

// The values of one change. They travel with the write phase's thread, so a
// second change cannot overwrite those of a first one still running.
struct RTChange {
    CDevice camera;
    bool dhcpRequested = false;
    std::string newAddress;      // dotted texts, used for a fixed address
    std::string newSubnetMask;
    std::string newGateway;
    RTConnectOptions connect;
};

struct RTWriteResult {
    bool connected = false;
    uint32_t connectResult = 0;
    unsigned written = 0;                // writes the camera accepted, commit included
    std::vector<std::string> skipped;    // "<path>: 0x<result>" of the step that failed (at most one)
    bool committed = false;              // the commit was accepted
    RTOutcome outcome = RTOutcome::Failed;
    std::string status;                  // the final status text
    std::string failedStep;              // "DHCP", "address", "netmask", "gateway" or "commit"
    uint32_t failedResult = 0;           // its result code
};

// The write phase: its own tree and connection ("Failed to connect" when that
// fails, nothing written); DHCP true, or DHCP false then address, netmask and
// gateway; then commit true with the time argument 50; each resource opened,
// written once and closed. "IP change completed" only when every open, write
// and the commit succeeded. The first resource that does not open or whose
// write fails ends the change before the commit, so nothing half-written is
// applied: "IP change failed: <step>: <result>" ("IP change abandoned" once
// cancelled). Texts go out with `showNow` clear.
RTWriteResult IPChangeThread(RTChange change, const RTStatusCallback& status);

// Runs IPChangeThread on a new thread and returns it joinable. The change and
// the callback are moved into the thread; whatever the callback refers to
// must live until the thread ends (hold it by shared_ptr, or join). `done`,
// when given, receives the result on the worker thread before it ends.
std::thread StartIPChangeThread(RTChange change, RTStatusCallback status,
                                std::function<void(const RTWriteResult&)> done = {});

struct RTApplyResult {
    bool rowUpdated = false;     // the row still held the camera; its flag and cell were updated
    bool threadStarted = false;  // connected: the write phase runs on `thread`
    std::thread thread;          // joinable when started
    bool broadcast = false;      // not connected: the broadcast was tried instead
    int broadcastResult = 0;     // its result
    IPChangeBroadcastReport broadcastReport;
    // Of the broadcast: BroadcastSent or Failed, with the status text shown.
    RTOutcome outcome = RTOutcome::Failed;
    std::string status;
};

// "IP change broadcast failed: <reason>": the text when no adapter sent.
std::string RTBroadcastFailedText(const IPChangeBroadcastReport& report);

// After the dialog closed with OK: "Initiating IP change" and the row's
// address cell emptied; when the read phase connected, the pending mark is
// cleared and the write phase starts with the chosen values; otherwise the
// chosen values are broadcast (also the address, mask and gateway when DHCP
// was chosen): when at least one adapter sent it, the record gets the pending
// mark and "IP change broadcasted" is shown, else "IP change broadcast
// failed: <reason>". The change always goes to the camera of the read phase:
// the row is only touched while it still holds that camera.
RTApplyResult ApplyViaResourceTree(CDeviceList& list, int row, const RTReadResult& read,
                                   const RTSettings& chosen, RTStatusCallback status,
                                   const RTRouteOptions& options = RTRouteOptions(),
                                   std::function<void(const RTWriteResult&)> done = {});

// One whole change of one camera on the caller's thread, without dialog and
// list: the read phase; then, when the camera answered, the write phase on
// this thread, else the broadcast (for DHCP with the address, mask and gateway
// the dialog would have offered). The status texts are those of the window
// ("Initiating IP change" included); `afterRead`, when given, sees what the
// read phase found before anything is written. Cancel through
// options.connect.cancel.
struct RTChangeResult {
    RTOutcome outcome = RTOutcome::Failed;
    std::string status;                 // the final status text
    RTReadResult read;
    RTWriteResult written;              // when the camera answered
    IPChangeBroadcastReport broadcast;  // when it did not
};
RTChangeResult ChangeViaResourceTree(const CDevice& camera, RTSettings chosen, const RTStatusCallback& status,
                                     const RTRouteOptions& options = RTRouteOptions(),
                                     const std::function<void(const RTReadResult&)>& afterRead = {});
