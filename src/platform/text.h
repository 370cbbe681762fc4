// Program text. Windows holds paths and messages as UTF-16 and calls the wide
// ("W") functions; POSIX holds them as the native UTF-8 bytes. The logic is
// written once over `Text` and the `VT("...")` literal macro.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#if defined(_WIN32)
using Char = wchar_t;
#define VT(s) L##s
inline constexpr Char kPathSeparator = L'\\';
#else
using Char = char;
#define VT(s) s
inline constexpr Char kPathSeparator = '/';
#endif

using Text = std::basic_string<Char>;
using TextView = std::basic_string_view<Char>;

// `value` in decimal, without leading zeros or spaces; a minus sign only for a
// negative value.
Text Decimal(long long value);

// `s` without its leading and trailing space characters (U+0020 only: tabs and
// other white space stay).
Text TrimSpaces(TextView s);
