// The datagram log: one line per received datagram and per event, flushed at
// once so that tests can follow it while the simulator runs.
#pragma once

#include <cstdio>
#include <string>

namespace camsim {

class Log {
public:
    ~Log();
    bool Open(const std::string& path);  // empty path: standard error
    void Line(const std::string& text);

private:
    FILE* file_ = nullptr;
};

}  // namespace camsim
