// res_handle_set for every value type, with and without limits: a text is
// either stored as the number, text or bytes it names, or refused with the
// value left as it was; never cut down to some other value.
#include "fuzz/fuzz_input.h"
#include "tests/halvex_resource/mem_tree.h"

#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_value.h>

#include <locale.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace ZYRK;

namespace {

const VALUE_TYPE_T kTypes[] = {VALUE_TYPE_BOOL,  VALUE_TYPE_INT32,   VALUE_TYPE_DOUBLE,
                               VALUE_TYPE_ASCII, VALUE_TYPE_UNICODE, VALUE_TYPE_TRANSPARENT};

CResourceValue Initial(VALUE_TYPE_T type, bool limits)
{
    const char* alist[] = {"manual", "dhcp", "", nullptr};
    const char16_t* ulist[] = {u"on", u"\U0001F600", u"\xD800", nullptr};
    switch (type) {
    case VALUE_TYPE_INT32:
        return limits ? CResourceValue(7, -100, 100) : CResourceValue(7);
    case VALUE_TYPE_DOUBLE:
        return limits ? CResourceValue(0.5, -1.0, 1.0) : CResourceValue(0.5);
    case VALUE_TYPE_ASCII:
        return limits ? CResourceValue("manual", alist, VALUE_HINT_NONE, false) : CResourceValue("old");
    case VALUE_TYPE_UNICODE: {
        CResourceValue v(u"on");
        if (limits) {
            v.SetLimits(ulist, false);
        }
        return v;
    }
    case VALUE_TYPE_TRANSPARENT:
        return CResourceValue(const_cast<char*>("old"), 3, COPY_TYPE_COPY);
    default:
        return CResourceValue(false);
    }
}

// Valid UTF-16: every high surrogate followed by a low one, no lone low one.
bool WellFormed(const char16_t* u)
{
    for (; *u; ++u) {
        if (*u >= 0xD800 && *u < 0xDC00) {
            if (!(u[1] >= 0xDC00 && u[1] < 0xE000)) {
                return false;
            }
            ++u;
        } else if (*u >= 0xDC00 && *u < 0xE000) {
            return false;
        }
    }
    return true;
}

void CheckInt(const char* text, unsigned long r, const CResourceValue& before, const CResourceValue& after,
              bool limits)
{
    long long expected = 0;
    bool parses = false;
    if (std::strncmp(text, "0x", 2) == 0) {
        const char* p = text + 2;
        while (std::isspace(static_cast<unsigned char>(*p))) {
            ++p;
        }
        if (std::isxdigit(static_cast<unsigned char>(*p))) {
            errno = 0;
            unsigned long long u = std::strtoull(p, nullptr, 16);
            parses = errno == 0 && u <= 0xFFFFFFFFULL;
            expected = static_cast<int32_t>(static_cast<uint32_t>(u));
        }
    } else {
        const char* p = text;
        while (std::isspace(static_cast<unsigned char>(*p))) {
            ++p;
        }
        const char* d = (*p == '-' || *p == '+') ? p + 1 : p;
        if (std::isdigit(static_cast<unsigned char>(*d))) {
            errno = 0;
            long long v = std::strtoll(p, nullptr, 10);
            parses = errno == 0 && v >= INT32_MIN && v <= INT32_MAX;
            expected = v;
        }
    }
    if (!parses) {
        FUZZ_CHECK(r == ERR_BAD_DATA && after.GetInt() == before.GetInt());
    } else if (limits && (expected < -100 || expected > 100)) {
        FUZZ_CHECK(r == ERR_OUT_OF_RANGE && after.GetInt() == before.GetInt());
    } else {
        FUZZ_CHECK(r == 0 && after.GetInt() == expected);
    }
}

void CheckDouble(const char* text, unsigned long r, const CResourceValue& before, const CResourceValue& after,
                 bool limits)
{
    static const locale_t c = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
    errno = 0;
    char* end = nullptr;
    double v = strtod_l(text, &end, c);
    bool parses = end != text && !(errno == ERANGE && std::isinf(v));
    bool same = std::isnan(v) ? std::isnan(after.GetDouble()) : after.GetDouble() == v;
    if (!parses) {
        FUZZ_CHECK(r == ERR_BAD_DATA && after.Compare(before) == 0);
    } else if (limits && !(v >= -1.0 && v <= 1.0)) {
        FUZZ_CHECK(r == ERR_OUT_OF_RANGE && after.Compare(before) == 0);
    } else {
        FUZZ_CHECK(r == 0 && same);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 4096) {
        return 0;
    }
    VALUE_TYPE_T type = kTypes[(data[0] & 0x7F) % 6];
    bool limits = data[0] & 0x80;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text = text.c_str();  // up to the first NUL, as a C caller hands it

    CMemResourceTree tree;
    tree.AddNode(".", "v", RES_TYPE_VALUE, Initial(type, limits));
    CResource* res = nullptr;
    FUZZ_CHECK(tree.OpenResource(CResourcePath(".v"), &res, nullptr) == 0);
    const CResourceValue& stored = tree.FindNode(".v")->value;
    CResourceValue before(stored);
    unsigned long r = res_handle_set(res, text.c_str(), RES_NOWAIT);

    switch (type) {
    case VALUE_TYPE_BOOL: {
        const char* t = text.c_str();
        bool yes = !strcasecmp(t, "true") || !strcasecmp(t, "yes") || !strcasecmp(t, "on");
        FUZZ_CHECK(r == 0 && stored.GetBool() == yes);
        break;
    }
    case VALUE_TYPE_INT32:
        CheckInt(text.c_str(), r, before, stored, limits);
        break;
    case VALUE_TYPE_DOUBLE:
        CheckDouble(text.c_str(), r, before, stored, limits);
        break;
    case VALUE_TYPE_ASCII:
        if (!limits) {
            FUZZ_CHECK(r == 0 && text == stored.GetAscii());
        } else {
            FUZZ_CHECK(r == 0 || (r == ERR_OUT_OF_RANGE && stored.Compare(before) == 0));
        }
        break;
    case VALUE_TYPE_UNICODE:
        FUZZ_CHECK(r == 0 || (limits && r == ERR_OUT_OF_RANGE && stored.Compare(before) == 0));
        // Any 8-bit text makes well-formed UTF-16; only a list entry of the
        // value's own (the lone surrogate) may be stored as it is.
        FUZZ_CHECK(WellFormed(stored.GetUTF16Ptr()) || limits);
        FUZZ_CHECK(stored.GetSize() == (stored.GetLength() + 1) * 2);
        break;
    case VALUE_TYPE_TRANSPARENT: {
        size_t tokens = 0;
        for (size_t at = text.find("0x"); at != std::string::npos; at = text.find("0x", at + 2)) {
            ++tokens;
        }
        for (size_t at = text.find("0X"); at != std::string::npos; at = text.find("0X", at + 2)) {
            ++tokens;
        }
        if (r == 0) {
            FUZZ_CHECK(stored.GetSize() <= tokens && stored.GetSize() * 3 <= text.size());
        } else {
            FUZZ_CHECK(r == ERR_BAD_DATA && stored.Compare(before) == 0);
        }
        break;
    }
    default:
        break;
    }
    CText shown = stored.GetAsAscii(true);
    (void)shown;
    res->Close();
    return 0;
}
