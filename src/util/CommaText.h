// Comma text: a list written as one line. Entries are separated by commas; an entry that
// contains a blank, a comma or a double quote is enclosed in double quotes, with every inner
// double quote doubled. Used for the remembered address list and the flash page's file list.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vornik {

/// Splits a comma text. Blanks before an entry are skipped when it is quoted. With
/// BlanksSeparate, unquoted blanks separate entries as commas do (and are never part of one).
std::vector<std::string> ParseCommaText(std::string_view Text, bool BlanksSeparate = false);
/// Joins entries into a comma text, quoting where needed (an empty entry too).
std::string ToCommaText(const std::vector<std::string>& Items);

}  // namespace vornik
