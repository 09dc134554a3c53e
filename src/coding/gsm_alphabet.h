// The GSM 7-bit default alphabet (3GPP TS 23.038) as seen from the system's
// single-byte character set, and the semi-octet swap used for phone numbers
// and time stamps. Pure functions over a constant table: safe on any thread.
#pragma once

#include <array>
#include <cstdint>

#include "common/types.h"

namespace vela {

// Index = GSM code, entry = byte of the character (0 = no character).
// Codes 0x00-0x7F are the default alphabet (Greek capitals as their
// ISO 8859-7 bytes); 0x80-0xFF hold no GSM characters and only give Latin-1
// characters outside the alphabet a code of 128 or more.
extern const std::array<uint8_t, 256> GsmAlphabet;

// The escape code that introduces an extension character.
constexpr uint8_t kGsmEscape = 0x1B;

// Byte to GSM code 0-255: the first table entry equal to the byte; else the
// code that follows the escape for an extension character (form feed, ^ { }
// backslash [ ~ ] | and 0xA4); else 0x3F ('?').
uint8_t GsmCharCode(char c);
// True when `c` is reached only through the extension table, i.e. it is
// sent as the escape code followed by GsmCharCode(c).
bool IsGsmExtensionChar(char c);
// GSM codes to characters, escape sequences resolved; an unknown code after
// the escape gives the byte 0x00, a trailing escape gives nothing.
ByteString GsmToText(const ByteString& codes);
// Swaps the characters of each pair (1st with 2nd, 3rd with 4th, ...); an
// unpaired last character stays in place. Turns semi-octet order into
// reading order and back.
ByteString SwapSemiOctets(const ByteString& text);

}  // namespace vela
