// A small JSON value and writer for velasms' machine-readable output. Objects
// keep their keys in insertion order so that output lines are stable.
// Strings are UTF-8; the writer escapes what JSON requires and replaces
// invalid UTF-8 with U+FFFD, so every line it writes is valid JSON.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vela::tool {

class Json {
 public:
  enum class Type { Null, Bool, Number, String, Array, Object };

  Json() = default;  // null
  Json(std::nullptr_t) {}
  Json(bool b) : type_(Type::Bool), bool_(b) {}
  Json(int n) : type_(Type::Number), number_(n) {}
  Json(int64_t n) : type_(Type::Number), number_(n) {}
  Json(const char* s) : type_(Type::String), string_(s) {}
  Json(std::string s) : type_(Type::String), string_(std::move(s)) {}

  static Json Array() { return Json(Type::Array); }
  static Json Object() { return Json(Type::Object); }

  Type GetType() const { return type_; }
  // Appends to an array.
  Json& Push(Json value);
  // Sets a key of an object: replaces the value of an existing key in place,
  // otherwise appends the key.
  Json& Set(const std::string& key, Json value);

  // Compact form with a blank after ':' and ',': {"pdu": "00", "length": 1}.
  std::string Dump() const;

 private:
  explicit Json(Type type) : type_(type) {}
  void DumpTo(std::string& out) const;

  Type type_ = Type::Null;
  bool bool_ = false;
  int64_t number_ = 0;
  std::string string_;
  std::vector<Json> items_;
  std::vector<std::pair<std::string, Json>> members_;
};

// The JSON string literal (with its quotes) of UTF-8 text: '"' and '\\'
// escaped, control characters as \n, \r, \t, \b, \f or \u00XX, DEL as
// \u007f, U+2028/U+2029 as \u2028/\u2029 (they end lines in JavaScript),
// every invalid UTF-8 sequence (stray or truncated bytes, overlong forms,
// surrogates, values past U+10FFFF) as \ufffd per offending byte.
// Other characters are copied as UTF-8.
std::string JsonQuote(const std::string& utf8);

}  // namespace vela::tool
