// Conversion between byte strings and UTF-16 wide strings through the
// system's single-byte code page.
//   Windows: the ANSI code page (WideCharToMultiByte / MultiByteToWideChar).
//   POSIX:   Windows code page 1252; its five undefined bytes (0x81, 0x8D,
//            0x8F, 0x90, 0x9D) widen to U+0081, U+008D, U+008F, U+0090,
//            U+009D as Windows does, and narrow back to the same bytes.
// Characters the code page cannot represent become '?' (the code page's
// replacement character). Safe to call from any thread.
#pragma once

#include <cstddef>
#include <string>

#include "common/types.h"

namespace vela::platform {

// Wide to byte string; unmappable characters (and lone surrogates) become '?'.
ByteString NarrowFromWide(const WideString& text);
// Byte string to wide string; every byte maps to exactly one code unit.
WideString WideFromNarrow(const ByteString& text);

// UTF-8 helpers for hosts that speak UTF-8 (the command-line tool).
WideString WideFromUtf8(const std::string& utf8);  // invalid sequences become U+FFFD
std::string Utf8FromWide(const WideString& text);  // lone surrogates become U+FFFD
// Length (1 to 4) of the well-formed UTF-8 sequence at utf8[i], or 0 when the
// byte there starts none: stray or truncated, overlong, a surrogate, past
// U+10FFFF (Unicode table 3-7). For hosts that check text byte by byte.
size_t Utf8SequenceLength(const std::string& utf8, size_t i);

}  // namespace vela::platform
