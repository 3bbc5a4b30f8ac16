// Text encodings of the settings file: UTF-8, and code page 932 (the Japanese
// Windows code page) for files brought from such a system.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillfen {

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no cut-off sequence. The empty text is valid.
bool IsValidUtf8(std::string_view bytes);

// Code page 932 bytes converted to UTF-8; nullopt when they hold a byte
// sequence that code page 932 does not define.
std::optional<std::string> Cp932ToUtf8(std::string_view bytes);

// UTF-8 text converted to code page 932; nullopt when the text is not valid
// UTF-8 or holds a character that code page 932 cannot represent exactly.
std::optional<std::string> Utf8ToCp932(std::string_view text);

}  // namespace quillfen
