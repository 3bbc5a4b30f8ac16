// The Unicode case folding the extension lists match by, from the toolkit.
#pragma once

#include <string>
#include <string_view>

namespace quillfen {

// `utf8` (valid UTF-8) with its case folded as Unicode folds it ("ＪＰＧ" and
// "ｊｐｇ" alike). Reentrant: the run calls it on its own thread.
std::string FoldUnicodeCase(std::string_view utf8);

}  // namespace quillfen
