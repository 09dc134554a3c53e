#include "gateway/search.h"

#include <algorithm>

#include "gateway/store.h"
#include "common/utf8.h"

namespace vela::gateway {

namespace {

char16_t Lower(char16_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c + 32) : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
  if (c == 0x130) return u'i';  // Turkish dotted capital I
  if (c == 0x178) return 0xFF;
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return static_cast<char16_t>(c | 1);
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return static_cast<char16_t>(c + 32);
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 32);
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
  return c;
}

std::string Digits(const std::string& text) {
  std::string out;
  for (char c : text) {
    if ((c >= '0' && c <= '9') || c == '*' || c == '#') out += c;
  }
  return out;
}

bool IsNumberWord(const std::string& word) {
  return !Digits(word).empty() && word.find_first_not_of("+0123456789*#-.()") == std::string::npos;
}

}  // namespace

std::string FoldCase(const std::string& utf8) {
  WideString wide = WideFromUtf8(utf8);
  std::transform(wide.begin(), wide.end(), wide.begin(), Lower);
  return Utf8FromWide(wide);
}

std::vector<std::string> SearchWords(const std::string& query) {
  std::vector<std::string> words;
  std::string word;
  const std::string folded = FoldCase(query);
  for (size_t i = 0; i <= folded.size(); ++i) {
    const char c = i < folded.size() ? folded[i] : ' ';
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  return words;
}

bool MatchesWords(const std::vector<std::string>& words, const std::string& number, const std::string& text) {
  if (words.empty()) return false;
  const std::string folded = FoldCase(text);
  const std::string digits = Digits(number);
  const std::string sender = FoldCase(number);
  for (const std::string& w : words) {
    const bool inText = folded.find(w) != std::string::npos || sender.find(w) != std::string::npos;
    const bool inNumber = IsNumberWord(w) && digits.find(Digits(w)) != std::string::npos;
    if (!inText && !inNumber) return false;
  }
  return true;
}

// Any store: pages through both lists, newest first in the answer.
SearchHits Store::Search(const std::string& query, int limit) {
  const std::vector<std::string> words = SearchWords(query);
  SearchHits hits;
  if (words.empty()) return hits;
  for (int64_t since = 0;;) {
    MessageFilter f;
    f.sinceId = since;
    f.limit = 500;
    const std::vector<OutgoingMessage> page = ListMessages(f);
    for (const OutgoingMessage& m : page) {
      if (MatchesWords(words, m.to, m.text)) hits.sent.push_back(m);
      since = m.id;
    }
    if (page.size() < 500) break;
  }
  for (int64_t since = 0;;) {
    const std::vector<ReceivedMessage> page = ListInbox(since, 500);
    for (const ReceivedMessage& m : page) {
      if (MatchesWords(words, m.originator, m.text)) hits.received.push_back(m);
      since = m.id;
    }
    if (page.size() < 500) break;
  }
  std::reverse(hits.sent.begin(), hits.sent.end());
  std::reverse(hits.received.begin(), hits.received.end());
  if (hits.sent.size() > static_cast<size_t>(limit)) hits.sent.resize(static_cast<size_t>(limit));
  if (hits.received.size() > static_cast<size_t>(limit)) hits.received.resize(static_cast<size_t>(limit));
  return hits;
}

}  // namespace vela::gateway
