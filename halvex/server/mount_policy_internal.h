// Who may mount a remote tree into the server's tree and how the server
// connects to it, internal to halvex. A mount makes the server connect to an
// address and port that the request names, so it is refused to callers that
// are neither local nor authenticated or that may not change the node, the
// connection has connect and exchange deadlines, and the failure nodes it
// leaves behind are bounded in number.
#pragma once

#include <halvex/resource/resource.h>

#include <cstdint>
#include <string>

namespace ZYRK {
namespace Mount {

// The most "<name>Fail" nodes that mount failures leave below one node; a
// further failure is answered as before but leaves no node.
constexpr uint32_t FAIL_NODES_MAX = 16;

// Deadline of each exchange with the mounted server (opening the session,
// the version, every later request through the mount). The connect itself
// waits at most the client transport's connect time (5 s).
constexpr uint32_t EXCHANGE_TIMEOUT_DEFAULT_MS = 3000;

// Local (127.0.0.1) or authenticated callers that may add children to node.
bool MayMount(CResource* node, const USER_IDENT_T& id, bool authenticated);

// Whether a failure may be recorded as failName below node: always when that
// node exists already, else while fewer than FAIL_NODES_MAX exist there.
bool MayRecordFailure(CResource* node, const std::string& failName, const USER_IDENT_T& id);

// The default connector of a server tree: a client tree in session mode to
// address (dotted text, never a host name) and port, with the deadlines above.
unsigned long ConnectClientTree(const char* address, uint16_t port, const char* name, CResourceTree** out);

// The exchange deadline of trees connected from now on (tests use short ones).
void SetExchangeTimeout(uint32_t milliseconds);
uint32_t ExchangeTimeout();

}  // namespace Mount
}  // namespace ZYRK
