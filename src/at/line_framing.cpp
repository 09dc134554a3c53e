#include "at/line_framing.h"

#include "at/at_protocol.h"

namespace vela {

bool ContainsAny(const std::vector<ByteString>& answers, const ByteString& text) {
  for (const ByteString& answer : answers) {
    if (!answer.empty() && text.find(answer) != ByteString::npos) return true;
  }
  return false;
}

ByteString JoinLines(const std::vector<ByteString>& lines) {
  ByteString response;
  for (const ByteString& line : lines) {
    response += line;
    response += "\r\n";
  }
  return response;
}

namespace {

// Result codes and information responses of extended commands ("+CMS
// ERROR: 304", "+CMGL: 1,0,\"BROOKE\",24", "+COPS: 0,0,\"OK Mobile\"") end
// only at their line end: a number or a name follows whatever word of an
// expected answer they hold. "+CPIN:" keeps the early cut at READY / SIM PIN.
bool EndsAtLineEnd(const ByteString& buffer) {
  size_t first = 0;
  while (first < buffer.size() && static_cast<unsigned char>(buffer[first]) <= 0x20) ++first;
  return first < buffer.size() && buffer[first] == '+' && buffer.compare(first, 6, "+CPIN:") != 0;
}

}  // namespace

bool LineFramer::Feed(char byte, const std::vector<ByteString>& expected, ByteString& line) {
  bool completed = false;
  if (byte == '\0' || byte == '\n') {
    // Never part of a line; the modem ends its lines with "\r\n". Only the
    // text of a USSD answer may hold line feeds.
    if (byte == '\n' && at::InsideQuotedText(buffer_)) buffer_ += byte;
  } else if (byte == '\r') {
    if (!TrimControl(buffer_).empty()) {
      line = std::move(buffer_);
      completed = true;
    }
    buffer_.clear();
  } else {
    buffer_ += byte;
  }
  // Checked after every byte, so an answer without a line end (the prompt)
  // is delivered as soon as it is complete. A line that may still become an
  // indication is never cut early: `+CMT: "BROOKE",24` contains "OK".
  if (!buffer_.empty() && ContainsAny(expected, buffer_) && !EndsAtLineEnd(buffer_) &&
      !at::IsIndicationPrefix(buffer_)) {
    line = std::move(buffer_);
    buffer_.clear();
    completed = true;
  }
  return completed;
}

void LineFramer::Feed(const ByteString& bytes, const std::vector<ByteString>& expected,
                      std::vector<ByteString>& lines) {
  ByteString line;
  for (char byte : bytes) {
    if (Feed(byte, expected, line)) lines.push_back(std::move(line));
  }
}

}  // namespace vela
