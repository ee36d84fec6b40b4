// A neighbour table of the test's own: addresses that resolve (at once or a
// while after their first look-up began) and addresses that never do (their
// look-ups run until the resolver ends them). Records every look-up begun and
// how many were under way at once.
#pragma once

#include "discovery/neighbour.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <poll.h>

namespace mdnstest {

class FakeNeighbours : public INeighbourSource {
public:
    using Clock = std::chrono::steady_clock;

    void Set(const std::string& address, const std::string& mac,
             std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
        std::lock_guard<std::mutex> l(mutex);
        entries[address] = {mac, delay};
    }

    void Begin(uint32_t adapterIndex, const std::string& address) override {
        std::lock_guard<std::mutex> l(mutex);
        calls.emplace_back(adapterIndex, address);
        const Key key{adapterIndex, address};
        auto it = entries.find(address);
        // The kernel resolves once, from the first request on.
        if (!firstBegun.count(address)) firstBegun[address] = Clock::now();
        running[key] = it == entries.end() ? Clock::time_point::max() : firstBegun[address] + it->second.second;
        maxRunning = std::max(maxRunning, static_cast<int>(running.size()));
    }

    void End(uint32_t adapterIndex, const std::string& address) override {
        std::lock_guard<std::mutex> l(mutex);
        running.erase(Key{adapterIndex, address});
    }

    void Wait(std::chrono::milliseconds timeout, int wakeFd, const OutcomeFn& done) override {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            std::vector<std::pair<Key, std::string>> due;
            Clock::time_point next = deadline;
            {
                std::lock_guard<std::mutex> l(mutex);
                const auto now = Clock::now();
                for (auto it = running.begin(); it != running.end();) {
                    if (it->second <= now) {
                        due.emplace_back(it->first, entries[it->first.second].first);
                        it = running.erase(it);
                    } else {
                        next = std::min(next, it->second);
                        ++it;
                    }
                }
            }
            for (const auto& [key, mac] : due) done(key.first, key.second, mac);
            if (!due.empty()) return;
            const auto now = Clock::now();
            if (now >= deadline) return;
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
            pollfd p{wakeFd, POLLIN, 0};
            if (::poll(&p, wakeFd >= 0 ? 1 : 0, static_cast<int>(std::min<long long>(ms, 1000))) > 0) return;
        }
    }

    std::vector<std::pair<uint32_t, std::string>> Calls() {
        std::lock_guard<std::mutex> l(mutex);
        return calls;
    }
    int Running() {
        std::lock_guard<std::mutex> l(mutex);
        return static_cast<int>(running.size());
    }
    int MaxRunning() {
        std::lock_guard<std::mutex> l(mutex);
        return maxRunning;
    }

private:
    using Key = std::pair<uint32_t, std::string>;
    std::mutex mutex;
    std::map<std::string, std::pair<std::string, std::chrono::milliseconds>> entries;
    std::map<std::string, Clock::time_point> firstBegun;
    std::map<Key, Clock::time_point> running;  // when each look-up under way resolves
    std::vector<std::pair<uint32_t, std::string>> calls;
    int maxRunning = 0;
};

}  // namespace mdnstest
