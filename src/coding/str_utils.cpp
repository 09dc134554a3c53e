#include "coding/str_utils.h"

namespace vela {

ByteString ExtractField(const ByteString& text, int n, char separator) {
  // Walks field by field; when the text runs out of separators the last
  // field is kept, so asking past the end gives the last field.
  if (n <= 0) return text;
  size_t start = 0;
  for (int i = 1; i < n; ++i) {
    const size_t sep = text.find(separator, start);
    if (sep == ByteString::npos) break;
    start = sep + 1;
  }
  const size_t end = text.find(separator, start);
  return text.substr(start, end == ByteString::npos ? ByteString::npos : end - start);
}

}  // namespace vela
