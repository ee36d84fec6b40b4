#include "tools/camsim/gvcp.h"

#include "halvex/bigendian.h"

#include <cstdio>
#include <cstring>

namespace camsim {
namespace {

using ZYRK::be_get16;
using ZYRK::be_get32;
using ZYRK::be_put32;
using ZYRK::CBigEndianWriter;

void PutText(std::vector<uint8_t>& out, size_t offset, size_t width, const std::string& text) {
    size_t n = std::min(width, text.size());
    std::memcpy(out.data() + offset, text.data(), n);
}

std::vector<uint8_t> Header(uint16_t status, uint16_t answer, uint16_t length, uint16_t ackId) {
    std::vector<uint8_t> out;
    CBigEndianWriter(out).U16(status).U16(answer).U16(length).U16(ackId);
    return out;
}

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04x", v);
    return buf;
}

// Texts of the bootstrap area: address, width, content.
struct TextField {
    uint32_t address;
    uint32_t width;
    std::string Camera::*field;
};
constexpr TextField kTextFields[] = {
    {0x0048, 32, &Camera::manufacturer}, {0x0068, 32, &Camera::modelName},
    {0x0088, 32, &Camera::deviceVersion}, {0x00A8, 48, &Camera::info},
    {0x00D8, 16, &Camera::serial},        {0x00E8, 16, &Camera::userName},
};

std::string FirstUrl() {
    char buf[96];
    std::snprintf(buf, sizeof buf, "Local:camsim.xml;%x;%zx", gvcp::kXmlAddress, DeviceDescription().size());
    return buf;
}

// Whether a camera takes a datagram addressed to `dst`.
bool Addressed(const Camera& c, uint32_t dst) { return dst == c.address || dst == 0xFFFFFFFF || dst == 0; }

// Where a camera sends its answer: to the sender when it shares the subnet;
// to the limited broadcast address when the sender lies outside it and the
// command allows a broadcast acknowledge; otherwise to the sender anyway.
uint32_t AckDestination(const Camera& c, uint32_t sender, uint8_t flags) {
    if (!SameSubnet(c.address, sender, c.mask) && (flags & gvcp::kFlagBroadcastAck) && c.broadcastAckAllowed)
        return 0xFFFFFFFF;
    return sender;
}

// One register write; returns the GVCP status.
uint16_t WriteRegister(Cameras& cameras, size_t index, const Datagram& in, uint32_t reg, uint32_t value,
                       Clock::time_point now, Outcome& out) {
    Camera& c = cameras[index];
    bool control = c.HoldsControl(in.src, in.srcPort, now);
    if (reg == gvcp::kRegPrivilege) {
        if (value == 0) {
            if (control) c.controller = 0;
            return control || c.controller == 0 ? gvcp::kStatusSuccess : gvcp::kStatusAccessDenied;
        }
        if (!c.grantPrivilege) return gvcp::kStatusAccessDenied;
        bool heldByOther = c.controller != 0 && !control &&
                           now - c.controllerSeen <= std::chrono::milliseconds(c.heartbeatMs);
        if (heldByOther) return gvcp::kStatusAccessDenied;
        c.controller = in.src;
        c.controllerPort = in.srcPort;
        c.controllerSeen = now;
        return gvcp::kStatusSuccess;
    }
    switch (reg) {
    case gvcp::kRegNetworkConfig:
    case gvcp::kRegPersistentAddress:
    case gvcp::kRegPersistentMask:
    case gvcp::kRegPersistentGateway:
    case gvcp::kRegHeartbeat:
    case gvcp::kRegReset:
        break;
    default:
        return ReadRegister(c, reg) ? gvcp::kStatusWriteProtect : gvcp::kStatusInvalidAddress;
    }
    if (!control) return gvcp::kStatusAccessDenied;
    c.controllerSeen = now;
    switch (reg) {
    case gvcp::kRegNetworkConfig: c.ipConfig = value & 7; break;
    case gvcp::kRegPersistentAddress: c.persistentAddress = value; break;
    case gvcp::kRegPersistentMask: c.persistentMask = value; break;
    case gvcp::kRegPersistentGateway: c.persistentGateway = value; break;
    case gvcp::kRegHeartbeat: c.heartbeatMs = value < 500 ? 500 : value; break;
    case gvcp::kRegReset:
        if (value & 1) {
            out.changes.push_back(PersistentChange(c, index));
            c.controller = 0;
        }
        break;
    }
    return gvcp::kStatusSuccess;
}

}  // namespace

const std::string& DeviceDescription() {
    static const std::string xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<RegisterDescription ModelName=\"camsim\" VendorName=\"ZYRK\" ToolTip=\"Simulated camera\"\n"
        "  StandardNameSpace=\"None\" SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\"\n"
        "  MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\"\n"
        "  ProductGuid=\"6b7e9a2c-3d41-4c8e-9f10-2a5b6c7d8e90\" VersionGuid=\"1c2d3e4f-5a6b-4c7d-8e9f-0a1b2c3d4e5f\"\n"
        "  xmlns=\"http://www.genicam.org/GenApi/Version_1_1\">\n"
        "  <Category Name=\"Root\" NameSpace=\"Standard\">\n"
        "    <pFeature>DeviceControl</pFeature>\n"
        "  </Category>\n"
        "  <Category Name=\"DeviceControl\" NameSpace=\"Standard\">\n"
        "    <pFeature>DeviceVendorName</pFeature>\n"
        "    <pFeature>DeviceModelName</pFeature>\n"
        "    <pFeature>DeviceUserID</pFeature>\n"
        "  </Category>\n"
        "  <StringReg Name=\"DeviceVendorName\" NameSpace=\"Standard\">\n"
        "    <Address>0x48</Address><Length>32</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>\n"
        "  </StringReg>\n"
        "  <StringReg Name=\"DeviceModelName\" NameSpace=\"Standard\">\n"
        "    <Address>0x68</Address><Length>32</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>\n"
        "  </StringReg>\n"
        "  <StringReg Name=\"DeviceUserID\" NameSpace=\"Standard\">\n"
        "    <Address>0xE8</Address><Length>16</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>\n"
        "  </StringReg>\n"
        "  <Port Name=\"Device\" NameSpace=\"Standard\"/>\n"
        "</RegisterDescription>\n";
    return xml;
}

std::vector<uint8_t> BuildDiscoveryAck(const Camera& c, uint16_t ackId) {
    std::vector<uint8_t> out = Header(gvcp::kStatusSuccess, gvcp::kDiscoveryAck, 248, ackId);
    out.resize(256, 0);
    be_put32(&out[8], 0x00010002);          // GigE Vision version 1.2
    be_put32(&out[12], 0x80000000);         // big-endian device, transmitter
    std::memcpy(out.data() + 18, c.mac.data(), 6);
    be_put32(&out[24], 0x00000007);         // persistent, DHCP, link-local supported
    be_put32(&out[28], c.dhcp ? 6u : 5u);   // current configuration: DHCP or persistent, plus link-local
    be_put32(&out[44], c.address);
    be_put32(&out[60], c.mask);
    be_put32(&out[76], c.gateway);
    PutText(out, 80, 32, c.manufacturer);
    PutText(out, 112, 32, c.modelName);
    PutText(out, 144, 32, c.deviceVersion);
    PutText(out, 176, 48, c.info);
    PutText(out, 224, 16, c.serial);
    PutText(out, 240, 16, c.userName);
    return out;
}

std::optional<uint32_t> ReadRegister(const Camera& c, uint32_t reg) {
    switch (reg) {
    case 0x0000: return 0x00010002u;
    case 0x0004: return 0x80000000u;
    case 0x0008: return be_get16(c.mac.data());
    case 0x000C: return be_get32(c.mac.data() + 2);
    case 0x0010: return 0x00000007u;
    case gvcp::kRegNetworkConfig: return c.ipConfig;
    case 0x0024: return c.address;
    case 0x0034: return c.mask;
    case 0x0044: return c.gateway;
    case 0x0600: return 1u;                 // network interfaces
    case gvcp::kRegPersistentAddress: return c.persistentAddress;
    case gvcp::kRegPersistentMask: return c.persistentMask;
    case gvcp::kRegPersistentGateway: return c.persistentGateway;
    case 0x0900: return 0u;                 // message channels
    case 0x0904: return 0u;                 // stream channels
    case 0x0934: return 0u;                 // GVCP capabilities: none of the optional ones
    case gvcp::kRegHeartbeat: return c.heartbeatMs;
    case gvcp::kRegPrivilege: return c.controller ? 2u : 0u;
    case gvcp::kRegReset: return 0u;
    default: break;
    }
    for (const TextField& f : kTextFields)
        if (reg >= f.address && reg < f.address + f.width && reg % 4 == 0) {
            auto bytes = ReadMemory(c, reg, 4);
            return be_get32(bytes->data());
        }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> ReadMemory(const Camera& c, uint32_t address, uint32_t count) {
    if (count == 0 || count > 536 || address > 0xFFFFFFFFu - count) return std::nullopt;
    const std::string& xml = DeviceDescription();
    if (address >= gvcp::kXmlAddress) {
        uint64_t off = address - gvcp::kXmlAddress;
        if (off + count > ((xml.size() + 3) & ~size_t{3})) return std::nullopt;
        std::vector<uint8_t> out(count, 0);
        for (uint32_t i = 0; i < count && off + i < xml.size(); ++i) out[i] = static_cast<uint8_t>(xml[off + i]);
        return out;
    }
    if (address + count > 0x1000) return std::nullopt;
    // Build the bootstrap area and cut the window out of it.
    std::vector<uint8_t> area(0x1000, 0);
    for (uint32_t reg = 0; reg < 0x1000; reg += 4) {
        bool text = false;
        for (const TextField& f : kTextFields) text = text || (reg >= f.address && reg < f.address + f.width);
        if (text || (reg >= 0x0200 && reg < 0x0600)) continue;
        if (auto v = ReadRegister(c, reg)) be_put32(&area[reg], *v);
    }
    for (const TextField& f : kTextFields) PutText(area, f.address, f.width, c.*(f.field));
    PutText(area, 0x0200, 512, FirstUrl());
    return std::vector<uint8_t>(area.begin() + address, area.begin() + address + count);
}

Outcome HandleGvcp(Cameras& cameras, const Datagram& in, Clock::time_point now) {
    Outcome out;
    const std::vector<uint8_t>& d = in.data;
    if (d.size() < 8 || d[0] != 0x42) {
        out.summary = "ignored: not a GVCP command (" + std::to_string(d.size()) + " bytes)";
        return out;
    }
    uint8_t flags = d[1];
    uint16_t command = be_get16(&d[2]);
    uint16_t length = be_get16(&d[4]);
    uint16_t reqId = be_get16(&d[6]);
    bool ack = flags & gvcp::kFlagAckRequired;
    char head[96];
    std::snprintf(head, sizeof head, "cmd=0x%04x flags=0x%02x req=0x%04x len=%u", command, flags, reqId, length);
    out.summary = head;
    if (8u + length > d.size()) {
        out.summary += " ignored: payload shorter than its length";
        return out;
    }
    const uint8_t* payload = d.data() + 8;

    switch (command) {
    case gvcp::kDiscoveryCmd: {
        out.summary = std::string("DISCOVERY_CMD ") + head;
        for (size_t i = 0; i < cameras.size(); ++i) {
            Camera& c = cameras[i];
            if (!c.gvcp || !Addressed(c, in.dst)) continue;
            Reply r{i, AckDestination(c, in.src, flags), in.srcPort, BuildDiscoveryAck(c, reqId), c.answerDelayMs, false};
            out.replies.push_back(std::move(r));
        }
        return out;
    }
    case gvcp::kForceIpCmd: {
        out.summary = std::string("FORCEIP_CMD ") + head;
        if (length < 56) { out.summary += " ignored: short"; return out; }
        for (size_t i = 0; i < cameras.size(); ++i) {
            Camera& c = cameras[i];
            if (!c.gvcp || std::memcmp(payload + 2, c.mac.data(), 6) != 0) continue;
            uint32_t ip = be_get32(payload + 20), mask = be_get32(payload + 36), gw = be_get32(payload + 52);
            out.summary += " mac=" + FormatMac(c.mac) + " ip=" + FormatAddress(ip) + " mask=" + FormatAddress(mask) +
                           " gw=" + FormatAddress(gw);
            if (ip == 0) {
                out.changes.push_back(PersistentChange(c, i));
            } else {
                out.changes.push_back(AddressChange{i, ip, mask, gw, false});
            }
            c.controller = 0;
            if (ack) {
                Reply r{i, 0xFFFFFFFF, in.srcPort, Header(0, gvcp::kForceIpAck, 0, reqId), 0, true};
                out.replies.push_back(std::move(r));
            }
        }
        return out;
    }
    case gvcp::kReadRegCmd:
    case gvcp::kWriteRegCmd:
    case gvcp::kReadMemCmd:
        break;
    default:
        for (size_t i = 0; i < cameras.size(); ++i)
            if (cameras[i].gvcp && in.dst == cameras[i].address && ack)
                out.replies.push_back(Reply{i, in.src, in.srcPort,
                                            Header(gvcp::kStatusNotImplemented, command + 1, 0, reqId), 0, false});
        return out;
    }

    // Unicast commands: the camera that owns the destination address.
    size_t index = cameras.size();
    for (size_t i = 0; i < cameras.size(); ++i)
        if (cameras[i].gvcp && cameras[i].address == in.dst) { index = i; break; }
    if (index == cameras.size()) {
        out.summary += " ignored: no camera at " + FormatAddress(in.dst);
        return out;
    }
    Camera& c = cameras[index];
    if (c.HoldsControl(in.src, in.srcPort, now)) c.controllerSeen = now;

    if (command == gvcp::kReadRegCmd) {
        out.summary = std::string("READREG_CMD ") + head;
        if (length == 0 || length % 4) { out.summary += " ignored: bad length"; return out; }
        std::vector<uint8_t> values;
        uint16_t status = gvcp::kStatusSuccess;
        for (uint16_t off = 0; off < length; off += 4) {
            uint32_t reg = be_get32(payload + off);
            out.summary += " reg=" + Hex(reg);
            auto v = ReadRegister(c, reg);
            if (!v) { status = gvcp::kStatusInvalidAddress; break; }
            CBigEndianWriter(values).U32(*v);
        }
        if (ack) {
            auto r = Header(status, gvcp::kReadRegAck, static_cast<uint16_t>(values.size()), reqId);
            r.insert(r.end(), values.begin(), values.end());
            out.replies.push_back(Reply{index, in.src, in.srcPort, std::move(r), 0, false});
        }
        out.summary += " status=" + Hex(status);
        return out;
    }
    if (command == gvcp::kReadMemCmd) {
        out.summary = std::string("READMEM_CMD ") + head;
        if (length < 8) { out.summary += " ignored: short"; return out; }
        uint32_t address = be_get32(payload);
        uint16_t count = be_get16(payload + 6);
        char buf[48];
        std::snprintf(buf, sizeof buf, " addr=0x%08x count=%u", address, count);
        out.summary += buf;
        auto bytes = ReadMemory(c, address, count);
        if (ack) {
            std::vector<uint8_t> r;
            if (bytes) {
                r = Header(0, gvcp::kReadMemAck, static_cast<uint16_t>(4 + bytes->size()), reqId);
                CBigEndianWriter(r).U32(address);
                r.insert(r.end(), bytes->begin(), bytes->end());
            } else {
                r = Header(gvcp::kStatusInvalidAddress, gvcp::kReadMemAck, 4, reqId);
                CBigEndianWriter(r).U32(address);
            }
            out.replies.push_back(Reply{index, in.src, in.srcPort, std::move(r), 0, false});
        }
        return out;
    }

    // WRITEREG_CMD: address and value pairs, applied in order up to the first refusal.
    out.summary = std::string("WRITEREG_CMD ") + head;
    if (length == 0 || length % 8) { out.summary += " ignored: bad length"; return out; }
    uint16_t status = gvcp::kStatusSuccess;
    uint16_t done = 0;
    for (uint16_t off = 0; off < length; off += 8) {
        uint32_t reg = be_get32(payload + off), value = be_get32(payload + off + 4);
        out.summary += " reg=" + Hex(reg) + " value=" + Hex(value);
        status = WriteRegister(cameras, index, in, reg, value, now, out);
        if (status != gvcp::kStatusSuccess) break;
        ++done;
    }
    out.summary += " status=" + Hex(status);
    if (ack) {
        auto r = Header(status, gvcp::kWriteRegAck, 4, reqId);
        CBigEndianWriter(r).U16(0).U16(done);
        out.replies.push_back(Reply{index, in.src, in.srcPort, std::move(r), 0, false});
    }
    return out;
}

}  // namespace camsim
