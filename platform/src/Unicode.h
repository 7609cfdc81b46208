#pragma once

#include <string>
#include <string_view>

namespace platform {

/* Unpaired surrogates become U+FFFD rather than invalid UTF-8. */
std::string Utf16ToUtf8(std::u16string_view text);
void AppendUtf8(std::string& out, char32_t codePoint);

} // namespace platform
