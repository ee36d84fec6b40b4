// The request record of the queue protocol and helpers shared by the queue
// client and server, internal to halvex.
#pragma once

#include <halvex/platform/fmq.h>

#include "halvex/platform/stream_io_internal.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ZYRK {
namespace Platform {

struct FMQ_REQUEST_T {
    uint32_t operation;
    uint32_t replyLength;
    uint16_t name[FMQ_NAME_CHARS];
    uint32_t queueId;
    uint32_t key;
    uint32_t further;
    uint32_t dataLength;
    uint8_t data[FMQ_MAX_MSG_SIZE];
};
static_assert(sizeof(FMQ_REQUEST_T) == FMQ_RECORD_SIZE, "record layout");
static_assert(offsetof(FMQ_REQUEST_T, data) == 40, "record layout");

// The most reply bytes a client may ask for: one whole message.
constexpr uint32_t FMQ_MAX_REPLY = FMQ_MAX_MSG_SIZE;

// ASCII name <-> the 16-byte UTF-16 field. NameToField fails for a name
// longer than 8 characters or with characters outside ASCII.
bool NameToField(const char* name, uint16_t field[FMQ_NAME_CHARS]);
// Reads at most the 8 characters of the field, never past it.
std::string FieldToName(const uint16_t field[FMQ_NAME_CHARS]);

std::string EventNameOf(const std::string& queueName);

}  // namespace Platform
}  // namespace ZYRK
