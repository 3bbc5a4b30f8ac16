// Comma-delimited, quote-aware text: the extension lists of the settings file
// and the quoted path lists of the folder listing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillfen {

// Splits comma-delimited text into items:
//  - characters with codes 1..32 are skipped before an item;
//  - an item that starts with '"' runs to the matching closing quote, "" inside
//    standing for one '"', and the quotes are removed;
//  - any other item runs up to the first character with a code <= 32 or ',';
//  - after an item, characters 1..32 are skipped; a ',' that is the last
//    character of the text adds one more, empty item.
// Works on bytes: UTF-8 multi-byte characters (all bytes >= 0x80) are never
// split. ".doc,.xls," gives ".doc", ".xls", ""; the empty text gives nothing.
std::vector<std::string> SplitCommaText(std::string_view text);

// Appends one item to the quoted path list `out`: the item in double quotes,
// a '"' inside written as "", after a separating ',' when `out` is not empty.
// Every item, even an empty one, leaves at least "" in `out`, so each later
// item gets its ','. A list of items appended one by one to the empty text
// splits back into exactly those items (SplitCommaText).
void AppendQuoted(std::string& out, std::string_view item);

}  // namespace quillfen
