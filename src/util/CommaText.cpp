#include "util/CommaText.h"

namespace vornik {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

}  // namespace

std::vector<std::string> ParseCommaText(std::string_view Text, bool BlanksSeparate) {
  std::vector<std::string> out;
  std::size_t i = 0;
  const std::size_t n = Text.size();
  if (n == 0) return out;
  while (true) {
    std::string entry;
    // Blanks before an entry do not belong to it (they matter only before a quote).
    std::size_t j = i;
    while (j < n && IsBlank(Text[j])) ++j;
    if (BlanksSeparate) i = j;
    const auto ends = [&](char c) { return c == ',' || (BlanksSeparate && IsBlank(c)); };
    if (j < n && Text[j] == '"') {
      i = j + 1;
      while (i < n) {
        if (Text[i] == '"') {
          if (i + 1 < n && Text[i + 1] == '"') {
            entry += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        entry += Text[i++];
      }
      // Anything between the closing quote and the next separator is kept with the entry.
      while (i < n && !ends(Text[i])) entry += Text[i++];
    } else {
      while (i < n && !ends(Text[i])) entry += Text[i++];
    }
    out.push_back(std::move(entry));
    if (BlanksSeparate) {
      while (i < n && IsBlank(Text[i])) ++i;
      if (i >= n) break;
      if (Text[i] == ',') ++i;  // otherwise blanks alone separated the entries
      continue;
    }
    if (i >= n) break;
    ++i;  // the comma
  }
  return out;
}

std::string ToCommaText(const std::vector<std::string>& Items) {
  std::string out;
  for (std::size_t k = 0; k < Items.size(); ++k) {
    if (k) out += ',';
    const std::string& s = Items[k];
    const bool quote = s.empty() || s.find_first_of(" ,\"\t") != std::string::npos;
    if (!quote) {
      out += s;
      continue;
    }
    out += '"';
    for (char c : s) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

}  // namespace vornik
