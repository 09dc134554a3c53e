// The POSIX code page (cp1252 without the operating system) against its
// reference reading: every UTF-16 unit, every byte, and texts of every
// length up to 400. Built only where the library uses that implementation.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/codepage.h"
#include "reference_impl.h"

namespace vela {
namespace {

TEST(CodePageDifferential, EveryUnitEveryByteEveryLength) {
  WideString every_unit;
  for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) every_unit.push_back(static_cast<char16_t>(unit));
  ByteString every_byte;
  for (int byte = 0; byte < 256; ++byte) every_byte.push_back(static_cast<char>(byte));
  ASSERT_EQ(platform::NarrowFromWide(every_unit), reference::NarrowFromWide(every_unit));
  ASSERT_EQ(platform::WideFromNarrow(every_byte), reference::WideFromNarrow(every_byte));
  for (size_t length = 0; length <= 400; ++length) {
    const WideString wide = every_unit.substr((length * 7919) % (every_unit.size() - length), length);
    ByteString bytes;
    for (size_t i = 0; i < length; ++i) bytes.push_back(every_byte[(i * 37 + length) % 256]);
    ASSERT_EQ(platform::NarrowFromWide(wide), reference::NarrowFromWide(wide)) << length;
    ASSERT_EQ(platform::WideFromNarrow(bytes), reference::WideFromNarrow(bytes)) << length;
  }
}

}  // namespace
}  // namespace vela
