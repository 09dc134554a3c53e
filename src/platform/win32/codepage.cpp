// Byte strings in the ANSI code page of the system, converted by Windows.
#include "platform/codepage.h"

#include <windows.h>

namespace vela::platform {

namespace {

class AnsiCodePage final : public CodePage {
 public:
  ByteString Narrow(const WideString& text) const override;
  WideString Widen(const ByteString& text) const override;
};

ByteString AnsiCodePage::Narrow(const WideString& text) const {
  if (text.empty()) return ByteString();
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  // No best-fit mapping: a character the code page lacks becomes '?'
  // rather than a look-alike, so a round trip shows the loss.
  const DWORD flags = WC_NO_BEST_FIT_CHARS;
  const int needed = WideCharToMultiByte(CP_ACP, flags, wide, length, nullptr, 0, "?", nullptr);
  if (needed <= 0) return ByteString(text.size(), '?');
  ByteString out(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_ACP, flags, wide, length, out.data(), needed, "?", nullptr);
  return out;
}

WideString AnsiCodePage::Widen(const ByteString& text) const {
  if (text.empty()) return WideString();
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) {  // cannot happen for a single-byte code page; read as Latin-1
    WideString latin1;
    for (char c : text) latin1.push_back(static_cast<unsigned char>(c));
    return latin1;
  }  // Latin-1 reading as a last resort
  WideString out(static_cast<size_t>(needed), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), length, reinterpret_cast<wchar_t*>(out.data()), needed);
  return out;
}

}  // namespace

const CodePage& SystemCodePage() {
  static const AnsiCodePage page;
  return page;
}

}  // namespace vela::platform
