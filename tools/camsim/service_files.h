// Small pieces the simulator's TCP services share: IPv4 socket addresses from
// their text, and PEM files that are written beside the old file and renamed
// over it, so that readers only ever see a complete file.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

#include <openssl/types.h>

namespace camsim {

// address:port as a socket address; false with "'<address>' is not an IPv4
// address" otherwise.
bool ParseSocketAddress(const std::string& address, uint16_t port, sockaddr_in& out, std::string& error);

// Creates `temp` with `mode`, lets write() fill it through a BIO, and renames
// it over `path`. On failure the temporary file is gone, `path` is as it was
// and error says "cannot create <temp>..." or "cannot write <path>".
bool WriteFileAtomically(const std::string& path, const std::string& temp, mode_t mode,
                         const std::function<bool(BIO*)>& write, std::string& error);

}  // namespace camsim
