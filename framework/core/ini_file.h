#pragma once
// TIniFile: the run time's access to private profile (ini) files, in the text
// format of the original platform:
//
//   [Section]
//   Key=Value
//
// Lines end in CR LF when written; CR LF or a bare LF is accepted on read.
// Section and key names are compared without regard to letter case (ASCII
// and the Cyrillic letters of Windows-1251); the first section or key of a
// name wins when a file repeats one. Reading trims blanks and tabs around
// names and values and drops one pair of matching quotes ('...' or "...")
// around a value, as the platform's profile reader does. Every other byte of
// the file is kept as it stands: comments, blank lines, unknown lines, the
// spelling of existing keys and the values of keys nobody touched.
//
// Text is Windows-1251 bytes; the file name is a path in the file system's
// own encoding. Each write goes straight to the file (through a temporary
// file renamed over the old one), so an instance may live as long as the
// caller likes. A file that does not exist reads as empty and is created,
// with its directory, by the first write.

#include <cstdint>
#include <string>
#include <vector>

namespace fw {

class TIniFile {
 public:
  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return fileName_; }

  // The value of Ident in Section, or Default when the key is missing.
  std::string ReadString(const std::string& section, const std::string& ident,
                         const std::string& defaultValue) const;
  // Sets Ident in Section to Value, adding the section and the key when they
  // are missing. Raises EInOutError when the file cannot be written.
  void WriteString(const std::string& section, const std::string& ident, const std::string& value);

  // A decimal integer (optionally signed), or hexadecimal with a "$" or "0x"
  // prefix; Default when the key is missing or its value is not a number
  // that fits 32 bits.
  int32_t ReadInteger(const std::string& section, const std::string& ident, int32_t defaultValue) const;
  void WriteInteger(const std::string& section, const std::string& ident, int32_t value);

  // Booleans are stored as 1 and 0; any nonzero number reads as true.
  bool ReadBool(const std::string& section, const std::string& ident, bool defaultValue) const;
  void WriteBool(const std::string& section, const std::string& ident, bool value);

  // The key names of a section, in file order.
  std::vector<std::string> ReadSection(const std::string& section) const;
  // The section names of the file, in file order.
  std::vector<std::string> ReadSections() const;
  // "Key=Value" for every key of a section, in file order (values as read).
  std::vector<std::string> ReadSectionValues(const std::string& section) const;

  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& ident) const;

  // Removes a section with all its lines, or one key.
  void EraseSection(const std::string& section);
  void DeleteKey(const std::string& section, const std::string& ident);

  // Reads the file again (to see what another program wrote since).
  void Reload();

 private:
  struct TLocation {
    bool found = false;
    size_t index = 0;  // line of the section header or of the key
  };

  void Load();
  void Save() const;
  TLocation FindSection(const std::string& section) const;
  // Index one past the last line that belongs to the section starting at `header`.
  size_t SectionEnd(size_t header) const;
  TLocation FindKey(const std::string& section, const std::string& ident) const;

  std::string fileName_;
  std::vector<std::string> lines_;  // without their line ends
};

// Windows-1251 aware, case-insensitive comparison of two names.
bool SameIniName(const std::string& a, const std::string& b);

}  // namespace fw
