// Small text helpers shared by every layer. Pure; safe on any thread.
#pragma once

#include "common/types.h"

namespace vela {

// `text` without its leading and trailing bytes 0x00 to 0x20.
ByteString TrimControl(const ByteString& text);

}  // namespace vela
