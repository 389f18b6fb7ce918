#pragma once
// Helpers of the GIF tests: a small writer of GIF byte streams (so each test
// states the blocks it needs), a Qt application for the widget tests, and a
// runner for the external encoders that make the test corpus.

#include <QApplication>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "widgets/gif_lzw.h"

namespace gif_test {

inline void EnsureApp() {
  if (QApplication::instance() == nullptr) {
    static int argc = 1;
    static char name[] = "gif_test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
  }
}

inline void Word(std::string& out, int v) {
  out += static_cast<char>(v & 0xff);
  out += static_cast<char>((v >> 8) & 0xff);
}

// Color i of a test table: distinct, easy to recognise.
inline uint32_t TestColor(int i) { return 0xff000000u | (static_cast<uint32_t>(i * 7 & 0xff) << 16) | ((i * 13 & 0xff) << 8) | (i * 29 & 0xff); }

inline void Table(std::string& out, int bits) {
  for (int i = 0; i < (1 << bits); ++i) {
    const uint32_t c = TestColor(i);
    out += static_cast<char>((c >> 16) & 0xff);
    out += static_cast<char>((c >> 8) & 0xff);
    out += static_cast<char>(c & 0xff);
  }
}

// Header and logical screen; globalBits 0 = no global color table.
inline std::string Header(int width, int height, int globalBits, int background = 0, const char* version = "GIF89a") {
  std::string out = version;
  Word(out, width);
  Word(out, height);
  out += static_cast<char>(globalBits > 0 ? (0x80 | 0x70 | (globalBits - 1)) : 0x70);
  out += static_cast<char>(background);
  out += '\0';
  if (globalBits > 0) Table(out, globalBits);
  return out;
}

// Graphic control extension; transparentIndex < 0 = none.
inline std::string Gce(int disposal, int delayHundredths, int transparentIndex = -1) {
  std::string out = "\x21\xf9\x04";
  out += static_cast<char>((disposal << 2) | (transparentIndex >= 0 ? 1 : 0));
  Word(out, delayHundredths);
  out += static_cast<char>(transparentIndex >= 0 ? transparentIndex : 0);
  out += '\0';
  return out;
}

inline std::string Looping(int count) {
  std::string out = "\x21\xff\x0bNETSCAPE2.0\x03\x01";
  Word(out, count);
  out += '\0';
  return out;
}

inline std::string Comment(const std::string& text) {
  std::string out = "\x21\xfe";
  out += static_cast<char>(text.size());
  out += text;
  out += '\0';
  return out;
}

// Image descriptor, optional local table (localBits 0 = none) and the raster
// of `pixels` (row order as stored) with the given code size.
inline std::string Image(int left, int top, int width, int height, int localBits, const std::vector<uint8_t>& pixels,
                         int codeSize, bool interlaced = false) {
  std::string out = "\x2c";
  Word(out, left);
  Word(out, top);
  Word(out, width);
  Word(out, height);
  out += static_cast<char>((localBits > 0 ? 0x80 | (localBits - 1) : 0) | (interlaced ? 0x40 : 0));
  if (localBits > 0) Table(out, localBits);
  out += widgets::GifLzwEncode(pixels.data(), pixels.size(), codeSize);
  return out;
}

inline std::vector<uint8_t> Pattern(int count, int colors, int seed = 0) {
  std::vector<uint8_t> pixels(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) pixels[static_cast<std::size_t>(i)] = static_cast<uint8_t>((i * 7 + i / 5 + seed) % colors);
  return pixels;
}

// Runs a shell command; true on exit status 0.
inline bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace gif_test
