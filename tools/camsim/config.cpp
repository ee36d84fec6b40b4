#include "tools/camsim/config.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <optional>
#include <sstream>
#include <type_traits>

namespace camsim {
namespace {

using nlohmann::json;

void Address(const json& j, const char* key, uint32_t& out) {
    if (!j.contains(key)) return;
    std::string text = j.at(key).get<std::string>();
    if (!ParseAddress(text, out)) throw std::runtime_error(std::string("bad address in \"") + key + "\": " + text);
}

// A port number; the JSON library would cut a larger number to 16 bits.
void Port(const json& j, const char* key, uint16_t& out) {
    if (!j.contains(key)) return;
    int64_t v = j.at(key).get<int64_t>();
    if (v < 0 || v > 65535) throw std::runtime_error(std::string("\"") + key + "\" must be 0..65535");
    out = static_cast<uint16_t>(v);
}

// What a field is read as: its own type, or the type an optional one holds.
template <class T>
struct JsonValueOf {
    using type = T;
};
template <class T>
struct JsonValueOf<std::optional<T>> {
    using type = T;
};

void ApplyFields(const json& j, Camera& c) {
    if (!j.is_object()) throw std::runtime_error("a camera must be an object");
    // A text, flag or number, when the object has it.
    auto field = [&](const char* key, auto& out) {
        using T = typename JsonValueOf<std::remove_reference_t<decltype(out)>>::type;
        if (j.contains(key)) out = j.at(key).get<T>();
    };
    field("name", c.userName);
    field("hostName", c.hostName);
    field("info", c.info);
    field("model", c.modelName);
    field("serial", c.serial);
    field("manufacturer", c.manufacturer);
    field("version", c.deviceVersion);
    field("bsp", c.bsp);
    field("modelCode", c.modelCode);
    field("announceName", c.announceName);
    Address(j, "address", c.address);
    Address(j, "mask", c.mask);
    Address(j, "gateway", c.gateway);
    if (j.contains("mac") && !ParseMac(j.at("mac").get<std::string>(), c.mac))
        throw std::runtime_error("bad mac: " + j.at("mac").get<std::string>());
    field("dhcp", c.dhcp);
    field("enabled", c.enabled);
    field("privilege", c.grantPrivilege);
    field("broadcastAck", c.broadcastAckAllowed);
    field("delayMs", c.answerDelayMs);
    Port(j, "port", c.servicePort);
    field("announceIntervalMs", c.announceIntervalMs);
    field("dhcpWaitMs", c.dhcpWaitMs);
    field("resourceService", c.resourceService);
    field("httpService", c.httpService);
    field("tlsService", c.tlsService);
    field("tlsStallHandshake", c.tlsStallHandshake);
    Port(j, "httpPort", c.httpPort);
    Port(j, "tlsPort", c.tlsPort);
    if (j.contains("services")) {
        c.gvcp = c.mdns = c.announce = c.ipchange = false;
        for (const auto& s : j.at("services")) {
            std::string name = s.get<std::string>();
            if (name == "gvcp") c.gvcp = true;
            else if (name == "mdns") c.mdns = true;
            else if (name == "announce") c.announce = true;
            else if (name == "ipchange") c.ipchange = true;
            else throw std::runtime_error("unknown service: " + name);
        }
    }
    if (c.answerDelayMs < 0 || c.answerDelayMs > 60000) throw std::runtime_error("delayMs must be 0..60000");
    if (c.dhcpWaitMs < 0 || c.dhcpWaitMs > 60000) throw std::runtime_error("dhcpWaitMs must be 0..60000");
}

// The persistent settings start as the current ones, as on a camera that was set up that way.
void Finish(Camera& c) {
    c.persistentAddress = c.address;
    c.persistentMask = c.mask;
    c.persistentGateway = c.gateway;
    c.ipConfig = c.dhcp ? 6 : 5;
}

}  // namespace

bool ParseConfig(const std::string& text, Config& config, std::string& error) {
    try {
        json root = json::parse(text);
        if (!root.is_object()) throw std::runtime_error("the configuration must be an object");
        if (root.contains("interface")) config.interfaceName = root.at("interface").get<std::string>();
        if (root.contains("stateDir")) config.stateDir = root.at("stateDir").get<std::string>();
        json defaults = root.value("defaults", json::object());
        if (root.contains("cameras")) {
            for (const auto& j : root.at("cameras")) {
                Camera c;
                ApplyFields(defaults, c);
                ApplyFields(j, c);
                Finish(c);
                config.cameras.push_back(std::move(c));
            }
        }
        if (root.contains("swarm")) {
            const json& s = root.at("swarm");
            int count = s.value("count", 0);
            if (count < 0 || count > 60000) throw std::runtime_error("swarm count must be 0..60000");
            uint32_t first = 0;
            Address(s, "first", first);
            uint32_t mask = 0xFFFF0000;
            Address(s, "mask", mask);
            int spread = s.value("spreadMs", 0);
            json tmpl = s.value("camera", json::object());
            for (int i = 0; i < count; ++i) {
                Camera c;
                ApplyFields(defaults, c);
                ApplyFields(tmpl, c);
                c.address = first + static_cast<uint32_t>(i);
                c.mask = mask;
                c.mac = {0x02, 0x5A, 0x00, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8),
                         static_cast<uint8_t>(i)};
                c.userName = (c.userName.empty() ? std::string("Swarm") : c.userName) + std::to_string(i);
                c.hostName = (c.hostName.empty() ? std::string("swarm") : c.hostName) + std::to_string(i);
                c.serial = "SW" + std::to_string(100000 + i);
                // A swarm is for discovery: TCP services per camera only when asked for.
                if (!c.resourceService) c.resourceService = false;
                if (!c.httpService) c.httpService = false;
                if (!c.tlsService) c.tlsService = false;
                if (count > 1) c.answerDelayMs = static_cast<int>(static_cast<int64_t>(spread) * i / (count - 1));
                Finish(c);
                config.cameras.push_back(std::move(c));
            }
        }
        for (const Camera& c : config.cameras)
            if (c.address == 0 && !c.dhcp) throw std::runtime_error("camera \"" + c.userName + "\" has no address");
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

bool LoadConfigFile(const std::string& path, Config& config, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    return ParseConfig(ss.str(), config, error);
}

}  // namespace camsim
