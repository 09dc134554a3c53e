// Field splitting for modem answers whose line breaks have been replaced by
// a separator. Pure; safe on any thread.
#pragma once

#include "common/types.h"

namespace vela {

// The n-th (from 1) field of `text` split at `separator`. Empty fields count.
// Fewer fields than n: the last field; n <= 0: `text` unchanged.
ByteString ExtractField(const ByteString& text, int n, char separator);

}  // namespace vela
