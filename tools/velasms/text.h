// Text helpers shared by the velasms commands: the tool speaks UTF-8, the
// library byte strings in the system's 8-bit code page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "coding/text_coding.h"
#include "common/types.h"
#include "json.h"

namespace vela::tool {

// UTF-8 to a code-page byte string; characters the code page lacks become '?'.
ByteString BytesFromUtf8(const std::string& utf8);
// Code-page byte string to UTF-8.
std::string Utf8FromBytes(const ByteString& bytes);

// A message text as the control object sends it: UTF-8 converted to the code
// page, cut to 255 and then to 160 characters. `lossy` tells whether some
// characters became '?', `cut` whether the text was shortened.
ByteString MessageTextFromUtf8(const std::string& utf8, bool& lossy, bool& cut);

// "YYYY-MM-DD hh:mm:ss", or null for 0 (no time).
Json TimeJson(DateTime value);
// The same for the human output: "-" for no time.
std::string TimeText(DateTime value);

// UTF-8 text for one line of human output: line breaks (CR LF, LF, CR)
// become "\n" followed by `indent`, other control characters \xNN.
std::string IndentedText(const std::string& utf8, const std::string& indent);

// Whether a status report's reference belongs to a sent message. The modem
// gives the reference of a sent message in decimal ("26") and the status
// report carries the TP-MR octet as two hex characters ("1A"). A sent
// reference that is no decimal number cannot be compared: every report matches.
bool SameMessageReference(const ByteString& sentDecimal, const ByteString& reportedHex);

// --coding of the whole-message commands: auto, gsm7, ucs2, 8bit. UsageError
// naming the accepted values otherwise.
coding::Coding ParseCodingOption(const std::string& name);
// --languages: "tr,es", names, ids, "all", "none" or empty. UsageError naming
// the unknown entry otherwise.
std::vector<int> ParseLanguagesOption(const std::string& list);
// --validity: 5m, 90m, 12h, 3d, 2w, max to the relative TP-VP octet, rounded
// up. UsageError naming the range otherwise.
uint8_t ParseValidityOption(const std::string& duration);

}  // namespace vela::tool
