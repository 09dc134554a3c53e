// Building blocks of the multi-part SUBMIT encoder, exposed for tests and
// benchmarks (private to src/coding and its tests). Pure.
#pragma once

#include <optional>
#include <string>

#include "common/types.h"

namespace vela::coding::detail {

// The septets (one per byte, 0..127) of `text` through the locking table of
// `lockingLanguage` and the single shift table of `singleLanguage`: a
// character of the locking table is its code, else one of the single shift
// table is the escape 0x1B followed by its code. nullopt when a character is
// in neither table or a table does not exist.
std::optional<std::string> EncodeSeptets(const WideString& text, int lockingLanguage, int singleLanguage);

}  // namespace vela::coding::detail
