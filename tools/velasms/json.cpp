#include "json.h"

#include <stdexcept>

namespace vela::tool {

Json& Json::Push(Json value) {
  if (type_ != Type::Array) throw std::logic_error("Json::Push on a non-array");
  items_.push_back(std::move(value));
  return *this;
}

Json& Json::Set(const std::string& key, Json value) {
  if (type_ != Type::Object) throw std::logic_error("Json::Set on a non-object");
  for (auto& member : members_) {
    if (member.first == key) {
      member.second = std::move(value);
      return *this;
    }
  }
  members_.emplace_back(key, std::move(value));
  return *this;
}

std::string Json::Dump() const {
  std::string out;
  DumpTo(out);
  return out;
}

void Json::DumpTo(std::string& out) const {
  switch (type_) {
    case Type::Null:
      out += "null";
      break;
    case Type::Bool:
      out += bool_ ? "true" : "false";
      break;
    case Type::Number:
      out += std::to_string(number_);
      break;
    case Type::String:
      out += JsonQuote(string_);
      break;
    case Type::Array:
      out += '[';
      for (size_t i = 0; i < items_.size(); ++i) {
        if (i) out += ", ";
        items_[i].DumpTo(out);
      }
      out += ']';
      break;
    case Type::Object:
      out += '{';
      for (size_t i = 0; i < members_.size(); ++i) {
        if (i) out += ", ";
        out += JsonQuote(members_[i].first);
        out += ": ";
        members_[i].second.DumpTo(out);
      }
      out += '}';
      break;
  }
}

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (Unicode table 3-7), or 0.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
  auto at = [&](size_t k) -> unsigned { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0x100; };
  auto cont = [](unsigned b, unsigned lo = 0x80, unsigned hi = 0xBF) { return b >= lo && b <= hi; };
  unsigned b0 = at(i);
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) return cont(at(i + 1)) ? 2 : 0;
  if (b0 == 0xE0) return cont(at(i + 1), 0xA0, 0xBF) && cont(at(i + 2)) ? 3 : 0;
  if (b0 == 0xED) return cont(at(i + 1), 0x80, 0x9F) && cont(at(i + 2)) ? 3 : 0;  // no surrogates
  if (b0 >= 0xE1 && b0 <= 0xEF) return cont(at(i + 1)) && cont(at(i + 2)) ? 3 : 0;
  if (b0 == 0xF0) return cont(at(i + 1), 0x90, 0xBF) && cont(at(i + 2)) && cont(at(i + 3)) ? 4 : 0;
  if (b0 >= 0xF1 && b0 <= 0xF3) return cont(at(i + 1)) && cont(at(i + 2)) && cont(at(i + 3)) ? 4 : 0;
  if (b0 == 0xF4) return cont(at(i + 1), 0x80, 0x8F) && cont(at(i + 2)) && cont(at(i + 3)) ? 4 : 0;
  return 0;
}

}  // namespace

std::string JsonQuote(const std::string& utf8) {
  static const char* const kHex = "0123456789abcdef";
  std::string out;
  out.reserve(utf8.size() + 2);
  out += '"';
  size_t i = 0;
  while (i < utf8.size()) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    size_t n = Utf8SequenceLength(utf8, i);
    if (n == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (n == 1) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
          } else {
            out += static_cast<char>(c);
          }
      }
    } else if (n == 3 && c == 0xE2 && static_cast<unsigned char>(utf8[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(utf8[i + 2]) == 0xA8 || static_cast<unsigned char>(utf8[i + 2]) == 0xA9)) {
      out += static_cast<unsigned char>(utf8[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
    } else {
      out.append(utf8, i, n);
    }
    i += n;
  }
  out += '"';
  return out;
}

}  // namespace vela::tool
