#include "discovery/mac_resolver.h"

#include "discovery/adapters.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include <sys/eventfd.h>
#include <unistd.h>

namespace {

bool IsUnicastText(const std::string& address) {
    uint32_t v = 0;
    return ParseIPv4(address, v) && IsUnicastIPv4(v);
}

// How long the resolver's thread waits at most between two looks at its queue.
constexpr std::chrono::milliseconds kLongestWait(1000);

}  // namespace

CMacResolver::CMacResolver(std::shared_ptr<INeighbourSource> s, FillFn f, MacResolverLimits l)
    : source(s ? std::move(s) : KernelNeighbourSource()),
      fill(std::move(f)),
      limits(l),
      wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (limits.maxInFlight == 0) limits.maxInFlight = 1;
}

CMacResolver::~CMacResolver() {
    Stop();
    if (wakeFd >= 0) ::close(wakeFd);
}

void CMacResolver::Wake() const {
    if (wakeFd < 0) return;
    uint64_t one = 1;
    (void)!::write(wakeFd, &one, sizeof one);
}

void CMacResolver::Start() {
    std::lock_guard<std::mutex> lock(mutex);
    if (running) return;
    running = true;
    {
        std::lock_guard<std::mutex> f(fillMutex);
        filling = true;
    }
    thread = std::thread(&CMacResolver::Run, this);
}

void CMacResolver::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running) return;
        running = false;
        queue.clear();
    }
    Wake();
    {
        std::lock_guard<std::mutex> f(fillMutex);  // waits for a fill in progress
        filling = false;
    }
    if (thread.joinable()) thread.join();
    std::lock_guard<std::mutex> lock(mutex);
    rows.clear();
    inFlight.clear();
    idleCv.notify_all();
}

void CMacResolver::Forget(Clock::time_point now) {
    if (remembered.size() < limits.maxRemembered) return;
    for (auto it = remembered.begin(); it != remembered.end();) {
        const auto keep = it->second.mac ? limits.rememberFound : limits.retryAfter;
        if (now - it->second.when >= keep)
            it = remembered.erase(it);
        else
            ++it;
    }
    // Still full of fresh results (a flood of addresses): start over rather than grow.
    if (remembered.size() >= limits.maxRemembered) remembered.clear();
}

bool CMacResolver::Known(uint32_t resolveAdapter, const std::string& address, std::string& mac) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = remembered.find(Key{resolveAdapter, address});
    if (it == remembered.end() || !it->second.mac) return false;
    if (Clock::now() - it->second.when >= limits.rememberFound) return false;
    mac = *it->second.mac;
    return true;
}

void CMacResolver::Request(uint32_t resolveAdapter, uint32_t rowAdapter, const std::string& address) {
    if (!IsUnicastText(address)) return;
    const Key key{resolveAdapter, address};
    std::string known;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running) return;
        const auto now = Clock::now();
        auto r = remembered.find(key);
        if (r != remembered.end()) {
            const auto keep = r->second.mac ? limits.rememberFound : limits.retryAfter;
            if (now - r->second.when < keep) {
                if (!r->second.mac) return;  // did not resolve a moment ago: not again yet
                known = *r->second.mac;
            } else {
                remembered.erase(r);
            }
        }
        if (known.empty()) {
            auto pending = rows.find(key);
            if (pending != rows.end()) {
                pending->second.insert(rowAdapter);
                return;
            }
            if (queue.size() >= limits.maxQueued) {
                ++dropped;
                return;
            }
            rows[key].insert(rowAdapter);
            queue.push_back(key);
        }
    }
    if (!known.empty()) {
        std::lock_guard<std::mutex> f(fillMutex);
        if (filling && fill) fill(rowAdapter, address, known);
        return;
    }
    Wake();
}

void CMacResolver::Finish(const Key& key, const std::optional<std::string>& mac) {
    std::set<uint32_t> targets;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!inFlight.erase(key)) return;  // ended already (timed out)
        auto it = rows.find(key);
        if (it != rows.end()) {
            targets = std::move(it->second);
            rows.erase(it);
        }
        const auto now = Clock::now();
        Forget(now);
        remembered[key] = Result{mac, now};
        ++completed;
    }
    if (mac) {
        std::lock_guard<std::mutex> f(fillMutex);
        if (filling && fill)
            for (uint32_t rowAdapter : targets) fill(rowAdapter, key.second, *mac);
    }
    idleCv.notify_all();
}

void CMacResolver::Run() {
    std::shared_ptr<INeighbourSource> src = source;
    for (;;) {
        // Begin what waits, as far as the bound allows.
        std::vector<Key> begin;
        Clock::time_point until = Clock::now() + kLongestWait;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!running) break;
            const auto now = Clock::now();
            while (!queue.empty() && inFlight.size() < limits.maxInFlight) {
                begin.push_back(queue.front());
                inFlight[queue.front()] = Flight{now, now + limits.timeout};
                queue.pop_front();
            }
            for (const auto& [key, f] : inFlight) until = std::min(until, f.deadline);
        }
        for (const Key& key : begin) src->Begin(key.first, key.second);

        // Wait for outcomes until the first look-up runs out of time, new work
        // comes or Stop begins.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        src->Wait(std::max(left, std::chrono::milliseconds(0)), wakeFd,
                  [this](uint32_t adapter, const std::string& address, const std::optional<std::string>& mac) {
                      Finish(Key{adapter, address}, mac);
                  });
        uint64_t drained = 0;
        (void)!::read(wakeFd, &drained, sizeof drained);

        // Look-ups out of time end unresolved.
        std::vector<Key> expired;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto now = Clock::now();
            for (const auto& [key, f] : inFlight)
                if (f.deadline <= now) expired.push_back(key);
        }
        for (const Key& key : expired) {
            src->End(key.first, key.second);
            Finish(key, std::nullopt);
        }
    }
    // Stopped: the source forgets what is still under way.
    std::vector<Key> left;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [key, f] : inFlight) left.push_back(key);
    }
    for (const Key& key : left) src->End(key.first, key.second);
}

bool CMacResolver::WaitIdle(Clock::time_point deadline, std::chrono::milliseconds patience) const {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (!running || (queue.empty() && inFlight.empty())) return true;
        // The youngest look-up decides how long there is still to wait for.
        const auto now = Clock::now();
        Clock::time_point until = deadline;
        if (queue.empty() && patience != std::chrono::milliseconds::max()) {
            Clock::time_point youngest{};
            for (const auto& [key, f] : inFlight) youngest = std::max(youngest, f.started);
            if (youngest + patience <= now) return true;
            until = std::min(until, youngest + patience);
        }
        if (now >= deadline) return false;
        idleCv.wait_until(lock, until);
    }
}

size_t CMacResolver::Dropped() const {
    std::lock_guard<std::mutex> lock(mutex);
    return dropped;
}

size_t CMacResolver::Completed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return completed;
}
