#include "common/text.h"

namespace vela {

ByteString TrimControl(const ByteString& text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  size_t first = 0;
  size_t last = text.size();
  while (first < last && blank(text[first])) ++first;
  while (last > first && blank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

}  // namespace vela
