// Result codes of halvex: unsigned 32-bit, 0 = success, grouped by the upper
// 16 bits. Texts and the conversion of protocol results live with the client
// protocol engine (res_interpret_errcode, ConvertErrcode).
#pragma once

#include <cstdint>

namespace ZYRK {

using RESULT_T = uint32_t;

constexpr RESULT_T ERR_OK = 0;

// Groups (upper 16 bits).
constexpr RESULT_T ERR_GROUP_IO = 0x64010000;           // input and output
constexpr RESULT_T ERR_GROUP_ILLEGAL_MODE = 0x64030000;
constexpr RESULT_T ERR_GROUP_RESOURCES = 0x64040000;    // out of memory and other resources
constexpr RESULT_T ERR_GROUP_UNSUPPORTED = 0x64060000;
constexpr RESULT_T ERR_GROUP_BAD_DATA = 0x64070000;
constexpr RESULT_T ERR_GROUP_TIMEOUT = 0x64080000;
constexpr RESULT_T ERR_GROUP_STATE = 0x64090000;
constexpr RESULT_T ERR_GROUP_DUPLICATE = 0x640B0000;
constexpr RESULT_T ERR_GROUP_PERMISSION = 0x640C0000;
constexpr RESULT_T ERR_GROUP_NOT_FOUND = 0x640D0000;
constexpr RESULT_T ERR_GROUP_INTERRUPTED = 0x640F0000;
constexpr RESULT_T ERR_GROUP_RESTREE = 0xAB010000;      // resource tree

// Individual codes. Append new ones here (keep the file sorted by value).
constexpr RESULT_T ERR_ILLEGAL_MODE = 0x64030000;
constexpr RESULT_T ERR_NO_MEMORY = 0x64040000;
constexpr RESULT_T ERR_UNSUPPORTED = 0x64060000;
constexpr RESULT_T ERR_BAD_DATA = 0x64070000;
constexpr RESULT_T ERR_OUT_OF_RANGE = 0x64070003;
constexpr RESULT_T ERR_NOT_FOUND = 0x640D0000;
constexpr RESULT_T ERR_RES_WRONG_TYPE = 0xAB010003;

}  // namespace ZYRK
