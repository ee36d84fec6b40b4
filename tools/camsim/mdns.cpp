#include "tools/camsim/mdns.h"

#include "halvex/bigendian.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

namespace camsim {

const char* const kServiceType = "_zyrk-ircam._tcp.local";

namespace dns {
namespace {

using ZYRK::be_get16;
using ZYRK::be_put16;
using ZYRK::CBigEndianWriter;

std::string Lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

bool ReadName(const std::vector<uint8_t>& msg, size_t& offset, std::string& name) {
    name.clear();
    size_t pos = offset;
    bool jumped = false;
    int jumps = 0;
    while (true) {
        if (pos >= msg.size()) return false;
        uint8_t len = msg[pos];
        if ((len & 0xC0) == 0xC0) {
            if (pos + 1 >= msg.size() || ++jumps > 16) return false;
            size_t target = be_get16(&msg[pos]) & 0x3FFF;
            if (!jumped) offset = pos + 2;
            jumped = true;
            pos = target;
            continue;
        }
        if (len & 0xC0) return false;
        if (len == 0) {
            if (!jumped) offset = pos + 1;
            return true;
        }
        if (pos + 1 + len > msg.size()) return false;
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<const char*>(&msg[pos + 1]), len);
        if (name.size() > 255) return false;
        pos += 1 + len;
    }
}

bool ParseQuery(const std::vector<uint8_t>& msg, uint16_t& id, std::vector<Question>& questions) {
    questions.clear();
    if (msg.size() < 12) return false;
    id = be_get16(&msg[0]);
    uint16_t flags = be_get16(&msg[2]);
    if (flags & 0x8000) return false;          // a response
    if ((flags >> 11) & 0xF) return false;     // not a standard query
    uint16_t qd = be_get16(&msg[4]);
    size_t off = 12;
    for (uint16_t i = 0; i < qd; ++i) {
        Question q;
        if (!ReadName(msg, off, q.name) || off + 4 > msg.size()) return false;
        q.type = be_get16(&msg[off]);
        q.unicastResponse = msg[off + 2] & 0x80;
        off += 4;
        questions.push_back(std::move(q));
    }
    return !questions.empty();
}

Writer::Writer(uint16_t id, uint16_t flags) {
    CBigEndianWriter(msg_).U16(id).U16(flags).Zeros(8);
}

void Writer::Name(const std::string& name) {
    std::string rest = name;
    while (!rest.empty()) {
        std::string key = Lower(rest);
        auto it = std::find_if(names_.begin(), names_.end(), [&](const auto& p) { return p.first == key; });
        if (it != names_.end()) {
            CBigEndianWriter(msg_).U16(static_cast<uint16_t>(0xC000 | it->second));
            return;
        }
        if (msg_.size() < 0x3FFF) names_.emplace_back(key, static_cast<uint16_t>(msg_.size()));
        size_t dot = rest.find('.');
        std::string label = rest.substr(0, dot);
        label.resize(std::min<size_t>(label.size(), 63));
        msg_.push_back(static_cast<uint8_t>(label.size()));
        msg_.insert(msg_.end(), label.begin(), label.end());
        rest = dot == std::string::npos ? "" : rest.substr(dot + 1);
    }
    msg_.push_back(0);
}

void Writer::Question(const std::string& name, uint16_t type) {
    Name(name);
    CBigEndianWriter(msg_).U16(type).U16(1);
    ++counts_[0];
}

void Writer::BeginRecord(const std::string& owner, uint16_t type, uint16_t klass, uint32_t ttl, int section) {
    Name(owner);
    CBigEndianWriter(msg_).U16(type).U16(klass).U32(ttl);
    rdlengthAt_ = msg_.size();
    CBigEndianWriter(msg_).U16(0);
    ++counts_[section];
}

void Writer::RdataBytes(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    msg_.insert(msg_.end(), b, b + n);
}

void Writer::RdataName(const std::string& name) { Name(name); }

void Writer::EndRecord() {
    be_put16(&msg_[rdlengthAt_], static_cast<uint16_t>(msg_.size() - rdlengthAt_ - 2));
}

std::vector<uint8_t> Writer::Finish() {
    for (int i = 0; i < 4; ++i) be_put16(&msg_[4 + 2 * i], counts_[i]);
    return msg_;
}

}  // namespace dns

std::vector<uint8_t> BuildMdnsAnswer(const Camera& c, uint16_t id, const std::vector<dns::Question>& questions,
                                     bool legacy) {
    using namespace dns;
    const std::string service = kServiceType;
    const std::string instance = c.userName + "." + service;
    const std::string host = c.hostName + ".local";
    bool ptr = false, srv = false, txt = false, a = false;
    for (const Question& q : questions) {
        bool any = q.type == kTypeAny;
        if (SameName(q.name, service) && (any || q.type == kTypePtr)) ptr = srv = txt = a = true;
        if (SameName(q.name, instance)) {
            if (any || q.type == kTypeSrv) srv = a = true;
            if (any || q.type == kTypeTxt) txt = true;
        }
        if (SameName(q.name, host) && (any || q.type == kTypeA)) a = true;
    }
    if (!(ptr || srv || txt || a)) return {};

    Writer w(legacy ? id : 0, 0x8400);
    if (legacy)
        for (const Question& q : questions) w.Question(q.name, q.type);
    uint32_t ttl = legacy ? 10 : 120;
    uint16_t unique = legacy ? 1 : 0x8001;  // cache-flush bit on multicast answers of unique records
    // Which records answer the questions and which ones come along as additional data.
    bool srvAnswer = false, txtAnswer = false, aAnswer = false;
    for (const Question& q : questions) {
        bool any = q.type == kTypeAny;
        if (SameName(q.name, instance)) {
            srvAnswer = srvAnswer || any || q.type == kTypeSrv;
            txtAnswer = txtAnswer || any || q.type == kTypeTxt;
        }
        if (SameName(q.name, host)) aAnswer = aAnswer || any || q.type == kTypeA;
    }
    // Answers first, then the additional records that come along with them.
    struct Record { char kind; int section; };
    std::vector<Record> records;
    if (ptr) records.push_back({'P', 1});
    if (srv) records.push_back({'S', srvAnswer || !ptr ? 1 : 3});
    if (txt) records.push_back({'T', txtAnswer || !ptr ? 1 : 3});
    if (a) records.push_back({'A', aAnswer ? 1 : 3});
    std::stable_sort(records.begin(), records.end(), [](const Record& x, const Record& y) { return x.section < y.section; });
    for (const Record& r : records) {
        switch (r.kind) {
        case 'P':
            w.BeginRecord(service, kTypePtr, 1, legacy ? 10 : 4500, r.section);
            w.RdataName(instance);
            break;
        case 'S': {
            w.BeginRecord(instance, kTypeSrv, unique, ttl, r.section);
            uint8_t fixed[6] = {};  // priority and weight 0, then the port
            ZYRK::be_put16(fixed + 4, c.servicePort);
            w.RdataBytes(fixed, sizeof fixed);
            w.RdataName(host);
            break;
        }
        case 'T':
            w.BeginRecord(instance, kTypeTxt, unique, legacy ? 10 : 4500, r.section);
            for (std::string s : {"bsp=" + c.bsp, "model=" + c.modelCode,
                                  std::string("enabled=") + (c.enabled ? "true" : "false")}) {
                s.resize(std::min<size_t>(s.size(), 255));
                uint8_t len = static_cast<uint8_t>(s.size());
                w.RdataBytes(&len, 1);
                w.RdataBytes(s.data(), s.size());
            }
            break;
        default: {
            w.BeginRecord(host, kTypeA, unique, ttl, r.section);
            uint8_t addr[4];
            ZYRK::be_put32(addr, c.address);
            w.RdataBytes(addr, 4);
            break;
        }
        }
        w.EndRecord();
    }
    return w.Finish();
}

Outcome HandleMdns(const Cameras& cameras, const Datagram& in) {
    Outcome out;
    uint16_t id = 0;
    std::vector<dns::Question> questions;
    if (!dns::ParseQuery(in.data, id, questions)) {
        out.summary = "ignored: not a query (" + std::to_string(in.data.size()) + " bytes)";
        return out;
    }
    bool legacy = in.srcPort != kMdnsPort;
    bool allQu = std::all_of(questions.begin(), questions.end(), [](const auto& q) { return q.unicastResponse; });
    out.summary = legacy ? "query legacy" : (allQu ? "query QU" : "query QM");
    for (const auto& q : questions) out.summary += " " + q.name + "/" + std::to_string(q.type);
    for (size_t i = 0; i < cameras.size(); ++i) {
        const Camera& c = cameras[i];
        if (!c.mdns) continue;
        auto answer = BuildMdnsAnswer(c, id, questions, legacy);
        if (answer.empty()) continue;
        Reply r;
        r.camera = i;
        r.data = std::move(answer);
        r.delayMs = c.answerDelayMs;
        if (legacy || allQu) {
            r.to = in.src;
            r.toPort = in.srcPort;
        } else {
            r.to = kMdnsGroup;
            r.toPort = kMdnsPort;
        }
        out.replies.push_back(std::move(r));
    }
    return out;
}

}  // namespace camsim
