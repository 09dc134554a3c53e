// Conversion between byte strings and UTF-16 wide strings through the
// system's single-byte code page.
//   Windows: the ANSI code page (WideCharToMultiByte / MultiByteToWideChar).
//   POSIX:   Windows code page 1252 (vela::Cp1252()).
// Characters the code page cannot represent become '?' (the code page's
// replacement character). Safe to call from any thread.
#pragma once

#include "common/code_page.h"
#include "common/types.h"

namespace vela::platform {

// The system's code page, for the codecs that take one.
const CodePage& SystemCodePage();

// Wide to byte string; unmappable characters (and lone surrogates) become '?'.
inline ByteString NarrowFromWide(const WideString& text) { return SystemCodePage().Narrow(text); }
// Byte string to wide string; every byte maps to exactly one code unit.
inline WideString WideFromNarrow(const ByteString& text) { return SystemCodePage().Widen(text); }

}  // namespace vela::platform
