// The settings file beside the executable: a profile file of "[Section]" lines followed by
// "Key=Value" lines. Section and key names compare without regard to (ASCII) case; values are
// read without surrounding blanks; lines starting with ";" or "#" are comments. When a section or
// a key appears twice, the first one counts for reading and writing.
//
// TIniFile is the plain reader/writer: reading never changes the file. TCreateMissingValuesIni
// writes a key that is read but missing back with its default, and replaces a stored value that
// should be an integer but is not, so that after one run every key the program reads is present
// in the file for the technician to edit.
//
// Values written by the program encode line breaks as markers: CR LF -> "_CRLF_", then a lone
// CR -> "_CR_", then a lone LF -> "_LF_"; reading reverses the markers in the same order.
//
// Every operation reads the file afresh, so a value edited while the program runs takes effect
// at the next read. A write changes only the one line concerned (or appends the key to its
// section, or the section to the end): comments, other sections, their order and their line
// ends stay as they were. The new content goes to a temporary file in the same folder which then
// replaces the old one by a rename, so a failed write never leaves a truncated settings file.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vornik {

/// A settings file that cannot be written (read-only folder, disk full, ...).
class EIniFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Line-break markers of stored values.
std::string EncodeIniLineBreaks(std::string_view Value);
std::string DecodeIniLineBreaks(std::string_view Stored);

class TIniFile {
 public:
  /// A backslash in FileName separates folders, as in ".\Vornik.ini".
  explicit TIniFile(std::string FileName);
  virtual ~TIniFile() = default;

  const std::string& FileName() const { return FFileName; }

  bool SectionExists(std::string_view Section) const;
  bool ValueExists(std::string_view Section, std::string_view Ident) const;

  /// The stored text (trimmed, markers decoded), or Default when the section or key is missing.
  virtual std::string ReadString(std::string_view Section, std::string_view Ident, std::string_view Default);
  /// Stores Value with line breaks encoded. Throws EIniFileError when the file cannot be written.
  void WriteString(std::string_view Section, std::string_view Ident, std::string_view Value);

  virtual int32_t ReadInteger(std::string_view Section, std::string_view Ident, int32_t Default);
  void WriteInteger(std::string_view Section, std::string_view Ident, int32_t Value);
  /// Only the integer 1 reads as true.
  bool ReadBool(std::string_view Section, std::string_view Ident, bool Default);
  void WriteBool(std::string_view Section, std::string_view Ident, bool Value);

 protected:
  /// The raw stored value (trimmed, not decoded), nullopt when missing.
  std::optional<std::string> ReadRaw(std::string_view Section, std::string_view Ident) const;

 private:
  std::string FFileName;
};

class TCreateMissingValuesIni : public TIniFile {
 public:
  explicit TCreateMissingValuesIni(std::string FileName);

  /// A missing section or key is written with Default, and Default is returned. If that write
  /// fails (read-only folder) the default is still returned: a settings file that cannot be
  /// completed must not stop the program from working with its defaults.
  std::string ReadString(std::string_view Section, std::string_view Ident, std::string_view Default) override;
  /// Decimal or "$" hexadecimal; a stored text that is not an integer is overwritten with the
  /// default's decimal text and the default is returned.
  int32_t ReadInteger(std::string_view Section, std::string_view Ident, int32_t Default) override;

  /// Always true here; kept as a property so the settings reader reads like the rest of the system.
  bool CreateMissingValues() const { return true; }
};

}  // namespace vornik
