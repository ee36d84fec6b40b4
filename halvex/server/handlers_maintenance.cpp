// The maintenance requests of the resource server: dumping a subtree or a set
// of resources to a file, reloading a subtree from one, the protocol version
// and the debug commands.
#include <halvex/server/resource_server.h>

#include <halvex/client/res_protocol.h>
#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource_set.h>
#include <halvex/resource/value_codec.h>

#include "halvex/server/request_internal.h"

#include <cstring>
#include <string>
#include <vector>

namespace ZYRK {

using namespace Server;

// --- Persistence ------------------------------------------------------------

uint32_t CResourceServerTask::DumpResource(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path, file, hash = "CRC32", info;
    uint32_t next = 0;
    if (!LStr(p, n, 1, path, &next) || !CStr(p, n, next, file, &next)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    bool hasInfo = false;
    uint32_t pathType = 0, persistence = 0, defaults = 1, filter = 0, option = 0;
    if (next < n) {
        if (!CStr(p, n, next, hash, &next) || !CStr(p, n, next, info, &next)) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
        hasInfo = !info.empty();
        if (next + 3 <= n) {
            pathType = p[next];
            persistence = p[next + 1];
            defaults = p[next + 2];
        }
        if (next + 9 <= n) {
            filter = p[next + 3];
            std::memcpy(&option, p + next + 4, 4);
        }
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, true)) {
        return e;
    }
    unsigned long r = m_tree->Dump(res.r, file.c_str(), nullptr, static_cast<PATH_TYPE_T>(pathType), hash.c_str(),
                                   hasInfo ? info.c_str() : nullptr, static_cast<PERSISTENCE_T>(persistence),
                                   static_cast<DEFAULT_T>(defaults), &id, static_cast<GID_FILTER_T>(filter),
                                   option);
    if (r != ERR_OK) {
        return ErrorResponse(RES_SERR_FAILED);
    }
    return ShortReply(0x62);
}

uint32_t CResourceServerTask::DumpSet(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    if (n < 10) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint32_t oPath = be_get16(p + 2), oFile = be_get16(p + 4), oHash = be_get16(p + 6),
                   oMembers = be_get16(p + 8);
    std::string path, file, hash, info;
    uint32_t next = 0;
    if (oPath >= n || oFile >= n || oHash >= n || oMembers > n || !CStr(p, n, oPath, path, nullptr) ||
        !CStr(p, n, oFile, file, nullptr) || !CStr(p, n, oHash, hash, &next) || !CStr(p, n, next, info, &next) ||
        next + 8 > n) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    const uint8_t* types = p + next;
    std::vector<CResource*> members;
    CResourceSet set;
    for (uint32_t m = oMembers; m < n;) {
        std::string member;
        if (!CStr(p, n, m, member, &m)) {
            break;
        }
        CResource* r = nullptr;
        if (m_tree->OpenResource(CResourcePath(member.c_str()), &r, &id) == ERR_OK && r) {
            members.push_back(r);
            set.Add(r);
        }
    }
    Opened res;
    uint32_t e = OpenPath(path.c_str(), &res.r, &id, false);
    if (e == 0) {
        m_tree->Dump(res.r, file.c_str(), &set, static_cast<PATH_TYPE_T>(types[0]), hash.c_str(),
                     info.empty() ? nullptr : info.c_str(), static_cast<PERSISTENCE_T>(types[1]),
                     static_cast<DEFAULT_T>(types[2]), &id, GID_FILTER_NONE, 0);
    }
    set.RemoveAll();
    for (CResource* r : members) {
        r->Close();
    }
    if (e) {
        return e;
    }
    return ShortReply(0x64);
}

uint32_t CResourceServerTask::ReloadResource(const uint8_t* p, uint32_t n, const USER_IDENT_T& id)
{
    std::string path, file, info;
    uint32_t next = 0;
    if (!LStr(p, n, 1, path, &next) || !CStr(p, n, next, file, &next)) {
        return ErrorResponse(RES_SERR_INDATA_SIZE);
    }
    uint32_t hashType = 1, infoType = 0;
    bool hasInfo = false;
    if (next + 2 <= n) {
        hashType = p[next];
        infoType = p[next + 1];
        if (CStr(p, n, next + 2, info, nullptr)) {
            hasInfo = !info.empty();
        }
    }
    Opened res;
    if (uint32_t e = OpenPath(path.c_str(), &res.r, &id, true)) {
        return e;
    }
    if (m_tree->Reload(res.r, file.c_str(), static_cast<HASH_TYPE_T>(hashType), hasInfo ? info.c_str() : nullptr,
                       static_cast<INFO_TYPE_T>(infoType), &id) != ERR_OK) {
        return ErrorResponse(RES_SERR_FAILED);
    }
    return ShortReply(0x72);
}

// --- Maintenance ------------------------------------------------------------

uint32_t CResourceServerTask::ProtocolVersion(const uint8_t*, uint32_t, const USER_IDENT_T&)
{
    uint8_t* q = m_reply.AllocSpace(2);
    if (!q) {
        return ERR_NO_MEMORY;
    }
    q[0] = 0xF1;
    q[1] = RES_SERVER_PROTOCOL_VERSION;
    return 2;
}

uint32_t CResourceServerTask::DebugCommand(const uint8_t* p, uint32_t n, const USER_IDENT_T&)
{
    const uint8_t command = n > 1 ? p[1] : 0;
    if (command == 16) {
        std::string path;
        if (!CStr(p, n, 2, path, nullptr)) {
            return ErrorResponse(RES_SERR_INDATA_SIZE);
        }
        Opened res;
        if (uint32_t e = OpenPath(path.c_str(), &res.r, nullptr, false)) {
            return e;
        }
        res->DumpSubscr();
    } else if (command == 17) {
        m_tree->DumpAggregates();
    }
    uint8_t* q = m_reply.AllocSpace(1);
    if (!q) {
        return ERR_NO_MEMORY;
    }
    q[0] = 0xFB;
    return 1;
}

}  // namespace ZYRK
