// Whole request frames (header, extensions, payload) through the TCP
// connection task's request handling, against a fresh in-memory tree per
// input. The frames arrive on one end of a local socket pair; replies are
// drained from the other end. Notifications, mounts and sessions are
// switched off, so nothing leaves the process.
#include <halvex/platform/users.h>
#include <halvex/server/resource_server.h>
#include <halvex/server/server_tree.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

using namespace ZYRK;

namespace {

class FuzzTask : public CResourceTCPServerTask {
protected:
    CResourceTCPServerTask* NewSessionTask() override { return nullptr; }
};

void Build(CServerResourceTree& t)
{
    t.AddNode(".net", RES_TYPE_STRUCT);
    t.AddNode(".net.LAN", RES_TYPE_STRUCT);
    t.AddValue(".net.LAN.address", CResourceValue("192.168.0.2"));
    t.AddValue(".net.LAN.mtu", CResourceValue(1500, 100, 9000));
    t.AddValue(".net.LAN.dhcp", CResourceValue(false));
    t.AddValue(".net.LAN.name", CResourceValue(L"LAN"));
    t.AddValue(".net.LAN.gain", CResourceValue(1.5, 0.0, 10.0));
    char data[4] = {1, 2, 3, 4};
    t.AddValue(".blob", CResourceValue(data, 4, COPY_TYPE_COPY));
    t.AddNode(".list", RES_TYPE_STRUCT);
    SERVER_NODE_OPTIONS_T tmpl;
    tmpl.isTemplate = true;
    t.AddNode(".list.tmpl", RES_TYPE_STRUCT, tmpl);
    t.AddValue(".list.tmpl.x", CResourceValue(7));
    t.AddMountPoint(".mnt", "127.0.0.1", 22136, 1, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 65536) {
        return 0;
    }
    static FuzzTask* task = [] {
        auto* t = new FuzzTask;
        static CServerResourceTree placeholder;
        t->SetTree(&placeholder);
        // The reply is drained only after each request: a reply larger than
        // the socket's buffer must not wait long for room.
        t->SetIdleTimeout(20);
        t->SetMaxRequestSize(65536);
        t->Init("fuzz_server_request", 0, 0, TASK_FLAG_NO_HANDSHAKE);
        return t;
    }();
    CServerResourceTree tree;
    Build(tree);
    // Nothing may leave the process: no notifications, no mounts.
    tree.SetDeliveryEnabled(false);
    tree.SetMountConnector(nullptr);
    task->SetTree(&tree);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        return 0;
    }
    int big = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    size_t off = 0;
    while (off < size) {
        ssize_t w = send(sv[0], data + off, size - off, MSG_NOSIGNAL);
        if (w <= 0) {
            break;
        }
        off += size_t(w);
    }
    shutdown(sv[0], SHUT_WR);
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    fcntl(sv[0], F_SETFL, O_NONBLOCK);
    set_user_id(2);
    set_group_id(4);
    uint8_t sink[4096];
    // Every frame of the input, as a session would see them.
    for (int i = 0; i < 256; ++i) {
        uint32_t r = task->ManageCommand(sv[1], htonl(0x7F000001));
        while (recv(sv[0], sink, sizeof sink, 0) > 0) {
        }
        if (r != 1) {
            break;
        }
    }
    close(sv[0]);
    close(sv[1]);
    return 0;
}
