// Validity period of an SMS-SUBMIT in the relative format (3GPP TS 23.040
// 9.2.3.12.1): one octet TP-VP, TP-VPF 10 in the first octet.
//
//   TP-VP 0..143    (TP-VP + 1) x 5 minutes       5 min .. 12 h
//         144..167  12 h + (TP-VP - 143) x 30 min 12 h 30 min .. 24 h
//         168..196  (TP-VP - 166) days            2 .. 30 days
//         197..255  (TP-VP - 192) weeks           5 .. 63 weeks
//
// Pure; portable.
#pragma once

#include <cstdint>
#include <string>

#include "coding/text_coding.h"

namespace vela::coding {

// 63 weeks, the longest a service centre keeps a message; what the one-part
// encoder has always written.
constexpr uint8_t kValidityMax = 0xFF;

// "5m", "90m", "12h", "12h30m", "3d", "2w", "1w3d", "max" (case-insensitive)
// to the TP-VP octet of the shortest period at least that long. Throws
// ETextCodingError naming the text and the range 5 minutes to 63 weeks for
// anything else (a number without a unit, 0, 4m, 64w, ...).
uint8_t ParseValidity(const std::string& duration);

// The period a TP-VP octet stands for, in minutes.
int64_t ValidityMinutes(uint8_t vp);

}  // namespace vela::coding
