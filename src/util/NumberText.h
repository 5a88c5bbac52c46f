// Integer text as technicians write it everywhere in the program (settings file, command line,
// the flash page's start page, the tool's options): an optional sign, then decimal digits, or
// "$" and up to eight hexadecimal digits. Decimal fractions (measured values on text lines,
// fault rates) with "." or "," as the separator, read the same whatever the process locale is.
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

/// A decimal number: an optional sign, digits with at most one "." or "," among or after them,
/// and an optional exponent ("e" or "E", a sign, digits). Blanks around the text are ignored.
/// The C library's locale plays no part (the Qt programs set it from the environment, where the
/// separator may be ","). nullopt for anything else: hexadecimal, "inf", "nan", a value too large
/// for a double.
std::optional<double> ParseDecimal(std::string_view Text);

}  // namespace vornik
