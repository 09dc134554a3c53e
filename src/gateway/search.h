// Search over the inbox and the outbox: every word of the query must occur
// in the message's number or text, whatever the letters' case.
#pragma once

#include <string>
#include <vector>

namespace vela::gateway {

// Lower case of the letters of Latin, Greek and Cyrillic scripts (enough
// for matching; no locale involved).
std::string FoldCase(const std::string& utf8);

// The query's words, folded, blanks between them dropped.
std::vector<std::string> SearchWords(const std::string& query);

// Whether each word occurs in `text` or `number` (an alphanumeric sender)
// or, for a word of digits (a leading '+' and separators ignored), among the
// digits of `number`. An empty list matches nothing.
bool MatchesWords(const std::vector<std::string>& words, const std::string& number, const std::string& text);

}  // namespace vela::gateway
