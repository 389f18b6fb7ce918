#pragma once
// Helpers of the tool tests: whole files as bytes, patching bytes in place,
// little-endian numbers as bytes.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tool_test {

inline std::string ReadFile(const std::filesystem::path& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::filesystem::path& name, const std::string& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Overwrites bytes of a file at an offset.
inline void Patch(const std::filesystem::path& name, int64_t offset, const std::string& bytes) {
  std::fstream f(name, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(offset);
  f.write(bytes.data(), std::streamsize(bytes.size()));
}

inline std::string Le32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
inline std::string Le16(uint16_t v) { return std::string{char(v), char(v >> 8)}; }

}  // namespace tool_test
