#include "tools/camsim/netif.h"

#include "tools/camsim/camera.h"

#include <cctype>
#include <cstdio>
#include <sys/wait.h>

namespace camsim {

int PrefixLength(uint32_t mask) {
    int n = 0;
    while (n < 32 && (mask & (0x80000000u >> n))) ++n;
    return n;
}

bool ChangeAddresses(const std::string& interfaceName, const std::vector<InterfaceAddress>& add,
                     const std::vector<InterfaceAddress>& remove, std::string& error) {
    if (add.empty() && remove.empty()) return true;
    for (char ch : interfaceName)
        if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '_' || ch == '.')) {
            error = "bad interface name";
            return false;
        }
    // -force: a line that fails (address already there or already gone) does not stop the batch.
    std::string cmd = "ip -force -batch - 2>&1";
    FILE* p = popen(cmd.c_str(), "w");
    if (!p) {
        error = "cannot run ip";
        return false;
    }
    for (const auto& a : remove)
        std::fprintf(p, "addr del %s/%d dev %s\n", FormatAddress(a.address).c_str(), a.prefix, interfaceName.c_str());
    for (const auto& a : add)
        std::fprintf(p, "addr add %s/%d dev %s\n", FormatAddress(a.address).c_str(), a.prefix, interfaceName.c_str());
    int status = pclose(p);
    if (status == -1) {
        error = "ip did not finish";
        return false;
    }
    return true;
}

}  // namespace camsim
