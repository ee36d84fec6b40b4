#include "halvex/server/mount_policy_internal.h"
#include "halvex/server/request_internal.h"

#include <halvex/platform/errcodes.h>
#include <halvex/resource/client_resource.h>
#include <halvex/text/text.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <new>

namespace ZYRK {
namespace Mount {

namespace {

std::atomic<uint32_t> gExchangeMs{EXCHANGE_TIMEOUT_DEFAULT_MS};

bool EndsWithFail(const char* name)
{
    const std::string text = name ? name : "";
    return text.size() >= 4 && text.compare(text.size() - 4, 4, "Fail") == 0;
}

}  // namespace

bool MayMount(CResource* node, const USER_IDENT_T& id, bool authenticated)
{
    return node && (Server::IsLocal(id.ipAddr) || authenticated) && node->IsAddChildAllowed(&id);
}

bool MayRecordFailure(CResource* node, const std::string& failName, const USER_IDENT_T& id)
{
    uint32_t count = 0;
    CResource* child = nullptr;
    unsigned long r = node->OpenChild(CHILD_INDEX_FIRST, &child, &id);
    while (r == ERR_OK && child) {
        CResourcePath name;
        child->GetName(name);
        if (failName == name.AsChar()) {
            child->Close();
            return true;
        }
        if (EndsWithFail(name.AsChar()))
            ++count;
        CResource* next = nullptr;
        r = child->Iterate(&next, &id);
        child->Close();
        child = next;
    }
    return count < FAIL_NODES_MAX;
}

unsigned long ConnectClientTree(const char* address, uint16_t port, const char* name, CResourceTree** out)
{
    // The request names the address as dotted text: host names are not
    // looked up.
    in_addr a{};
    if (!address || inet_pton(AF_INET, address, &a) != 1) {
        return ERR_BAD_PARAMETER;
    }
    auto* client = new (std::nothrow) CClientResourceTree;
    if (!client) {
        return ERR_NO_MEMORY;
    }
    client->SetTimeout(gExchangeMs.load());
    unsigned long r = client->Init(address, port, true);
    if (r != ERR_OK) {
        delete client;
        return r;
    }
    client->SetName(CText(name));
    *out = client;
    return ERR_OK;
}

void SetExchangeTimeout(uint32_t milliseconds) { gExchangeMs.store(milliseconds ? milliseconds : 1); }

uint32_t ExchangeTimeout() { return gExchangeMs.load(); }

}  // namespace Mount
}  // namespace ZYRK
