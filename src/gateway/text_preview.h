// What sending a text would cost, worked out by the encoder that sends it:
// parts, coding, units, room left in the last part, the national tables
// used, and the characters that force UCS2 with a GSM 7-bit look-alike.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "coding/text_coding.h"

namespace vela::gateway {

// A GSM 7-bit (default alphabet) stand-in for a character that is not in
// the GSM tables, e.g. U+2019 -> "'"; nullopt when there is none.
std::optional<std::string> GsmReplacement(char32_t codePoint);

// {"parts", "coding", "septets_or_units", "left_in_part", "languages",
//  "ucs2_because": [{"char", "codepoint", "replacement"}], "if_replaced"}.
// `if_replaced` ({"parts", "coding"}) is what the text would cost with every
// replacement made, null when there is none to make. Throws
// coding::ETextCodingError when the text cannot be sent in `coding` or needs
// more parts than a concatenated message has.
nlohmann::json PreviewText(const std::string& utf8, coding::Coding coding, const std::vector<int>& languages);

}  // namespace vela::gateway
