#include "framework/core/ini_file.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "framework/core/exceptions.h"
#include "framework/core/windows1251_case.h"

namespace fw {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

// What a line of the file is.
enum class TLineKind { kBlank, kComment, kSection, kKey };

struct TParsedLine {
  TLineKind kind = TLineKind::kBlank;
  std::string name;   // section or key name, trimmed
  std::string value;  // key value, trimmed, quotes not yet removed
};

TParsedLine ParseLine(const std::string& line) {
  TParsedLine parsed;
  const std::string text = Trim(line);
  if (text.empty()) return parsed;
  if (text[0] == ';') {
    parsed.kind = TLineKind::kComment;
    return parsed;
  }
  if (text[0] == '[') {
    parsed.kind = TLineKind::kSection;
    const size_t close = text.find(']');
    parsed.name = Trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return parsed;
  }
  const size_t eq = text.find('=');
  parsed.name = Trim(text.substr(0, eq));
  if (parsed.name.empty()) return parsed;  // "=value": nothing a reader can name
  parsed.kind = TLineKind::kKey;
  if (eq != std::string::npos) parsed.value = Trim(text.substr(eq + 1));
  return parsed;
}

// A value in matching single or double quotes reads without them.
std::string Unquote(const std::string& value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// Parses the whole text as a 32-bit integer; false when it is not one.
bool ParseInteger(const std::string& text, int32_t& result) {
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  int base = 10;
  if (pos < text.size() && text[pos] == '$') {
    base = 16;
    ++pos;
  } else if (pos + 1 < text.size() && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
    base = 16;
    pos += 2;
  }
  if (pos >= text.size()) return false;
  uint64_t magnitude = 0;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    magnitude = magnitude * base + digit;
    if (magnitude > 0xFFFFFFFFull) return false;
  }
  if (base == 10) {
    if (negative ? magnitude > 0x80000000ull : magnitude > 0x7FFFFFFFull) return false;
    result = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
    return true;
  }
  // Hexadecimal covers the whole 32-bit pattern ($FFFFFFFF is -1).
  const auto bits = static_cast<uint32_t>(magnitude);
  const auto value = static_cast<int32_t>(bits);
  result = negative ? static_cast<int32_t>(0u - bits) : value;
  return true;
}

}  // namespace

bool SameIniName(const std::string& a, const std::string& b) { return SameTextIgnoringCase(a, b); }

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) { Load(); }

void TIniFile::Reload() { Load(); }

void TIniFile::Load() {
  lines_.clear();
  std::ifstream in(fileName_, std::ios::binary);
  if (!in) return;  // a missing or unreadable file reads as empty
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const bool last = end == std::string::npos;
    if (last) end = text.size();
    size_t lineEnd = end;
    if (lineEnd > start && text[lineEnd - 1] == '\r') --lineEnd;
    lines_.push_back(text.substr(start, lineEnd - start));
    start = last ? text.size() : end + 1;
  }
}

void TIniFile::Save() const {
  namespace fs = std::filesystem;
  const fs::path target(fileName_);
  std::error_code ec;
  if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
  // Written beside the old file and renamed over it, so a failure half way
  // never leaves a truncated settings file behind.
  const fs::path temp = fs::path(fileName_ + ".tmp");
  bool ok = false;
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (out) {
      for (const std::string& line : lines_) {
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
        out.write("\r\n", 2);
      }
      out.flush();
      ok = static_cast<bool>(out);
    }
  }
  if (ok) {
    fs::rename(temp, target, ec);
    ok = !ec;
  }
  if (!ok) {
    fs::remove(temp, ec);
    throw EInOutError("Unable to write to " + fileName_);
  }
}

TIniFile::TLocation TIniFile::FindSection(const std::string& section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    const TParsedLine parsed = ParseLine(lines_[i]);
    if (parsed.kind == TLineKind::kSection && SameIniName(parsed.name, section)) return {true, i};
  }
  return {};
}

size_t TIniFile::SectionEnd(size_t header) const {
  size_t i = header + 1;
  while (i < lines_.size() && ParseLine(lines_[i]).kind != TLineKind::kSection) ++i;
  return i;
}

TIniFile::TLocation TIniFile::FindKey(const std::string& section, const std::string& ident) const {
  const TLocation header = FindSection(section);
  if (!header.found) return {};
  const size_t end = SectionEnd(header.index);
  for (size_t i = header.index + 1; i < end; ++i) {
    const TParsedLine parsed = ParseLine(lines_[i]);
    if (parsed.kind == TLineKind::kKey && SameIniName(parsed.name, ident)) return {true, i};
  }
  return {};
}

std::string TIniFile::ReadString(const std::string& section, const std::string& ident,
                                 const std::string& defaultValue) const {
  const TLocation key = FindKey(Trim(section), Trim(ident));
  if (!key.found) return defaultValue;
  return Unquote(ParseLine(lines_[key.index]).value);
}

void TIniFile::WriteString(const std::string& sectionName, const std::string& identName,
                           const std::string& value) {
  const std::string section = Trim(sectionName);
  const std::string ident = Trim(identName);
  // Names and values that would change the structure of the file are refused.
  if (section.empty() || section.find(']') != std::string::npos || HasLineBreak(section)) {
    throw EConvertError("Invalid ini section name '" + sectionName + "'");
  }
  if (ident.empty() || ident.find('=') != std::string::npos || ident[0] == '[' || ident[0] == ';' ||
      HasLineBreak(ident)) {
    throw EConvertError("Invalid ini key name '" + identName + "'");
  }
  if (HasLineBreak(value)) throw EConvertError("Invalid ini value for key '" + identName + "'");

  const TLocation key = FindKey(section, ident);
  if (key.found) {
    // The key keeps the spelling it has in the file.
    lines_[key.index] = ParseLine(lines_[key.index]).name + "=" + value;
  } else {
    const TLocation header = FindSection(section);
    if (header.found) {
      // After the section's last non-blank line, so the blank lines that
      // separate it from the next section stay where they are.
      size_t insertAt = SectionEnd(header.index);
      while (insertAt > header.index + 1 && Trim(lines_[insertAt - 1]).empty()) --insertAt;
      lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), ident + "=" + value);
    } else {
      if (!lines_.empty() && !Trim(lines_.back()).empty()) lines_.emplace_back();
      lines_.push_back("[" + section + "]");
      lines_.push_back(ident + "=" + value);
    }
  }
  Save();
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& ident, int32_t defaultValue) const {
  const std::string text = ReadString(section, ident, std::string());
  int32_t result = 0;
  return ParseInteger(text, result) ? result : defaultValue;
}

void TIniFile::WriteInteger(const std::string& section, const std::string& ident, int32_t value) {
  WriteString(section, ident, std::to_string(value));
}

bool TIniFile::ReadBool(const std::string& section, const std::string& ident, bool defaultValue) const {
  return ReadInteger(section, ident, defaultValue ? 1 : 0) != 0;
}

void TIniFile::WriteBool(const std::string& section, const std::string& ident, bool value) {
  WriteString(section, ident, value ? "1" : "0");
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  std::vector<std::string> keys;
  const TLocation header = FindSection(Trim(section));
  if (!header.found) return keys;
  const size_t end = SectionEnd(header.index);
  for (size_t i = header.index + 1; i < end; ++i) {
    TParsedLine parsed = ParseLine(lines_[i]);
    if (parsed.kind == TLineKind::kKey) keys.push_back(std::move(parsed.name));
  }
  return keys;
}

std::vector<std::string> TIniFile::ReadSections() const {
  std::vector<std::string> sections;
  for (const std::string& line : lines_) {
    TParsedLine parsed = ParseLine(line);
    if (parsed.kind == TLineKind::kSection) sections.push_back(std::move(parsed.name));
  }
  return sections;
}

std::vector<std::string> TIniFile::ReadSectionValues(const std::string& section) const {
  std::vector<std::string> values;
  for (const std::string& key : ReadSection(section)) values.push_back(key + "=" + ReadString(section, key, ""));
  return values;
}

bool TIniFile::SectionExists(const std::string& section) const { return FindSection(Trim(section)).found; }

bool TIniFile::ValueExists(const std::string& section, const std::string& ident) const {
  return FindKey(Trim(section), Trim(ident)).found;
}

void TIniFile::EraseSection(const std::string& section) {
  bool changed = false;
  // Every section of that name goes, with the lines up to the next section.
  for (TLocation header = FindSection(Trim(section)); header.found; header = FindSection(Trim(section))) {
    const size_t end = SectionEnd(header.index);
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(header.index),
                 lines_.begin() + static_cast<std::ptrdiff_t>(end));
    changed = true;
  }
  if (changed) Save();
}

void TIniFile::DeleteKey(const std::string& section, const std::string& ident) {
  const TLocation key = FindKey(Trim(section), Trim(ident));
  if (!key.found) return;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(key.index));
  Save();
}

}  // namespace fw
