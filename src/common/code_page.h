// The single-byte code page that byte strings (ByteString) are read in. The
// codecs take it as a parameter so that they stay free of the OS: the
// platform layer supplies the system's (platform::SystemCodePage()), and
// Cp1252() is the one used where no other is given. Implementations are
// stateless and safe to call from any thread.
#pragma once

#include "common/types.h"

namespace vela {

class CodePage {
 public:
  virtual ~CodePage() = default;
  // Wide to byte string, one byte per code unit: unmappable characters (and
  // each unit of a surrogate pair) become '?'.
  virtual ByteString Narrow(const WideString& text) const = 0;
  // Byte string to wide string; every byte maps to exactly one code unit.
  virtual WideString Widen(const ByteString& text) const = 0;
};

// Windows code page 1252, computed without the OS. Its five undefined bytes
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) widen to the C1 controls U+0081, U+008D,
// U+008F, U+0090, U+009D, as Windows does, and narrow back to the same bytes.
const CodePage& Cp1252();

}  // namespace vela
