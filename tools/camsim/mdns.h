// mDNS / DNS-SD responder for the service type "_zyrk-ircam._tcp.local": PTR,
// SRV, TXT and A records with name compression, answered by unicast to legacy
// queries (from a port other than 5353) and to QU questions, else by multicast.
#pragma once

#include "tools/camsim/camera.h"

#include <string>

namespace camsim {

constexpr uint16_t kMdnsPort = 5353;
constexpr uint32_t kMdnsGroup = 0xE00000FB;  // 224.0.0.251
extern const char* const kServiceType;       // "_zyrk-ircam._tcp.local"

namespace dns {
constexpr uint16_t kTypeA = 1, kTypePtr = 12, kTypeTxt = 16, kTypeAaaa = 28, kTypeSrv = 33, kTypeAny = 255;

struct Question {
    std::string name;   // dotted, without the final dot
    uint16_t type = 0;
    bool unicastResponse = false;  // the QU bit of the class
};

// Reads a name at `offset` (following compression pointers, guarded against
// loops); advances `offset` past the name. False when it is unreadable.
bool ReadName(const std::vector<uint8_t>& msg, size_t& offset, std::string& name);
// The questions of a query; false for a response or a malformed message.
bool ParseQuery(const std::vector<uint8_t>& msg, uint16_t& id, std::vector<Question>& questions);

// Builds DNS messages, compressing every name against the names written before.
class Writer {
public:
    explicit Writer(uint16_t id, uint16_t flags);
    void Question(const std::string& name, uint16_t type);
    // Starts a resource record; RDATA follows through the Rdata* calls and EndRecord.
    void BeginRecord(const std::string& owner, uint16_t type, uint16_t klass, uint32_t ttl, int section);
    void RdataBytes(const void* p, size_t n);
    void RdataName(const std::string& name);
    void EndRecord();
    std::vector<uint8_t> Finish();

private:
    void Name(const std::string& name);
    std::vector<uint8_t> msg_;
    std::vector<std::pair<std::string, uint16_t>> names_;  // lower-case suffix, offset
    size_t rdlengthAt_ = 0;
    uint16_t counts_[4] = {0, 0, 0, 0};
};
}  // namespace dns

// The answer of one camera to a query, or an empty vector when the query does
// not concern it. `legacy`: a one-shot query from a port other than 5353,
// answered with the query's id and questions and short TTLs.
std::vector<uint8_t> BuildMdnsAnswer(const Camera& camera, uint16_t id, const std::vector<dns::Question>& questions,
                                     bool legacy);

Outcome HandleMdns(const Cameras& cameras, const Datagram& in);

}  // namespace camsim
