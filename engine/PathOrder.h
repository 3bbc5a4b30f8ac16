// The one order of paths in listings: the folders of a tree listing and the
// relative file paths of the comparison window's lists are sorted by it.
#pragma once

#include <string_view>

namespace quillfen {

// Whether path `a` sorts before path `b`: byte by byte with ASCII letters
// compared without case (AsciiCase.h) and as unsigned bytes; then the shorter
// first; paths equal ignoring case are ordered by their exact bytes. The order
// is total, so two names that differ only in case are both kept, next to each
// other. A path sorts before every longer path that begins with it, so a
// folder comes before its subfolders; "/a-c" sorts before "/a/b" ('-' < '/').
bool FolderPathLess(std::string_view a, std::string_view b);

}  // namespace quillfen
