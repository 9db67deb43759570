// The text of a board description on its way to the TOML library: read
// with a bound on its size, checked to be UTF-8, and handed over in an
// ASCII form. The library's character classes misbehave on some non-ASCII
// characters outside plain string contents, so it never sees any: TOML
// allows them only in strings and comments, so strings carry them as
// \u escapes (literal strings become basic strings), comments lose them,
// and anywhere else they are refused. Lines stay where they were.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace bootsim {

// The largest description read: 4 MiB.
inline constexpr size_t kMaxBoardFileSize = size_t{4} << 20;

// The file's bytes; BoardError when it cannot be read or is larger than
// kMaxBoardFileSize (then naming the line at which it passes the bound).
std::string ReadBoardText(const std::string &path);

// The text in the ASCII form described above; BoardError (file, line, key)
// for text that is not UTF-8 or holds a non-ASCII character outside strings
// and comments.
std::string AsciiTomlText(std::string_view text, const std::string &file);

}  // namespace bootsim
