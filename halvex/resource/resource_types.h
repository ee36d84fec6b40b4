// Enumerations shared by resource values, resources and resource trees. All
// are 32-bit; values not named here may still be passed where an operation
// gives "any other value" a meaning.
#pragma once

#include <cstdint>

namespace ZYRK {

// Type of a resource value. 0, 5, 6 and 9 are resource kinds (RES_TYPE_T)
// that share the type byte on the wire; they never occur as value types.
enum VALUE_TYPE_T : uint32_t {
    VALUE_TYPE_BOOL = 1,
    VALUE_TYPE_INT32 = 2,
    VALUE_TYPE_DOUBLE = 3,
    VALUE_TYPE_ASCII = 4,
    VALUE_TYPE_UNICODE = 7,
    VALUE_TYPE_TRANSPARENT = 8,
};

// Display hint of a value.
enum VALUE_HINT_T : uint32_t {
    VALUE_HINT_NONE = 0,
    VALUE_HINT_ONOFF = 1,
    VALUE_HINT_HEX = 2,
    VALUE_HINT_BINARY = 3,
    VALUE_HINT_TIME = 4,
    VALUE_HINT_TEMPERATURE = 5,
};

// How transparent data is held.
enum COPY_TYPE_T : uint32_t {
    COPY_TYPE_REFERENCE = 0,  // points at the caller's bytes, never frees them
    COPY_TYPE_COPY = 1,       // owns its bytes
    COPY_TYPE_TAKEOVER = 2,   // takes the caller's pointer over; stored as 1
    COPY_TYPE_EXISTING = 3,   // copies into the storage already present
};

enum LIMIT_TYPE_T : uint32_t {
    LIMIT_TYPE_NONE = 0,
    LIMIT_TYPE_INT_RANGE = 1,
    LIMIT_TYPE_DOUBLE_RANGE = 2,
    LIMIT_TYPE_ASCII_LIST = 3,
    LIMIT_TYPE_ASCII_MAXLEN = 4,
    LIMIT_TYPE_UNICODE_LIST = 5,
    LIMIT_TYPE_UNICODE_MAXLEN = 6,
};

// 0 asks TypeAsAscii for the one-letter name, anything else for the long name.
enum TYPE_CONVERSION_T : uint32_t {
    TYPE_CONVERSION_SHORT = 0,
    TYPE_CONVERSION_LONG = 1,
};

// Kind of a resource node.
enum RES_TYPE_T : uint32_t {
    RES_TYPE_VALUE = 0,
    RES_TYPE_STRUCT = 5,
    RES_TYPE_STRUCT2 = 6,
    RES_TYPE_MOUNT = 9,
};

// 0 = first child, any other value = last child.
enum CHILD_INDEX_T : uint32_t {
    CHILD_INDEX_FIRST = 0,
    CHILD_INDEX_LAST = 1,
};

// 0 = do not wait, any other value = wait (the wait time travels beside it).
enum RES_WAIT_T : uint32_t {
    RES_NOWAIT = 0,
    RES_WAIT = 1,
};

enum RES_RECURSIVE_T : uint32_t {
    RES_NOT_RECURSIVE = 0,
    RES_RECURSIVE = 1,
};

// How SetAttr combines the given flags with the present ones (a server
// interprets the byte).
enum RES_OPERATOR_T : uint32_t {
    RES_OPERATOR_SET = 0,
    RES_OPERATOR_OR = 1,
    RES_OPERATOR_AND = 2,
};

// FindResources: compare names (0) or absolute paths (1).
enum MATCH_TYPE_T : uint32_t {
    MATCH_NAME = 0,
    MATCH_PATH = 1,
};

// FindResources: 0 = exact case, 1 = ignore case.
enum CASE_TYPE_T : uint32_t {
    CASE_SENSITIVE = 0,
    CASE_INSENSITIVE = 1,
};

// FindResources: 0 = whole text equal, any other value = text contains pattern.
enum EXACT_TYPE_T : uint32_t {
    EXACT_MATCH = 0,
    SUBSTRING_MATCH = 1,
};

// Arguments of dumps and reloads; their meaning is the server's.
enum PATH_TYPE_T : uint32_t { PATH_TYPE_ABSOLUTE = 0, PATH_TYPE_RELATIVE = 1 };
enum PERSISTENCE_T : uint32_t { PERSISTENCE_ALL = 0, PERSISTENCE_PERSISTENT = 1 };
enum DEFAULT_T : uint32_t { DEFAULT_ALL = 0, DEFAULT_NON_DEFAULT = 1 };
enum GID_FILTER_T : uint32_t { GID_FILTER_NONE = 0 };
enum HASH_TYPE_T : uint32_t { HASH_TYPE_NONE = 0 };
enum INFO_TYPE_T : uint32_t { INFO_TYPE_NONE = 0 };

// Subscription kinds. The low byte selects the delivery; adding 256 makes
// the subscription last for ever.
enum RES_SUBSCR_T : uint32_t {
    RES_SUBSCR_QUEUE = 0,
    RES_SUBSCR_QUEUE_LOWPRIO = 5,
    RES_SUBSCR_QUEUE_AGGR = 6,
    RES_SUBSCR_QUEUE_AGGR_LOWPRIO = 7,
    RES_SUBSCR_EVENT = 8,
    RES_SUBSCR_UDP = 9,
    RES_SUBSCR_NOREPLY = 10,
    RES_SUBSCR_UDPV2 = 11,
    RES_SUBSCR_QUEUE_FOREVER = 256,
    RES_SUBSCR_QUEUE_FOREVER_LOWPRIO = 261,
    RES_SUBSCR_QUEUE_AGGR_FOREVER = 262,
    RES_SUBSCR_QUEUE_AGGR_FOREVER_LOWPRIO = 263,
    RES_SUBSCR_EVENT_FOREVER = 264,
    RES_SUBSCR_UDP_FOREVER = 265,
    RES_SUBSCR_UDP_5MIN = 266,
    RES_SUBSCR_UDPV2_FOREVER = 267,
};

// Iteration order of a resource set: 0 = first to last, other = last to first.
enum ITERATION_ORDER_T : uint32_t {
    ITERATION_FORWARD = 0,
    ITERATION_BACKWARD = 1,
};

// Bits of the attribute word (GetAttr).
constexpr uint32_t RES_ATTR_OWNER_GET = 1u << 0;
constexpr uint32_t RES_ATTR_OWNER_SET = 1u << 1;
constexpr uint32_t RES_ATTR_OWNER_CREATE = 1u << 2;
constexpr uint32_t RES_ATTR_OWNER_DELETE = 1u << 3;
constexpr uint32_t RES_ATTR_GROUP_GET = 1u << 4;
constexpr uint32_t RES_ATTR_GROUP_SET = 1u << 5;
constexpr uint32_t RES_ATTR_GROUP_CREATE = 1u << 6;
constexpr uint32_t RES_ATTR_GROUP_DELETE = 1u << 7;
constexpr uint32_t RES_ATTR_OTHERS_GET = 1u << 8;
constexpr uint32_t RES_ATTR_OTHERS_SET = 1u << 9;
constexpr uint32_t RES_ATTR_OTHERS_CREATE = 1u << 10;
constexpr uint32_t RES_ATTR_OTHERS_DELETE = 1u << 11;
constexpr uint32_t RES_ATTR_PERSISTENT = 1u << 12;
constexpr uint32_t RES_ATTR_SYNC = 1u << 13;
constexpr uint32_t RES_ATTR_SUBSCR = 1u << 14;
constexpr uint32_t RES_ATTR_RENAME = 1u << 16;
constexpr uint32_t RES_ATTR_NOTIFY_PARENT = 1u << 18;
constexpr uint32_t RES_ATTR_DEFAULT_HINTED = 1u << 19;
constexpr uint32_t RES_ATTR_HIDDEN = 1u << 23;

// User id that stands for "no user".
constexpr uint16_t RES_NO_USER = 6;

}  // namespace ZYRK
