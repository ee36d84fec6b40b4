// camsim: emulates one or many of the maker's network cameras inside a lab
// host: GigE Vision device, mDNS responder, announcements, IP-change listener.
//
//   camsim --config FILE [--interface IF] [--log FILE]
//   camsim --address A [--mask M] [--gateway G] [--mac X] [--name N] [--host-name H]
//          [--info I] [--model M] [--bsp B] [--model-code C] [--disabled] [--refuse-privilege]
//          [--delay-ms D] [--services gvcp,mdns,announce,ipchange] [--interval-ms T]
//          [--interface IF] [--log FILE]
//   camsim --swarm N --first A [--mask M] [--spread-ms S] [...camera flags as the template]
#include "tools/camsim/config.h"
#include "tools/camsim/simulator.h"
#ifdef CAMSIM_TCP_SERVICES
#include "tools/camsim/camera_services.h"
#endif

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

int Usage() {
    std::fputs(
        "usage: camsim --config FILE [--interface IF] [--log FILE] [--state-dir DIR]\n"
        "       camsim --address A [--mask M] [--gateway G] [--mac X] [--name N] [--host-name H]\n"
        "              [--info I] [--model M] [--bsp B] [--model-code C] [--disabled] [--dhcp]\n"
        "              [--refuse-privilege] [--delay-ms D] [--interval-ms T]\n"
        "              [--services gvcp,mdns,announce,ipchange] [--interface IF] [--log FILE]\n"
        "       camsim --swarm N --first A [--mask M] [--spread-ms S] [camera flags as the template]\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using nlohmann::json;
    std::string configPath, logPath, interfaceName, stateDir;
    json camera = json::object();
    json swarm;
    static const std::pair<const char*, const char*> kText[] = {
        {"--address", "address"}, {"--mask", "mask"},   {"--gateway", "gateway"}, {"--mac", "mac"},
        {"--name", "name"},       {"--host-name", "hostName"}, {"--info", "info"}, {"--model", "model"},
        {"--bsp", "bsp"},         {"--model-code", "modelCode"}, {"--serial", "serial"},
        {"--announce-name", "announceName"},
    };
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "camsim: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        bool matched = false;
        for (const auto& [flag, key] : kText)
            if (a == flag) {
                camera[key] = value();
                matched = true;
            }
        if (matched) continue;
        try {
            if (a == "--config") configPath = value();
            else if (a == "--log") logPath = value();
            else if (a == "--interface") interfaceName = value();
            else if (a == "--state-dir") stateDir = value();
            else if (a == "--disabled") camera["enabled"] = false;
            else if (a == "--dhcp") camera["dhcp"] = true;
            else if (a == "--refuse-privilege") camera["privilege"] = false;
            else if (a == "--delay-ms") camera["delayMs"] = std::stoi(value());
            else if (a == "--interval-ms") camera["announceIntervalMs"] = std::stoi(value());
            else if (a == "--services") {
                json list = json::array();
                std::string s = value();
                for (size_t pos = 0; pos <= s.size();) {
                    size_t comma = s.find(',', pos);
                    if (comma == std::string::npos) comma = s.size();
                    if (comma > pos) list.push_back(s.substr(pos, comma - pos));
                    pos = comma + 1;
                }
                camera["services"] = list;
            } else if (a == "--swarm") swarm["count"] = std::stoi(value());
            else if (a == "--first") swarm["first"] = value();
            else if (a == "--spread-ms") swarm["spreadMs"] = std::stoi(value());
            else if (a == "-h" || a == "--help") return Usage(), 0;
            else {
                std::fprintf(stderr, "camsim: unknown option %s\n", a.c_str());
                return Usage();
            }
        } catch (const std::exception&) {
            std::fprintf(stderr, "camsim: bad number for %s\n", a.c_str());
            return 2;
        }
    }

    camsim::Config config;
    std::string error;
    if (!configPath.empty()) {
        if (!camsim::LoadConfigFile(configPath, config, error)) {
            std::fprintf(stderr, "camsim: %s: %s\n", configPath.c_str(), error.c_str());
            return 1;
        }
    } else {
        json root = json::object();
        if (!camera.contains("services")) camera["services"] = {"gvcp", "mdns", "announce", "ipchange"};
        if (!swarm.is_null()) {
            if (swarm.contains("count") && camera.contains("mask")) swarm["mask"] = camera["mask"];
            camera.erase("address");
            swarm["camera"] = camera;
            root["swarm"] = swarm;
        } else if (camera.contains("address") || camera.value("dhcp", false)) {
            root["cameras"] = json::array({camera});
        } else {
            return Usage();
        }
        if (!camsim::ParseConfig(root.dump(), config, error)) {
            std::fprintf(stderr, "camsim: %s\n", error.c_str());
            return 1;
        }
    }
    if (!interfaceName.empty()) config.interfaceName = interfaceName;
    if (!stateDir.empty()) config.stateDir = stateDir;
    if (config.stateDir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        config.stateDir = std::string(tmp && *tmp ? tmp : "/tmp") + "/camsim-" + std::to_string(getpid());
    }
    if (config.cameras.empty()) {
        std::fputs("camsim: no cameras configured\n", stderr);
        return 1;
    }

    camsim::Log log;
    if (!log.Open(logPath)) {
        std::fprintf(stderr, "camsim: cannot open log %s\n", logPath.c_str());
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const std::string state = config.stateDir;
    camsim::Simulator sim(std::move(config), log);
    if (!sim.Start(error)) {
        std::fprintf(stderr, "camsim: %s\n", error.c_str());
        log.Line("start-error " + error);
        return 1;
    }
#ifdef CAMSIM_TCP_SERVICES
    // A commit is applied a moment later, so that its reply and the end of
    // the session still leave from the old address.
    auto services = std::make_unique<camsim::CameraServices>(
        state, log, [&](const camsim::AddressChange& change, const std::string& why) { sim.Post(change, why, 300); });
    sim.OnCameraChanged([&](size_t index, const camsim::Camera& camera) { services->Update(index, camera); });
#endif
    sim.Run(g_stop);
#ifdef CAMSIM_TCP_SERVICES
    services->StopAll();
#endif
    return 0;
}
