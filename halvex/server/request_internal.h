// Pieces that the resource server's request handlers and connection tasks
// share, internal to halvex: the local requester, the bounded readers of a
// request's text fields, the error byte of a refused call and the closing of
// the resources a handler opens.
#pragma once

#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource.h>

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace ZYRK {
namespace Server {

// 127.0.0.1 as the sockets report addresses (network order).
inline uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

// A requester on this machine: some requests (references to memory, the
// identity extensions, mounts) are only taken from one.
inline bool IsLocal(uint32_t addressNetworkOrder) { return addressNetworkOrder == LoopbackAddress(); }

// Text with its 0 byte at off of the request [p, p + n): true and the text,
// *next (when given) after the 0 byte; false when off lies outside the
// request or the text has no 0 byte inside it.
bool CStr(const uint8_t* p, uint32_t n, uint32_t off, std::string& out, uint32_t* next);

// Length byte and text at off, both inside the request; a text ends at its
// own 0 byte when it holds one.
bool LStr(const uint8_t* p, uint32_t n, uint32_t off, std::string& out, uint32_t* next);

// The error byte of a refused call: 170 for a permission failure, else other.
inline uint8_t PermissionOr(unsigned long result, uint8_t other)
{
    return result == ERR_PERMISSION_DENIED ? 170 : other;
}

// Closes a resource when the handler leaves.
struct Opened {
    CResource* r = nullptr;
    Opened() = default;
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
    ~Opened()
    {
        if (r) {
            r->Close();
        }
    }
    CResource* operator->() const { return r; }
};

}  // namespace Server
}  // namespace ZYRK
