// Integer text as technicians write it everywhere in the program (settings file, command line,
// the flash page's start page, the tool's options): an optional sign, then decimal digits, or
// "$" and up to eight hexadecimal digits.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vornik {

/// Decimal or "$" hexadecimal. Hexadecimal text is read as a 32-bit pattern, so "$FFFFFFFF" is
/// -1. Blanks around the text are ignored. nullopt for anything else, including decimals
/// outside the 32-bit range.
std::optional<int32_t> ParseInteger(std::string_view Text);

/// A count, port or device address: decimal 0..4294967295, or "$" and up to eight hexadecimal
/// digits read as unsigned. No sign; blanks around the text are ignored. nullopt otherwise.
std::optional<uint32_t> ParseUnsigned(std::string_view Text);

}  // namespace vornik
