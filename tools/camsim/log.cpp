#include "tools/camsim/log.h"

#include <chrono>

namespace camsim {

Log::~Log() {
    if (file_ && file_ != stderr) std::fclose(file_);
}

bool Log::Open(const std::string& path) {
    if (path.empty()) {
        file_ = stderr;
        return true;
    }
    file_ = std::fopen(path.c_str(), "a");
    return file_ != nullptr;
}

void Log::Line(const std::string& text) {
    FILE* f = file_ ? file_ : stderr;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::system_clock::now().time_since_epoch()).count();
    std::fprintf(f, "%lld.%03lld %s\n", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000),
                 text.c_str());
    std::fflush(f);
}

}  // namespace camsim
