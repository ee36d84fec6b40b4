// Dumps of a server subtree to a text file and reloads from it.
//
// File format (8-bit text, lines end with "\n"):
//
//   # halvex resource dump 1
//   # paths relative            (or "absolute")
//   # root .net                 (absolute path of the dumped node)
//   # info <escaped text>       (only when the dump was given an info text)
//   <path>\t<kind>\t<type>\t<attr>\t<uid>\t<gid>\t<value>
//   ...
//   # CRC32 1a2b3c4d
//
// One line per node in tree order, parents before their children. <path> is
// the node's path relative to the dumped node ("." for the node itself,
// ".a.b" below it) or its absolute path; <kind> is the resource kind (0 value,
// 5 or 6 structured); <type> the value type (0 for structured nodes);
// <attr> the attribute word in 8 hex digits; <uid>/<gid> the owner in
// decimal. <value>: bool "0"/"1", int32 decimal, double "%.17g", ascii text
// escaped (backslash, tab, CR, LF and every byte outside 0x20..0x7E as \\,
// \t, \r, \n, \xHH), unicode and transparent values as hex digits of their
// read-reply body. Paths are escaped the same way. Template nodes, mount
// points and what lies behind them are not written.
//
// The trailer names the hash function and holds its digest over every byte
// before the trailer line; Reload finds the function as GetHashFunc does and
// refuses a file whose digest does not match, before it changes anything.
//
// The defaults argument of Dump and the info text and type of Reload are not
// used: the tree keeps no default values, and the info text of a dump is
// only recorded in its header.
//
// Files live below the tree's dump folder only: a name from a request is
// taken relative to it, and absolute names or names with a ".." component are
// refused, so a client cannot read or write other files of the camera.
#include <halvex/server/server_tree.h>

#include <halvex/platform/errcodes.h>
#include <halvex/platform/hex.h>
#include <halvex/resource/resource_set.h>
#include <halvex/resource/value_codec.h>
#include <halvex/text/unicode_internal.h>

#include <sys/stat.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace ZYRK {

namespace {

constexpr const char* kHeader = "# halvex resource dump 1";
// Largest dump file Reload reads.
constexpr long kMaxDumpFile = 16L * 1024 * 1024;

std::string Escape(const char* text, size_t n)
{
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default:
            if (c < 0x20 || c > 0x7E) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

bool Unescape(const std::string& in, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out += in[i];
            continue;
        }
        if (++i >= in.size()) return false;
        switch (in[i]) {
        case '\\': out += '\\'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 'x': {
            if (i + 2 >= in.size()) return false;
            int hi = hex_digit(in[i + 1]), lo = hex_digit(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default: return false;
        }
    }
    return true;
}

// The value field of a line; false for a value that cannot be written.
bool ValueText(const CResourceValue& v, std::string& out)
{
    char num[40];
    switch (v.Type()) {
    case VALUE_TYPE_BOOL: out = v.GetBool() ? "1" : "0"; return true;
    case VALUE_TYPE_INT32: std::snprintf(num, sizeof num, "%d", v.GetInt()); out = num; return true;
    case VALUE_TYPE_DOUBLE: std::snprintf(num, sizeof num, "%.17g", v.GetDouble()); out = num; return true;
    case VALUE_TYPE_ASCII: {
        const char* t = v.GetAscii();
        out = Escape(t ? t : "", t ? std::strlen(t) : 0);
        return true;
    }
    case VALUE_TYPE_UNICODE:
    case VALUE_TYPE_TRANSPARENT: {
        std::vector<uint8_t> body(res_value_body_size(v) + 16 + v.GetSize());
        size_t written = 0;
        if (res_encode_reply_value_body(v, body.data(), body.size(), &written) != 0) return false;
        out = hex_encode(body.data(), written);
        return true;
    }
    default: return false;
    }
}

bool ParseValue(uint32_t type, const std::string& text, CResourceValue& v)
{
    char* end = nullptr;
    switch (type) {
    case VALUE_TYPE_BOOL:
        if (text != "0" && text != "1") return false;
        v.SetType(VALUE_TYPE_BOOL);
        return v.Set(text == "1") == ERR_OK;
    case VALUE_TYPE_INT32: {
        long n = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end || n < INT32_MIN || n > INT32_MAX) return false;
        v.SetType(VALUE_TYPE_INT32);
        return v.Set(static_cast<int>(n)) == ERR_OK;
    }
    case VALUE_TYPE_DOUBLE: {
        double d = std::strtod(text.c_str(), &end);
        if (text.empty() || *end) return false;
        v.SetType(VALUE_TYPE_DOUBLE);
        return v.Set(d) == ERR_OK;
    }
    case VALUE_TYPE_ASCII: {
        std::string raw;
        if (!Unescape(text, raw) || raw.find('\0') != std::string::npos) return false;
        v.SetType(VALUE_TYPE_ASCII);
        return v.Set(raw.c_str()) == ERR_OK;
    }
    case VALUE_TYPE_UNICODE:
    case VALUE_TYPE_TRANSPARENT: {
        std::vector<uint8_t> body;
        if (!hex_decode(text, body)) return false;
        v.SetType(static_cast<VALUE_TYPE_T>(type));
        return res_decode_value_body(static_cast<uint8_t>(type), body.data(), body.size(), v, 12) == 0;
    }
    default: return false;
    }
}

std::vector<std::string> SplitTabs(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

bool ParseUnsigned(const std::string& text, int base, unsigned long max, unsigned long& out)
{
    if (text.empty() || !std::isxdigit(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    unsigned long long n = std::strtoull(text.c_str(), &end, base);
    if (*end || n > max) return false;
    out = static_cast<unsigned long>(n);
    return true;
}

std::string WideToUtf8(const wchar_t* w, size_t n)
{
    std::u16string units;
    std::string out;
    if (!Unicode::WideToUtf16(std::wstring_view(w, wcsnlen(w, n)), units) || !Unicode::Utf16ToUtf8(units, out)) {
        out.clear();
    }
    return out;
}

struct DUMP_LINE_T {
    std::string path;  // absolute, unescaped
    uint32_t kind;
    uint32_t type;
    uint32_t attr;
    uint16_t uid;
    uint16_t gid;
    CResourceValue value;
};

}  // namespace

void CServerResourceTree::SetDumpFolder(const char* folder)
{
    std::lock_guard<std::recursive_mutex> g(m_lock);
    m_dumpFolder = folder ? folder : "";
}

std::string CServerResourceTree::GetDumpFolder()
{
    std::lock_guard<std::recursive_mutex> g(m_lock);
    return m_dumpFolder;
}

unsigned long CServerResourceTree::ResolveDumpFile(const std::string& name, std::string& full)
{
    std::string folder = GetDumpFolder();
    if (folder.empty()) return ERR_UNSUPPORTED;
    if (name.empty() || name[0] == '/' || name.find('\\') != std::string::npos ||
        name.find('\0') != std::string::npos || name.back() == '/') {
        return ERR_BAD_PARAMETER;
    }
    size_t start = 0;
    for (;;) {
        size_t slash = name.find('/', start);
        std::string part = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part.empty() || part == "." || part == "..") return ERR_BAD_PARAMETER;
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    full = folder;
    if (full.back() != '/') full += '/';
    full += name;
    return ERR_OK;
}

unsigned long CServerResourceTree::Dump(CResource* resource, const char* fileName, CResourceSet* set,
                                        PATH_TYPE_T pathType, const char* hash, const char* info,
                                        PERSISTENCE_T persistence, DEFAULT_T, const USER_IDENT_T* ident,
                                        GID_FILTER_T gidFilter, unsigned long)
{
    auto* start = dynamic_cast<CServerResource*>(resource);
    if (!start || !fileName) return ERR_BAD_DATA;
    if (start->m_tree != this) return ERR_RES_NOT_IN_TREE;
    std::unique_ptr<CHashFunc> func = CHashFunc::Create(hash && *hash ? hash : "CRC32");
    if (!func) return ERR_UNSUPPORTED;
    std::string full;
    unsigned long r = ResolveDumpFile(fileName, full);
    if (r != ERR_OK) return r;

    std::set<const CResource*> members;
    if (set) {
        for (unsigned long i = 0; i < set->GetNodeCount(); ++i) {
            CResource* m = nullptr;
            if (set->GetNodeByIndex(i, &m) == ERR_OK && m) members.insert(m);
        }
    }

    std::string text;
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        if (start->m_removed) return ERR_RES_NOT_IN_TREE;
        const std::string base = PathOf(start);
        text += kHeader;
        text += pathType == PATH_TYPE_RELATIVE ? "\n# paths relative\n" : "\n# paths absolute\n";
        text += "# root " + Escape(base.data(), base.size()) + "\n";
        if (info && *info) text += "# info " + Escape(info, std::strlen(info)) + "\n";

        // Depth first, in child order; a structured node is written so that a
        // reload can create it, its values only when they pass the filters.
        std::vector<CServerResource*> stack{start};
        while (!stack.empty()) {
            CServerResource* n = stack.back();
            stack.pop_back();
            if (n->m_kind == RES_TYPE_MOUNT) continue;
            const bool structured = n->m_kind == RES_TYPE_STRUCT || n->m_kind == RES_TYPE_STRUCT2;
            if (structured && !n->IsOpenChildAllowed(ident)) continue;
            bool write = true;
            std::string value;
            if (!structured) {
                write = n->IsGetAllowed(ident) && (!set || members.count(n)) &&
                        (persistence != PERSISTENCE_PERSISTENT || (n->m_attr & RES_ATTR_PERSISTENT)) &&
                        (gidFilter == GID_FILTER_NONE || n->m_gid == gidFilter) && ValueText(n->m_value, value);
            }
            if (write) {
                std::string path = PathOf(n);
                if (pathType == PATH_TYPE_RELATIVE) {
                    path = n == start ? "." : base == "." ? path : path.substr(base.size());
                }
                char fields[80];
                std::snprintf(fields, sizeof fields, "\t%u\t%u\t%08X\t%u\t%u\t", static_cast<unsigned>(n->m_kind),
                              structured ? 0u : static_cast<unsigned>(n->m_value.Type()),
                              static_cast<unsigned>(n->m_attr), static_cast<unsigned>(n->m_uid),
                              static_cast<unsigned>(n->m_gid));
                text += Escape(path.data(), path.size()) + fields + value + "\n";
            }
            for (auto it = n->m_children.rbegin(); it != n->m_children.rend(); ++it) stack.push_back(*it);
        }
    }
    func->Reset();
    func->Update(text.data(), text.size());
    text += std::string("# ") + func->Name() + " " + func->Digest() + "\n";

    // Written beside and renamed over the old file, so that a failed dump
    // never leaves half a file behind under the real name.
    const std::string temp = full + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) return ERR_IO;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fflush(f) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), full.c_str()) != 0) {
        std::remove(temp.c_str());
        return ERR_IO;
    }
    return ERR_OK;
}

unsigned long CServerResourceTree::ReloadFile(CResource* resource, const std::string& fileName, HASH_TYPE_T hash,
                                              const USER_IDENT_T* ident)
{
    auto* start = dynamic_cast<CServerResource*>(resource);
    if (!start) return ERR_BAD_DATA;
    if (start->m_tree != this) return ERR_RES_NOT_IN_TREE;
    std::string full;
    unsigned long r = ResolveDumpFile(fileName, full);
    if (r != ERR_OK) return r;

    struct stat st{};
    if (::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return ERR_NOT_FOUND;
    if (st.st_size > kMaxDumpFile) return ERR_BAD_DATA;
    std::string text;
    {
        FILE* f = std::fopen(full.c_str(), "rb");
        if (!f) return ERR_NOT_FOUND;
        text.resize(static_cast<size_t>(st.st_size));
        size_t got = std::fread(text.data(), 1, text.size(), f);
        std::fclose(f);
        text.resize(got);
    }
    if (text.empty() || text.back() != '\n') return ERR_BAD_DATA;
    size_t trailerStart = text.rfind('\n', text.size() - 2);
    trailerStart = trailerStart == std::string::npos ? 0 : trailerStart + 1;
    const std::string trailer = text.substr(trailerStart, text.size() - 1 - trailerStart);
    if (trailer.compare(0, 2, "# ") != 0) return ERR_BAD_DATA;
    const std::string body = text.substr(0, trailerStart);
    if (hash != HASH_TYPE_NONE) {
        std::unique_ptr<CHashFunc> func = GetHashFunc(full.c_str());
        if (!func) return ERR_UNSUPPORTED;
        func->Reset();
        func->Update(body.data(), body.size());
        if (trailer != std::string("# ") + func->Name() + " " + func->Digest()) return ERR_BAD_DATA;
    }

    if (body.compare(0, std::strlen(kHeader) + 1, std::string(kHeader) + "\n") != 0) return ERR_BAD_DATA;

    // Every line is read and checked before the tree changes.
    std::string base;
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        if (start->m_removed) return ERR_RES_NOT_IN_TREE;
        base = PathOf(start);
    }
    bool relative = false;
    bool sawPaths = false;
    std::vector<DUMP_LINE_T> lines;
    size_t pos = 0;
    for (size_t number = 0; pos < body.size(); ++number) {
        size_t eol = body.find('\n', pos);
        std::string line = body.substr(pos, eol - pos);
        pos = eol + 1;
        if (number == 0) {
            if (line != kHeader) return ERR_BAD_DATA;
            continue;
        }
        if (line.compare(0, 2, "# ") == 0) {
            if (line == "# paths relative" || line == "# paths absolute") {
                relative = line == "# paths relative";
                sawPaths = true;
            }
            continue;
        }
        std::vector<std::string> f = SplitTabs(line);
        if (f.size() != 7 || !sawPaths) return ERR_BAD_DATA;
        DUMP_LINE_T d;
        unsigned long kind = 0, type = 0, attr = 0, uid = 0, gid = 0;
        std::string path;
        if (!Unescape(f[0], path) || path.empty() || path[0] != '.' || !ParseUnsigned(f[1], 10, 9, kind) ||
            !ParseUnsigned(f[2], 10, 9, type) || !ParseUnsigned(f[3], 16, 0xFFFFFFFFul, attr) ||
            !ParseUnsigned(f[4], 10, 0xFFFF, uid) || !ParseUnsigned(f[5], 10, 0xFFFF, gid)) {
            return ERR_BAD_DATA;
        }
        if (relative) {
            d.path = path == "." ? base : base == "." ? path : base + path;
        } else {
            if (base != "." && path != base && path.compare(0, base.size() + 1, base + ".") != 0) {
                return ERR_BAD_DATA;  // outside the node being reloaded
            }
            d.path = path;
        }
        d.kind = static_cast<uint32_t>(kind);
        d.type = static_cast<uint32_t>(type);
        d.attr = static_cast<uint32_t>(attr) & ~RES_ATTR_HIDDEN;
        d.uid = static_cast<uint16_t>(uid);
        d.gid = static_cast<uint16_t>(gid);
        if (kind == RES_TYPE_STRUCT || kind == RES_TYPE_STRUCT2) {
            if (type != 0 || !f[6].empty()) return ERR_BAD_DATA;
        } else if (kind != RES_TYPE_VALUE || !ParseValue(d.type, f[6], d.value)) {
            return ERR_BAD_DATA;
        }
        lines.push_back(std::move(d));
    }

    // Existing values are written (with their subscribers notified); missing
    // nodes are created with the attributes and owner of the file. The first
    // failure is reported; the other lines are still applied.
    unsigned long result = ERR_OK;
    auto fail = [&result](unsigned long code) {
        if (result == ERR_OK) result = code;
    };
    for (DUMP_LINE_T& d : lines) {
        CResource* existing = nullptr;
        if (OpenResource(CResourcePath(d.path.c_str()), &existing, nullptr) == ERR_OK && existing) {
            auto* n = dynamic_cast<CServerResource*>(existing);
            auto structured = [](uint32_t k) { return k == RES_TYPE_STRUCT || k == RES_TYPE_STRUCT2; };
            if (!n || (n->m_kind != d.kind && !(structured(n->m_kind) && structured(d.kind)))) {
                fail(ERR_RES_WRONG_TYPE);
            } else if (d.kind == RES_TYPE_VALUE) {
                if (n->m_value.Type() != d.type) {
                    fail(ERR_RES_WRONG_TYPE);
                } else {
                    unsigned long s = n->Set(d.value, RES_NOWAIT, 0, ident);
                    if (s != ERR_OK) fail(s);
                }
            }
            existing->Close();
            continue;
        }
        if (ident) {
            const size_t dot = d.path.rfind('.');
            const std::string parentPath = dot == 0 ? "." : d.path.substr(0, dot);
            CResource* parent = nullptr;
            if (OpenResource(CResourcePath(parentPath.c_str()), &parent, nullptr) != ERR_OK || !parent) {
                fail(ERR_RES_NOT_IN_TREE);
                continue;
            }
            const bool allowed = parent->IsAddChildAllowed(ident);
            parent->Close();
            if (!allowed) {
                fail(ERR_PERMISSION_DENIED);
                continue;
            }
        }
        SERVER_NODE_OPTIONS_T options;
        options.attr = d.attr;
        options.ownerUid = d.uid;
        options.ownerGid = d.gid;
        unsigned long a = AddInternal(d.path.c_str(), static_cast<RES_TYPE_T>(d.kind),
                                      d.kind == RES_TYPE_VALUE ? &d.value : nullptr, options, nullptr);
        if (a != ERR_OK) fail(a);
    }
    return result;
}

unsigned long CServerResourceTree::Reload(CResource* resource, const wchar_t* fileName, HASH_TYPE_T hash,
                                          const char*, INFO_TYPE_T, const USER_IDENT_T* ident)
{
    if (!fileName) return ERR_BAD_DATA;
    return ReloadFile(resource, WideToUtf8(fileName, std::wcslen(fileName)), hash, ident);
}

unsigned long CServerResourceTree::Reload(CResource* resource, const char* fileName, HASH_TYPE_T hash,
                                          const char*, INFO_TYPE_T, const USER_IDENT_T* ident)
{
    if (!fileName) return ERR_BAD_DATA;
    return ReloadFile(resource, fileName, hash, ident);
}

unsigned long CServerResourceTree::Reload(CResource* resource, const wchar_t* fileName, unsigned long length,
                                          HASH_TYPE_T hash, const char*, INFO_TYPE_T, const USER_IDENT_T* ident)
{
    if (!fileName) return ERR_BAD_DATA;
    return ReloadFile(resource, WideToUtf8(fileName, length), hash, ident);
}

unsigned long CServerResourceTree::Reload(CResource* resource, const char* fileName, unsigned long length,
                                          HASH_TYPE_T hash, const char*, INFO_TYPE_T, const USER_IDENT_T* ident)
{
    if (!fileName) return ERR_BAD_DATA;
    return ReloadFile(resource, std::string(fileName, strnlen(fileName, length)), hash, ident);
}

}  // namespace ZYRK
