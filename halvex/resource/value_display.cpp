// The display texts of a resource value: its data, its limits and its type
// name as 8-bit (UTF-8) text. They are built in memory of whatever size they
// need, with the "C" numeric conventions.
#include <halvex/resource/resource_value.h>

#include <halvex/platform/errcodes.h>
#include <halvex/text/numbers_internal.h>
#include <halvex/text/unicode_internal.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

namespace ZYRK {

namespace {

// A malloc'd copy the caller frees; null when memory runs out.
char* Dup(const std::string& s)
{
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p) {
        std::memcpy(p, s.c_str(), s.size() + 1);
    }
    return p;
}

enum class Built { kText, kNone, kNoMemory };

// Builds a display text with `build` and hands out a malloc'd copy of it.
// Building may run out of memory anywhere: that gives 0x64040000.
template <class Build>
unsigned long HandOutText(char** text, Build build)
{
    std::string s;
    Built built;
    try {
        built = build(s);
    } catch (const std::bad_alloc&) {
        built = Built::kNoMemory;
    }
    if (built != Built::kText) {
        return built == Built::kNone ? ERR_OK : ERR_NO_MEMORY;
    }
    *text = Dup(s);
    return *text ? ERR_OK : ERR_NO_MEMORY;
}

}  // namespace

unsigned long CResourceValue::GetAsAscii(char** text, bool useHint) const
{
    if (!text) {
        return ERR_BAD_DATA;
    }
    *text = nullptr;
    return HandOutText(text, [&](std::string& s) {
        switch (m_type) {
        case VALUE_TYPE_BOOL:
            if (useHint && m_hint == VALUE_HINT_ONOFF) {
                s = m_data.b ? "on" : "off";
            } else {
                s = m_data.b ? "true" : "false";
            }
            break;
        case VALUE_TYPE_INT32:
            if (useHint && m_hint == VALUE_HINT_HEX) {
                s = Numbers::Format("0x%x", static_cast<unsigned>(m_data.i));
            } else if (useHint && m_hint == VALUE_HINT_BINARY) {
                s = "0b";
                uint32_t v = static_cast<uint32_t>(m_data.i);
                for (int bit = 31; bit >= 0; --bit) {
                    s += (v >> bit) & 1 ? '1' : '0';
                    if (bit % 8 == 0 && bit != 0) {
                        s += ' ';
                    }
                }
            } else if (useHint && m_hint == VALUE_HINT_TIME && m_data.i > 0) {
                time_t t = m_data.i;
                struct tm tmv {};
                if (localtime_r(&t, &tmv)) {
                    s = Numbers::Format("%04ld-%02ld-%02ld %02ld:%02ld:%02ld", static_cast<long>(tmv.tm_year + 1900),
                               static_cast<long>(tmv.tm_mon + 1), static_cast<long>(tmv.tm_mday),
                               static_cast<long>(tmv.tm_hour), static_cast<long>(tmv.tm_min),
                               static_cast<long>(tmv.tm_sec));
                } else {
                    s = Numbers::Format("%d", m_data.i);
                }
            } else {
                s = Numbers::Format("%d", m_data.i);
            }
            break;
        case VALUE_TYPE_DOUBLE:
            if (useHint && m_hint == VALUE_HINT_TEMPERATURE) {
                s = Numbers::Format("%.3lfC", m_data.d - 273.15);
            } else {
                s = Numbers::Format("%.8g", m_data.d);
            }
            break;
        case VALUE_TYPE_ASCII:
            s = GetAscii();
            break;
        case VALUE_TYPE_UNICODE:
            if (!m_data.u || !Unicode::Utf16ToUtf8(m_data.u, s)) {
                return Built::kNoMemory;
            }
            break;
        case VALUE_TYPE_TRANSPARENT: {
            s = "<";
            unsigned shown = 0;
            if (m_data.frag) {
                for (; shown < 4 && shown < m_data.frag->length; ++shown) {
                    if (shown) {
                        s += ' ';
                    }
                    s += Numbers::Format("0x%x", static_cast<unsigned char>(m_data.frag->data[shown]));
                }
            }
            s += m_size > shown ? "...>" : ">";
            break;
        }
        default:
            return Built::kNone;
        }
        return Built::kText;
    });
}

CText CResourceValue::GetAsAscii(bool useHint) const
{
    char* text = nullptr;
    CText result;
    if (GetAsAscii(&text, useHint) == ERR_OK && text) {
        result = text;
    }
    std::free(text);
    return result;
}

unsigned long CResourceValue::TypeAsAscii(TYPE_CONVERSION_T conversion, char** text) const
{
    if (!text) {
        return ERR_BAD_DATA;
    }
    const char* longName = "?";
    const char* shortName = "?";
    switch (m_type) {
    case VALUE_TYPE_BOOL: longName = "bool"; shortName = "b"; break;
    case VALUE_TYPE_INT32: longName = "int32"; shortName = "i"; break;
    case VALUE_TYPE_DOUBLE: longName = "double"; shortName = "d"; break;
    case VALUE_TYPE_ASCII: longName = "ascii"; shortName = "a"; break;
    case VALUE_TYPE_UNICODE: longName = "unicode"; shortName = "u"; break;
    case VALUE_TYPE_TRANSPARENT: longName = "transp"; shortName = "t"; break;
    default: break;
    }
    *text = Dup(conversion == TYPE_CONVERSION_SHORT ? shortName : longName);
    return *text ? ERR_OK : ERR_NO_MEMORY;
}

unsigned long CResourceValue::GetLimitsAsAscii(char** text, bool useHint) const
{
    if (!text) {
        return ERR_BAD_DATA;
    }
    *text = nullptr;
    if (!m_limits.has) {
        return ERR_UNSUPPORTED;
    }
    return HandOutText(text, [&](std::string& s) {
        switch (m_type) {
        case VALUE_TYPE_INT32:
            if (useHint && m_hint == VALUE_HINT_HEX) {
                s = Numbers::Format("[0x%x, 0x%x]", static_cast<unsigned>(m_limits.imin), static_cast<unsigned>(m_limits.imax));
            } else {
                s = Numbers::Format("[%d, %d]", m_limits.imin, m_limits.imax);
            }
            break;
        case VALUE_TYPE_DOUBLE:
            s = Numbers::Format("[%.2g, %.2g]", m_limits.dmin, m_limits.dmax);
            break;
        case VALUE_TYPE_ASCII:
        case VALUE_TYPE_UNICODE:
            if (m_limits.maxLength) {
                s = Numbers::Format("[%u]", m_limits.maxLength);
            } else if (m_limits.alist || m_limits.ulist) {
                s = "[";
                for (size_t k = 0; m_limits.alist ? m_limits.alist[k] != nullptr : m_limits.ulist[k] != nullptr; ++k) {
                    std::string entry;
                    if (m_limits.alist) {
                        entry = m_limits.alist[k];
                    } else if (!Unicode::Utf16ToUtf8(m_limits.ulist[k], entry)) {
                        return Built::kNoMemory;
                    }
                    s += k ? " \"" : "\"";
                    s += entry;
                    s += '"';
                }
                s += "]";
            } else {
                return Built::kNone;
            }
            break;
        default:
            return Built::kNone;
        }
        return Built::kText;
    });
}

}  // namespace ZYRK
