// res_handle_set: a resource's value typed in as text. The text is read by
// the resource's value type; a number the type cannot hold is refused, never
// cut down to another value.
#include <halvex/resource/resource_value.h>

#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource.h>
#include <halvex/text/numbers_internal.h>
#include <halvex/text/unicode_internal.h>

#include <strings.h>

#include <cctype>
#include <cstring>
#include <new>
#include <string>

using namespace ZYRK;

namespace {

unsigned long ReadFailure(Numbers::ReadResult r)
{
    return r == Numbers::ReadResult::kOk ? ERR_OK : ERR_BAD_DATA;
}

// "0x" texts are hexadecimal (the 32 bits of the value, as the hexadecimal
// display shows them), any other text decimal.
unsigned long ParseInt32(const char* text, CResourceValue& value)
{
    if (std::strncmp(text, "0x", 2) == 0) {
        uint32_t u = 0;
        unsigned long r = ReadFailure(Numbers::ReadHex32(text + 2, u));
        return r == ERR_OK ? value.Set(static_cast<int>(static_cast<int32_t>(u))) : r;
    }
    int32_t v = 0;
    unsigned long r = ReadFailure(Numbers::ReadInt32(text, v));
    return r == ERR_OK ? value.Set(static_cast<int>(v)) : r;
}

unsigned long ParseDouble(const char* text, CResourceValue& value)
{
    double d = 0;
    unsigned long r = ReadFailure(Numbers::ReadDouble(text, d));
    return r == ERR_OK ? value.Set(d) : r;
}

// Bytes written as " 0x%x" each, blanks allowed before every one.
unsigned long ParseTransparent(const char* text, CResourceValue& value)
{
    std::string bytes;
    const char* p = text;
    try {
        for (;;) {
            while (*p == ' ' || *p == '\t') {
                ++p;
            }
            if (!*p) {
                break;
            }
            if (p[0] != '0' || (p[1] != 'x' && p[1] != 'X') || !std::isxdigit(static_cast<unsigned char>(p[2]))) {
                return ERR_BAD_DATA;
            }
            const char* digits = p + 2;
            const char* end = digits;
            while (std::isxdigit(static_cast<unsigned char>(*end))) {
                ++end;
            }
            uint32_t b = 0;
            if (Numbers::ReadHex32(digits, b) != Numbers::ReadResult::kOk || b > 0xFF ||
                (*end && *end != ' ' && *end != '\t')) {
                return ERR_BAD_DATA;
            }
            bytes += static_cast<char>(b);
            p = end;
        }
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
    return value.Set(bytes.data(), bytes.size(), COPY_TYPE_COPY, 0);
}

unsigned long ParseUnicode(const char* text, CResourceValue& value)
{
    std::u16string units;
    if (!Unicode::Utf8ToUtf16(text, units)) {
        return ERR_NO_MEMORY;
    }
    return value.Set(units.c_str());
}

}  // namespace

unsigned long res_handle_set(CResource* resource, const char* text, RES_WAIT_T wait)
{
    if (!resource || !text) {
        return ERR_BAD_DATA;
    }
    VALUE_TYPE_T type = VALUE_TYPE_INT32;
    unsigned long r = resource->ValueType(type);
    if (r != ERR_OK) {
        return r;
    }
    CResourceValue value(type);
    switch (type) {
    case VALUE_TYPE_BOOL:
        r = value.Set(strcasecmp(text, "true") == 0 || strcasecmp(text, "yes") == 0 || strcasecmp(text, "on") == 0);
        break;
    case VALUE_TYPE_INT32:
        r = ParseInt32(text, value);
        break;
    case VALUE_TYPE_DOUBLE:
        r = ParseDouble(text, value);
        break;
    case VALUE_TYPE_ASCII:
        r = value.Set(text);
        break;
    case VALUE_TYPE_UNICODE:
        r = ParseUnicode(text, value);
        break;
    case VALUE_TYPE_TRANSPARENT:
        r = ParseTransparent(text, value);
        break;
    default:
        return ERR_BAD_DATA;
    }
    if (r != ERR_OK) {
        return r;
    }
    value.SetHint(VALUE_HINT_NONE);
    return resource->Set(value, wait, 0, nullptr);
}
