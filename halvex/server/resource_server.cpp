// The core of the resource server's request handling: the task that takes
// the local tree, the small replies every handler uses, the opening of a
// request's path, and the dispatch of one request payload to its handler by
// the operation code. The handlers live in handlers_*.cpp, the blocks they
// append in reply_blocks.cpp. Every field of a request is checked against the
// request's length before it is read.
#include <halvex/server/resource_server.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/supervisor/supervisor.h>

#include "halvex/server/request_internal.h"

#include <cstring>
#include <string>

namespace ZYRK {

namespace Server {

bool CStr(const uint8_t* p, uint32_t n, uint32_t off, std::string& out, uint32_t* next)
{
    if (off >= n) {
        return false;
    }
    const void* z = std::memchr(p + off, 0, n - off);
    if (!z) {
        return false;
    }
    uint32_t end = static_cast<uint32_t>(static_cast<const uint8_t*>(z) - p);
    out.assign(reinterpret_cast<const char*>(p + off), end - off);
    if (next) {
        *next = end + 1;
    }
    return true;
}

bool LStr(const uint8_t* p, uint32_t n, uint32_t off, std::string& out, uint32_t* next)
{
    if (off >= n || p[off] > n - off - 1) {
        return false;
    }
    uint32_t len = p[off];
    out.assign(reinterpret_cast<const char*>(p + off + 1), len);
    // A text never reaches past its own 0 byte.
    size_t z = out.find('\0');
    if (z != std::string::npos) {
        out.resize(z);
    }
    if (next) {
        *next = off + 1 + len;
    }
    return true;
}

}  // namespace Server

CResourceServerTask::CResourceServerTask() = default;

CResourceServerTask::~CResourceServerTask() = default;

RESULT_T CResourceServerTask::Init(const char* name, uint32_t priority, uint32_t stackSize, uint32_t flags)
{
    RESULT_T r = CTaskContainer::Init(name, priority, stackSize, flags);
    if (r != ERR_OK) {
        return r;
    }
    if (!m_tree) {
        m_tree = CSupervisor().GetLocalResourceTree();
    }
    return m_tree ? ERR_OK : ERR_TASK_INIT;
}

RESULT_T CResourceServerTask::Unload()
{
    m_reply.Flush();
    return ERR_OK;
}

uint32_t CResourceServerTask::ShortReply(uint8_t code, uint8_t second)
{
    uint8_t* p = m_reply.AllocSpace(2);
    if (!p) {
        return ERR_NO_MEMORY;
    }
    p[0] = code;
    p[1] = second;
    return 2;
}

uint32_t CResourceServerTask::ErrorResponse(uint8_t error)
{
    return ShortReply(RES_ERROR_REPLY, error);
}

uint8_t CResourceServerTask::FlattenType(CResource* resource)
{
    RES_TYPE_T t = resource->Type();
    return static_cast<uint8_t>(t != RES_TYPE_VALUE ? static_cast<uint32_t>(t)
                                                   : static_cast<uint32_t>(resource->ValueType()));
}

uint32_t CResourceServerTask::OpenPath(const char* path, CResource** out, const USER_IDENT_T* id, bool noMem174)
{
    *out = nullptr;
    unsigned long r = m_tree->OpenResource(CResourcePath(path), out, id);
    if (r == ERR_OK && *out) {
        return 0;
    }
    *out = nullptr;
    uint8_t e = r == ERR_PERMISSION_DENIED ? 170 : (noMem174 && r == ERR_NO_MEMORY ? 174 : 160);
    return ErrorResponse(e);
}

uint32_t CResourceServerTask::OpenRequestPath(const uint8_t* p, uint32_t n, bool lengthPrefixed, const USER_IDENT_T* id,
                                             bool noMem174, CResource** out, uint32_t* next)
{
    *out = nullptr;
    std::string path;
    if (!(lengthPrefixed ? Server::LStr(p, n, 1, path, next) : Server::CStr(p, n, 1, path, next))) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    return OpenPath(path.c_str(), out, id, noMem174);
}

uint32_t CResourceServerTask::ErrorResponseWithResult(uint8_t error, unsigned long result)
{
    uint8_t* q = m_reply.AllocSpace(6);
    if (!q) {
        return ErrorResponse(RES_SERR_NO_MEMORY);
    }
    q[0] = RES_ERROR_REPLY;
    q[1] = error;
    be_put32(q + 2, static_cast<uint32_t>(result));
    return 6;
}

void CResourceServerTask::CheckPrefixMountPath(const char* requestPath, CResourcePath& resultPath)
{
    std::string req = requestPath ? requestPath : "";
    if (req.empty() || req[0] != '.') {
        req.insert(req.begin(), '.');
    }
    size_t dot = req.find('.', 1);
    std::string first = req.substr(0, dot);  // ".name"
    if (first.size() <= 1) {
        return;
    }
    std::string res = resultPath.AsChar() ? resultPath.AsChar() : "";
    if (res.compare(0, first.size(), first) == 0 && (res.size() == first.size() || res[first.size()] == '.')) {
        return;
    }
    if (res == ".") {
        res.clear();
    } else if (!res.empty() && res[0] != '.') {
        res.insert(res.begin(), '.');
    }
    resultPath = CResourcePath((first + res).c_str());
}

uint32_t CResourceServerTask::ProcessData(const uint8_t* data, uint32_t length, const USER_IDENT_T& ident)
{
    if (!data || length == 0) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    switch (data[0]) {
    case 0x01: return ReadData(data, length, ident);
    case 0x0A:
    case 0x0C: return ReadAttrDataLimits(data, length, ident);
    case 0x11:
    case 0x13: return WriteData(data, length, ident);
    case 0x14: return WriteDataEx(data, length, ident);
    case 0x15: return WriteDataMulti(data, length, ident);
    case 0x21:
    case 0x23:
    case 0x24:
    case 0x25: return CreateInstance(data, length, ident);
    case 0x31:
    case 0x33: return DeleteInstance(data, length, ident);
    case 0x41: return ReadAttributes(data, length, ident);
    case 0x43: return SetAttributes(data, length, ident);
    case 0x45: return ReadLimits(data, length, ident);
    case 0x47: return VerifyResource(data, length, ident);
    case 0x53: return IterateChild(data, length, ident);
    case 0x61: return DumpResource(data, length, ident);
    case 0x63: return DumpSet(data, length, ident);
    case 0x71: return ReloadResource(data, length, ident);
    case 0x91:
    case 0x93: return RenameResource(data, length, ident);
    case 0xA0: return AddSubscr(data, length, ident);
    case 0xA2: return RemoveSubscr(data, length, ident);
    case 0xA4: return AddTreeSubscr(data, length, ident);
    case 0xA6: return RemoveTreeSubscr(data, length, ident);
    case 0xE0: return MountSubtree(data, length, ident);
    case 0xE2: return UnmountSubtree(data, length, ident);
    case 0xF0: return ProtocolVersion(data, length, ident);
    case 0xFA: return DebugCommand(data, length, ident);
    default: return ErrorResponse(RES_SERR_OPCODE);
    }
}

}  // namespace ZYRK
