// velasms' machine-readable output: values are nlohmann::ordered_json (keys
// keep their insertion order, so output lines are stable) and JsonLine
// writes one in the form velasms has always printed.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vela::tool {

using Json = nlohmann::ordered_json;

// Compact, with a blank after ':' and ',': {"pdu": "00", "length": 1}.
// Strings are UTF-8: '"' and '\\' escaped, control characters as \n, \r, \t,
// \b, \f or \u00XX, DEL as \u007f, U+2028/U+2029 as \u2028/\u2029 (they end
// lines in JavaScript), every byte that is not part of well-formed UTF-8 as
// \ufffd; other characters as they are. So every line is valid JSON.
std::string JsonLine(const Json& value);

// The JSON string literal (with its quotes) of UTF-8 text, as JsonLine writes it.
std::string JsonQuote(const std::string& utf8);

}  // namespace vela::tool
