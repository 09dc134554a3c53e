// Framing of the modem's output into lines, one received byte at a time.
// Pure: no I/O, no threads; the command channel feeds it from its receive
// handler and posts every completed line to its own thread.
#pragma once

#include <vector>

#include "common/text.h"
#include "common/types.h"

namespace vela {

// True when at least one element of `answers` occurs in `text` as a
// substring. An empty element never matches.
bool ContainsAny(const std::vector<ByteString>& answers, const ByteString& text);

// The response of a command: every line followed by "\r\n", the last too.
ByteString JoinLines(const std::vector<ByteString>& lines);

// Cuts received bytes into lines. A line ends at "\r" (lines that are blank
// after trimming are dropped), or as soon as the bytes collected so far
// contain one of the expected answers: modems write the prompt "> " of
// AT+CMGS without a line end, and a wait for "READY" ends at that word's
// last letter instead of at the end of its line. Bytes that may still become
// an unsolicited indication (at::IsIndicationPrefix: "+CMT: \"OK\",24") are
// never cut early; they end at "\r" only. Bytes 0x00 and "\n" are never part
// of a line, except a "\n" inside the quoted text of a +CUSD. Completed lines are handed out untrimmed.
class LineFramer {
 public:
  // Takes one byte. Returns true when it completed a line, which is then
  // moved into `line`; at most one line is completed per byte.
  bool Feed(char byte, const std::vector<ByteString>& expected, ByteString& line);

  // Feeds every byte of `bytes`, appending the completed lines to `lines`.
  void Feed(const ByteString& bytes, const std::vector<ByteString>& expected, std::vector<ByteString>& lines);

  // The bytes of the line now being received.
  const ByteString& Buffer() const { return buffer_; }
  void Clear() { buffer_.clear(); }

 private:
  ByteString buffer_;
};

}  // namespace vela
