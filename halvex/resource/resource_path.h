// CResourcePath: a dotted resource path such as ".services.net.interface".
// "." is the root; a leading '.' makes a path absolute; names never contain
// '.' (there is no escaping). The path text is the whole state of the object.
#pragma once

#include <halvex/halvex_export.h>
#include <halvex/text/text.h>

namespace ZYRK {

class CResourceValue;
class CResource;
class CResourceTree;

class HALVEX_API CResourcePath : public CText {
public:
    enum TYPE_T : uint32_t { ABSOLUTE = 0, RELATIVE = 1 };

    CResourcePath();
    CResourcePath(const char* text);
    CResourcePath(const wchar_t* text);
    // The number formatted with "%d" (32-bit), so 2^31 and above appear negative.
    explicit CResourcePath(unsigned long number);
    CResourcePath(const CResourcePath& other);
    // The value's display text (GetAsAscii with hints).
    explicit CResourcePath(const CResourceValue& value);
    ~CResourcePath() override;

    CResourcePath& operator=(const CResourcePath& other);

    TYPE_T Type() const;
    unsigned long GetLevelsDown() const;
    unsigned long StripPath();
    unsigned long StripName();
    unsigned long StripBeginning(unsigned long n);
    unsigned long Subtract(const CResourcePath& other);
    unsigned long GetPathChunk(int index, CResourcePath& out, int& offset) const;
    int CompareStart(const CResourcePath& other) const;
    unsigned long Append(const CResourcePath& other);
    unsigned long Insert(const CResourcePath& other);
    unsigned long MakeAbsolute();
    unsigned long MakeRelative();
};

}  // namespace ZYRK

// Resolves text against tree step by step from the root: ".." opens the
// parent, "##n" the child with index n, any other name the child of that
// name. With fuzzy set, a name that does not open falls back to the closest
// child name (res_open_best_child). *out receives the final node, opened once.
HALVEX_C_API unsigned long res_path_parse(ZYRK::CResourceTree* tree, const char* text, ZYRK::CResource** out,
                                          bool fuzzy);

// Opens into *out the child of parent whose name is most similar to name
// (95 when equal ignoring case, else the similarity percentage); the best
// score must exceed 74.
HALVEX_C_API unsigned long res_open_best_child(ZYRK::CResource* parent, const CText* name, ZYRK::CResource** out);

namespace ZYRK {
// Similarity percentage of two names (0..100): characters of the longer name
// matched in order by equal characters of the shorter one, within a position
// tolerance of the length difference plus a third of the longer length.
HALVEX_API int res_name_similarity(const char* a, const char* b);
}  // namespace ZYRK
