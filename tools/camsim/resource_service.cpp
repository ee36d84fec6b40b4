#include "tools/camsim/resource_service.h"

#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource_value.h>
#include <halvex/server/resource_server.h>
#include <halvex/server/server_tree.h>
#include <halvex/supervisor/supervisor.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace camsim {

using namespace ZYRK;

namespace {

const char* const kBase = ".services.net.interface.";

// Every user may read and write: the program connects from the lab's
// addresses, which the server runs as user 2 without a grant.
SERVER_NODE_OPTIONS_T OpenRights()
{
    SERVER_NODE_OPTIONS_T o;
    o.attr = RES_ATTR_OWNER_GET | RES_ATTR_OWNER_SET | RES_ATTR_GROUP_GET | RES_ATTR_GROUP_SET |
             RES_ATTR_OTHERS_GET | RES_ATTR_OTHERS_SET | RES_ATTR_SUBSCR;
    o.caps = SRV_CAN_GET | SRV_CAN_SET;
    return o;
}

}  // namespace

class ServiceTask;

struct ResourceService::Impl {
    CServerResourceTree tree;
    ResourceServiceConfig config;
    std::string name;
    ServiceTask* listener = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    std::set<ServiceTask*> sessions;
    bool running = false;

    std::string Text(const std::string& path) const;
    bool Flag(const std::string& path) const;
    void Put(const std::string& path, const CResourceValue& v);
    InterfaceSettings Read(const std::string& iface) const;
};

// The listening and session tasks of one service; the service knows its
// sessions so that it can end them before its tree goes.
class ServiceTask : public CResourceTCPServerTask {
public:
    explicit ServiceTask(ResourceService::Impl* owner) : m_owner(owner) {}
    ~ServiceTask() override
    {
        std::lock_guard<std::mutex> g(m_owner->lock);
        m_owner->sessions.erase(this);
        m_owner->changed.notify_all();
    }

protected:
    CResourceTCPServerTask* NewSessionTask() override
    {
        auto* t = new (std::nothrow) ServiceTask(m_owner);
        if (t) {
            std::lock_guard<std::mutex> g(m_owner->lock);
            m_owner->sessions.insert(t);
        }
        return t;
    }

private:
    ResourceService::Impl* m_owner;
};

std::string ResourceService::Impl::Text(const std::string& path) const
{
    CResource* r = nullptr;
    auto& t = const_cast<CServerResourceTree&>(tree);
    if (t.OpenResource(CResourcePath(path.c_str()), &r, nullptr) != ERR_OK) {
        return {};
    }
    CResourceValue v(VALUE_TYPE_ASCII);
    USER_IDENT_T root{0, htonl(0x7F000001)};
    r->Get(v, &root);
    r->Close();
    return v.GetAscii() ? v.GetAscii() : "";
}

bool ResourceService::Impl::Flag(const std::string& path) const
{
    CResource* r = nullptr;
    auto& t = const_cast<CServerResourceTree&>(tree);
    if (t.OpenResource(CResourcePath(path.c_str()), &r, nullptr) != ERR_OK) {
        return false;
    }
    CResourceValue v(VALUE_TYPE_BOOL);
    USER_IDENT_T root{0, htonl(0x7F000001)};
    r->Get(v, &root);
    r->Close();
    return v.GetBool();
}

void ResourceService::Impl::Put(const std::string& path, const CResourceValue& v)
{
    CResource* r = nullptr;
    if (tree.OpenResource(CResourcePath(path.c_str()), &r, nullptr) != ERR_OK) {
        return;
    }
    USER_IDENT_T root{0, htonl(0x7F000001)};
    r->Set(v, RES_NOWAIT, 0, &root);
    r->Close();
}

InterfaceSettings ResourceService::Impl::Read(const std::string& iface) const
{
    const std::string p = kBase + iface + ".";
    InterfaceSettings s;
    s.name = iface;
    s.dhcp = Flag(p + "DHCP");
    s.address = Text(p + "address");
    s.netmask = Text(p + "netmask");
    s.gateway = Text(p + "gateway");
    return s;
}

ResourceService::ResourceService() : m_impl(new Impl) {}

ResourceService::~ResourceService() { Stop(); }

bool ResourceService::Start(const ResourceServiceConfig& config, std::string& error)
{
    Impl& m = *m_impl;
    if (m.running) {
        error = "resource service already running";
        return false;
    }
    in_addr bind{};
    if (inet_pton(AF_INET, config.bindAddress.c_str(), &bind) != 1) {
        error = "bad bind address " + config.bindAddress;
        return false;
    }
    m.config = config;
    const SERVER_NODE_OPTIONS_T rights = OpenRights();
    SERVER_NODE_OPTIONS_T node;
    node.attr = rights.attr;
    node.caps = SRV_CAN_GET;
    m.tree.AddNode(".services", RES_TYPE_STRUCT, node);
    m.tree.AddNode(".services.net", RES_TYPE_STRUCT, node);
    m.tree.AddNode(".services.net.interface", RES_TYPE_STRUCT, node);
    for (const InterfaceSettings* s : {&config.lan, &config.fec}) {
        const std::string p = kBase + s->name;
        m.tree.AddNode(p.c_str(), RES_TYPE_STRUCT, node);
        if (s == &config.lan) {
            m.tree.AddValue((p + ".method").c_str(), CResourceValue(s->dhcp ? "dhcp" : "manual"), rights);
        }
        m.tree.AddValue((p + ".DHCP").c_str(), CResourceValue(s->dhcp), rights);
        m.tree.AddValue((p + ".address").c_str(), CResourceValue(s->address.c_str()), rights);
        m.tree.AddValue((p + ".netmask").c_str(), CResourceValue(s->netmask.c_str()), rights);
        m.tree.AddValue((p + ".gateway").c_str(), CResourceValue(s->gateway.c_str()), rights);
        m.tree.AddValue((p + ".commit").c_str(), CResourceValue(false), rights);
    }
    Impl* impl = m_impl.get();
    m.tree.SetChangeHook([impl](const SERVER_TREE_EVENT_T& e) {
        if (e.kind != SERVER_TREE_EVENT_T::SET || !e.value || e.value->Type() != VALUE_TYPE_BOOL ||
            !e.value->GetBool()) {
            return;
        }
        const std::string path = e.path;
        const std::string base = kBase;
        const std::string tail = ".commit";
        if (path.size() <= base.size() + tail.size() || path.compare(0, base.size(), base) != 0 ||
            path.compare(path.size() - tail.size(), tail.size(), tail) != 0) {
            return;
        }
        const std::string iface = path.substr(base.size(), path.size() - base.size() - tail.size());
        InterfaceSettings s = impl->Read(iface);
        if (iface == impl->config.lan.name) {
            // Written from the hook: this change is not a commit, so it ends here.
            impl->Put(base + iface + ".method", CResourceValue(s.dhcp ? "dhcp" : "manual"));
        }
        if (impl->config.onCommit) {
            impl->config.onCommit(s);
        }
    });

    static std::atomic<unsigned> serial{0};
    m.name = "camsim_resource_" + config.bindAddress + "_" + std::to_string(++serial);
    auto* task = new ServiceTask(impl);
    task->SetTree(&m.tree);
    task->SetBindAddress(bind.s_addr);
    if (task->Init(m.name.c_str(), 0, 0, TASK_FLAG_NO_HANDSHAKE) != ERR_OK ||
        CSupervisor().AddTask(task, CLibContainer::INITED) != ERR_OK) {
        delete task;
        error = "resource server task could not be set up";
        return false;
    }
    const uint32_t arg[4] = {0, config.port, 0, 0};
    if (CSupervisor().Start(m.name.c_str(), arg) != ERR_OK) {
        CSupervisor().DeleteTask(task);
        error = "resource server task could not start";
        return false;
    }
    m.listener = task;
    m.running = true;
    for (int i = 0; i < 500 && task->GetPort() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (task->GetPort() == 0) {
        error = "resource server did not start listening on " + config.bindAddress;
        Stop();
        return false;
    }
    return true;
}

void ResourceService::Stop()
{
    Impl& m = *m_impl;
    if (!m.running) {
        return;
    }
    m.running = false;
    CSupervisor().Stop(m.name.c_str());
    m.listener->Shutdown();
    for (int i = 0; i < 500; ++i) {
        CTaskContainer* t = CSupervisor().GetTask(m.name.c_str());
        if (!t) {
            break;
        }
        t->Release();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m.listener = nullptr;
    std::unique_lock<std::mutex> g(m.lock);
    for (ServiceTask* s : m.sessions) {
        s->Shutdown();
    }
    // Sessions end once their sockets are shut down; none may outlive the tree.
    m.changed.wait_for(g, std::chrono::seconds(5), [&m] { return m.sessions.empty(); });
    if (!m.sessions.empty()) {
        // A session that does not end keeps the tree: leaking it beats
        // freeing it under a running task.
        m_impl.release();
        m_impl.reset(new Impl);
    }
}

uint16_t ResourceService::Port() const
{
    return m_impl->running && m_impl->listener ? m_impl->listener->GetPort() : 0;
}

InterfaceSettings ResourceService::Current(const std::string& interfaceName) const
{
    return m_impl->Read(interfaceName);
}

bool ResourceService::Update(const InterfaceSettings& s)
{
    Impl& m = *m_impl;
    if (s.name != m.config.lan.name && s.name != m.config.fec.name) {
        return false;
    }
    const std::string p = kBase + s.name + ".";
    m.Put(p + "DHCP", CResourceValue(s.dhcp));
    m.Put(p + "address", CResourceValue(s.address.c_str()));
    m.Put(p + "netmask", CResourceValue(s.netmask.c_str()));
    m.Put(p + "gateway", CResourceValue(s.gateway.c_str()));
    if (s.name == m.config.lan.name) {
        m.Put(p + "method", CResourceValue(s.dhcp ? "dhcp" : "manual"));
    }
    return true;
}

std::unique_ptr<ResourceService> StartResourceService(const std::string& address,
                                                      std::function<void(const InterfaceSettings&)> onCommit,
                                                      std::string& error)
{
    auto service = std::make_unique<ResourceService>();
    ResourceServiceConfig config;
    config.bindAddress = address;
    config.port = 22136;
    config.onCommit = std::move(onCommit);
    if (!service->Start(config, error)) {
        return nullptr;
    }
    return service;
}

}  // namespace camsim
