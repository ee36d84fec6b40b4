#include <halvex/resource/resource_path.h>

#include <halvex/platform/errcodes.h>
#include <halvex/resource/resource.h>
#include <halvex/resource/resource_value.h>
#include <halvex/text/numbers_internal.h>

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace ZYRK {

CResourcePath::CResourcePath() = default;

CResourcePath::CResourcePath(const char* text) : CText(text) {}

CResourcePath::CResourcePath(const wchar_t* text)
{
    CText wide(text ? text : L"");
    TextCopy(wide.AsChar());
}

CResourcePath::CResourcePath(unsigned long number)
{
    Format("%d", static_cast<int>(static_cast<uint32_t>(number)));
}

CResourcePath::CResourcePath(const CResourcePath& other) : CText()
{
    TextCopy(other.AsChar());
}

CResourcePath::CResourcePath(const CResourceValue& value)
{
    CText text = value.GetAsAscii(true);
    TextCopy(text.AsChar());
}

CResourcePath::~CResourcePath() = default;

CResourcePath& CResourcePath::operator=(const CResourcePath& other)
{
    if (this != &other) {
        TextCopy(other.AsChar());
    }
    return *this;
}

CResourcePath::TYPE_T CResourcePath::Type() const
{
    return AsChar()[0] == '.' ? ABSOLUTE : RELATIVE;
}

unsigned long CResourcePath::GetLevelsDown() const
{
    const char* t = AsChar();
    if (std::strcmp(t, ".") == 0) {
        return 0;
    }
    return static_cast<unsigned long>(std::count(t, t + std::strlen(t), '.'));
}

unsigned long CResourcePath::StripPath()
{
    int p = ReverseFind('.');
    if (p >= 0) {
        TextCopy(AsChar() + p + 1);
    }
    return 0;
}

unsigned long CResourcePath::StripName()
{
    int p = ReverseFind('.');
    if (p >= 0) {
        TextCopy(AsChar(), p);
    } else {
        TextCopy("");
    }
    return 0;
}

unsigned long CResourcePath::StripBeginning(unsigned long n)
{
    int pos = AsChar()[0] == '.' ? 1 : 0;
    for (unsigned long i = 0; i < n; ++i) {
        int dot = Find('.', pos);
        if (dot <= 0) {
            break;
        }
        pos = dot + 1;
    }
    TextCopy(AsChar() + pos);
    return 1;
}

unsigned long CResourcePath::Subtract(const CResourcePath& other)
{
    std::string own = AsChar();
    std::string sub = other.AsChar();
    if (sub.empty()) {
        return 0;
    }
    size_t at = own.find(sub);
    if (at == std::string::npos) {
        return 0;
    }
    std::string before = own.substr(0, at);
    std::string after = own.substr(at + sub.size());
    if (at > 0 && own[at - 1] == '.' && !after.empty() && after[0] == '.') {
        after.erase(0, 1);
    }
    TextCopy((before + after).c_str());
    return 0;
}

unsigned long CResourcePath::GetPathChunk(int index, CResourcePath& out, int& offset) const
{
    const char* t = AsChar();
    if (!*t || index < 0) {
        return ERR_BAD_DATA;
    }
    int pos = t[0] == '.' ? 1 : 0;
    for (int i = 0; i < index; ++i) {
        int dot = Find('.', pos);
        if (dot <= 0) {
            return ERR_NOT_FOUND;
        }
        pos = dot + 1;
    }
    int end = Find('.', pos);
    int len = end < 0 ? static_cast<int>(std::strlen(t)) - pos : end - pos;
    std::string chunk(t + pos, static_cast<size_t>(std::max(len, 0)));
    out = CResourcePath(chunk.c_str());
    offset = pos;
    return 0;
}

int CResourcePath::CompareStart(const CResourcePath& other) const
{
    size_t n = std::min(std::strlen(AsChar()), std::strlen(other.AsChar()));
    int c = std::strncmp(AsChar(), other.AsChar(), n);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

unsigned long CResourcePath::Append(const CResourcePath& other)
{
    std::string own = AsChar();
    std::string add = other.AsChar();
    if (own != "." && other.Type() == RELATIVE && !add.empty()) {
        own += ".";
        own += add;
    } else if (own == "." && other.Type() == ABSOLUTE) {
        own = add;
    } else {
        own += add;
    }
    TextCopy(own.c_str());
    return 0;
}

unsigned long CResourcePath::Insert(const CResourcePath& other)
{
    CResourcePath result(Type() == ABSOLUTE && other.Type() == RELATIVE ? "." : "");
    result.Append(other);
    result.Append(*this);
    TextCopy(result.AsChar());
    return 0;
}

unsigned long CResourcePath::MakeAbsolute()
{
    if (Type() == RELATIVE) {
        CResourcePath result(".");
        result.Append(*this);
        TextCopy(result.AsChar());
    }
    return 0;
}

unsigned long CResourcePath::MakeRelative()
{
    if (Type() == ABSOLUTE) {
        TextCopy(AsChar() + 1);
    }
    return 0;
}

int res_name_similarity(const char* a, const char* b)
{
    if (!a || !b) {
        return 0;
    }
    std::string longer = a, shorter = b;
    if (shorter.size() > longer.size()) {
        std::swap(longer, shorter);
    }
    size_t ll = longer.size(), ls = shorter.size();
    if (ll == 0) {
        return 100;
    }
    long tolerance = static_cast<long>(ll - ls) + static_cast<long>(ll / 3);
    // Longest in-order matching in which matched characters lie at most
    // `tolerance` positions apart. Two rows of the table are enough, so a
    // long name (a peer's child name) costs memory only by the shorter one.
    std::vector<unsigned> prev(ls + 1, 0), row(ls + 1, 0);
    for (size_t i = 1; i <= ll; ++i) {
        row[0] = 0;
        for (size_t j = 1; j <= ls; ++j) {
            unsigned v = std::max(prev[j], row[j - 1]);
            long dist = static_cast<long>(i) - static_cast<long>(j);
            if (longer[i - 1] == shorter[j - 1] && (dist < 0 ? -dist : dist) <= tolerance) {
                v = std::max(v, prev[j - 1] + 1);
            }
            row[j] = v;
        }
        std::swap(prev, row);
    }
    return static_cast<int>(static_cast<unsigned long>(prev[ls]) * 100 / ll);
}

}  // namespace ZYRK

using namespace ZYRK;

namespace {
constexpr size_t kMaxNameLength = 99;
}

unsigned long res_open_best_child(CResource* parent, const CText* name, CResource** out)
{
    if (!parent || !name || !out) {
        return ERR_BAD_DATA;
    }
    CResource* child = nullptr;
    if (parent->OpenChild(CHILD_INDEX_FIRST, &child, nullptr) != 0 || !child) {
        return ERR_BAD_DATA;
    }
    int bestScore = -1;
    CResourcePath bestName;
    while (child) {
        CResourcePath childName;
        if (child->GetName(childName) == 0) {
            int score = strcasecmp(childName.AsChar(), name->AsChar()) == 0
                            ? 95
                            : res_name_similarity(childName.AsChar(), name->AsChar());
            if (score > bestScore) {
                bestScore = score;
                bestName = childName;
            }
        }
        CResource* next = nullptr;
        unsigned long r = child->Iterate(&next, nullptr);
        child->Close();
        child = r == 0 ? next : nullptr;
    }
    if (bestScore > 74) {
        return parent->OpenChild(bestName, out, nullptr);
    }
    return ERR_BAD_DATA;
}

unsigned long res_path_parse(CResourceTree* tree, const char* text, CResource** out, bool fuzzy)
{
    if (!tree || !text || !*text || !out) {
        return ERR_BAD_DATA;
    }
    if (std::strcmp(text, ".") == 0) {
        return tree->OpenResource(CResourcePath("."), out, nullptr);
    }
    CResource* current = nullptr;
    unsigned long r = tree->OpenResource(CResourcePath("."), &current, nullptr);
    if (r != 0) {
        return r;
    }
    bool usedFuzzy = false;
    size_t len = std::strlen(text);
    size_t pos = 0;
    while (pos < len) {
        CResource* next = nullptr;
        if (text[pos] == '.' && text[pos + 1] == '.') {
            r = current->OpenParent(&next, nullptr);
            pos += 2;
        } else {
            if (text[pos] == '.') {
                ++pos;
            }
            const char* dot = std::strchr(text + pos, '.');
            size_t nameLen = dot ? static_cast<size_t>(dot - (text + pos)) : len - pos;
            if (nameLen == 0) {
                break;  // a trailing '.'
            }
            if (nameLen > kMaxNameLength) {
                current->Close();
                return ERR_BAD_DATA;
            }
            std::string name(text + pos, nameLen);
            pos += nameLen;
            uint32_t index = 0;
            Numbers::ReadResult number = nameLen > 2 && name.compare(0, 2, "##") == 0
                                             ? Numbers::ReadUInt32(name.c_str() + 2, index)
                                             : Numbers::ReadResult::kNoNumber;
            if (number == Numbers::ReadResult::kOutOfRange) {
                // An index no node can have: refused, not cut to another one.
                current->Close();
                return ERR_BAD_DATA;
            }
            if (number == Numbers::ReadResult::kOk) {
                r = current->OpenChild(static_cast<unsigned long>(index), &next, nullptr);
            } else {
                r = current->OpenChild(CResourcePath(name.c_str()), &next, nullptr);
            }
            if (r != 0 && fuzzy) {
                CText wanted(name.c_str());
                next = nullptr;
                if (res_open_best_child(current, &wanted, &next) == 0) {
                    r = 0;
                    usedFuzzy = true;
                }
            }
        }
        if (r != 0 || !next) {
            current->Close();
            return r != 0 ? r : ERR_BAD_DATA;
        }
        current->Close();
        current = next;
    }
    *out = current;
    if (usedFuzzy) {
        CResourcePath path;
        tree->GetAbsolutePath(current, path, nullptr);
        std::printf("fuzzy: %s\n", path.AsChar());
        std::fflush(stdout);
    }
    return 0;
}
