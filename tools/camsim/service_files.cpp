#include "tools/camsim/service_files.h"

#include <halvex/platform/openssl_ptr_internal.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace camsim {

bool ParseSocketAddress(const std::string& address, uint16_t port, sockaddr_in& out, std::string& error) {
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &out.sin_addr) != 1) {
        error = "'" + address + "' is not an IPv4 address";
        return false;
    }
    return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& temp, mode_t mode,
                         const std::function<bool(BIO*)>& write, std::string& error) {
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    FILE* file = fdopen(fd, "w");
    if (!file) {
        close(fd);
        std::remove(temp.c_str());
        error = "cannot create " + temp;
        return false;
    }
    ZYRK::BioPtr bio(BIO_new_fp(file, BIO_CLOSE));
    if (!bio) {
        std::fclose(file);
        std::remove(temp.c_str());
        error = "cannot create " + temp;
        return false;
    }
    bool ok = write(bio.get());
    ok = BIO_flush(bio.get()) == 1 && ok;
    bio.reset();
    if (ok && std::rename(temp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        std::remove(temp.c_str());
        error = "cannot write " + path;
    }
    return ok;
}

}  // namespace camsim
