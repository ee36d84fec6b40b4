// What the parts of the server resource tree share, internal to halvex.
#pragma once

#include <string>
#include <vector>

namespace ZYRK {
namespace ServerTree {

// The names of a dotted path, empty names skipped (".a..b" -> a, b).
std::vector<std::string> SplitNames(const char* path);

// A name a node may take: not empty, no dot.
bool ValidName(const std::string& name);

}  // namespace ServerTree
}  // namespace ZYRK
