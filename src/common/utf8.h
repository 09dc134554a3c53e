// The tree's one UTF-8 codec: UTF-8 <-> UTF-16 (the automation surface's
// wide strings) and UTF-8 <-> code points. Pure; safe on any thread.
#pragma once

#include <cstddef>
#include <string>

#include "common/types.h"

namespace vela {

// Invalid sequences become U+FFFD, one per maximal ill-formed subpart.
WideString WideFromUtf8(const std::string& utf8);
// Lone surrogates become U+FFFD.
std::string Utf8FromWide(const WideString& text);
// Invalid sequences become U+FFFD, as WideFromUtf8.
std::u32string CodePointsFromUtf8(const std::string& utf8);
// Surrogates and values past U+10FFFF become U+FFFD.
std::string Utf8FromCodePoints(const std::u32string& text);
// Length (1 to 4) of the well-formed UTF-8 sequence at utf8[i], or 0 when the
// byte there starts none: stray or truncated, overlong, a surrogate, past
// U+10FFFF (Unicode table 3-7). For hosts that check text byte by byte.
size_t Utf8SequenceLength(const std::string& utf8, size_t i);

}  // namespace vela
