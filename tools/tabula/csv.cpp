#include "tools/tabula/csv.h"

#include <cstdio>
#include <utility>

#include "tabula/locale.h"

namespace tabula::tool {

namespace {

constexpr size_t kReadChunk = 1 << 16;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

}  // namespace

TTextEncoding ParseEncodingName(std::string_view name) {
  const std::string n = Lower(name);
  if (n == "utf8" || n == "utf-8") return TTextEncoding::kUtf8;
  if (n == "cp1251" || n == "windows-1251") return TTextEncoding::kCp1251;
  throw EUsageError("unknown encoding '" + std::string(name) + "' (use utf8 or cp1251)");
}

bool Utf8ToCp1251Checked(std::string_view text, std::string& out, std::string& reason, size_t& faultOffset) {
  out.clear();
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b0 = uint8_t(text[i]);
    if (b0 < 0x80) {
      out.push_back(char(b0));
      ++i;
      continue;
    }
    int extra = 0;
    uint32_t cp = 0;
    if ((b0 & 0xE0) == 0xC0) {
      extra = 1;
      cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
      extra = 2;
      cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
      extra = 3;
      cp = b0 & 0x07;
    } else {
      reason = "invalid UTF-8 byte sequence";
      faultOffset = i;
      return false;
    }
    if (i + size_t(extra) >= text.size()) {
      reason = "invalid UTF-8 byte sequence";
      faultOffset = i;
      return false;
    }
    for (int k = 1; k <= extra; ++k) {
      const auto b = uint8_t(text[i + size_t(k)]);
      if ((b & 0xC0) != 0x80) {
        reason = "invalid UTF-8 byte sequence";
        faultOffset = i;
        return false;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      reason = "invalid UTF-8 byte sequence";
      faultOffset = i;
      return false;
    }
    uint8_t byte = 0;
    if (cp > 0xFFFF || !UnicodeToCp1251(char16_t(cp), byte)) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "U+%04X", unsigned(cp));
      reason = std::string("character ") + hex + " has no Windows-1251 form";
      faultOffset = i;
      return false;
    }
    out.push_back(char(byte));
    i += size_t(extra) + 1;
  }
  return true;
}

ECsvError::ECsvError(const std::string& file, int64_t line, int64_t column, const std::string& reason)
    : EToolError(file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + reason),
      Line(line),
      Column(column),
      Reason(reason) {}

TCsvReader::TCsvReader(std::istream& in, std::string fileName, TTextEncoding encoding)
    : in_(in), fileName_(std::move(fileName)), encoding_(encoding), buffer_(kReadChunk) {}

bool TCsvReader::Fill() {
  if (eof_) return false;
  in_.read(buffer_.data(), std::streamsize(buffer_.size()));
  end_ = size_t(in_.gcount());
  pos_ = 0;
  if (end_ == 0) {
    eof_ = true;
    return false;
  }
  return true;
}

int TCsvReader::Peek() {
  if (pos_ >= end_ && !Fill()) return -1;
  return uint8_t(buffer_[pos_]);
}

int TCsvReader::Get() {
  const int c = Peek();
  if (c < 0) return c;
  ++pos_;
  ++consumed_;
  if (c == '\n') {
    ++line_;
    column_ = 1;
  } else {
    ++column_;
  }
  return c;
}

void TCsvReader::Fail(int64_t line, int64_t column, const std::string& reason) const {
  throw ECsvError(fileName_, line, column, reason);
}

void TCsvReader::FinishField(TCsvField& field, const std::string& raw) {
  if (encoding_ == TTextEncoding::kCp1251) {
    field.Text = raw;
    return;
  }
  std::string reason;
  size_t offset = 0;
  if (!Utf8ToCp1251Checked(raw, field.Text, reason, offset)) {
    // The column of the fault: count the bytes of the field up to it (a
    // quoted field may span lines; report its start line then).
    Fail(field.Line, field.Column + int64_t(offset) + (field.Quoted ? 1 : 0), reason);
  }
}

bool TCsvReader::ReadRow(std::vector<TCsvField>& fields) {
  fields.clear();
  if (!started_) {
    started_ = true;
    if (encoding_ == TTextEncoding::kUtf8 && Peek() == 0xEF) {
      // Byte order mark: EF BB BF.
      Get();
      if (Get() != 0xBB || Get() != 0xBF) Fail(1, 1, "invalid UTF-8 byte sequence");
      column_ = 1;
    }
  }
  // Skip completely empty lines.
  for (;;) {
    const int c = Peek();
    if (c < 0) return false;
    if (c == '\n') {
      Get();
      continue;
    }
    if (c == '\r') {
      Get();
      if (Peek() == '\n') Get();
      continue;
    }
    break;
  }
  rowLine_ = line_;
  std::string raw;
  for (;;) {
    TCsvField field;
    field.Line = line_;
    field.Column = column_;
    raw.clear();
    bool endOfRow = false;
    if (Peek() == '"') {
      field.Quoted = true;
      Get();
      for (;;) {
        const int c = Get();
        if (c < 0) Fail(field.Line, field.Column, "quoted field is not closed before the end of the file");
        if (c == '"') {
          if (Peek() == '"') {
            Get();
            raw.push_back('"');
            continue;
          }
          break;
        }
        raw.push_back(char(c));
      }
      const int next = Peek();
      if (next == ',') {
        Get();
      } else if (next < 0 || next == '\n') {
        Get();
        endOfRow = true;
      } else if (next == '\r') {
        Get();
        if (Peek() == '\n') Get();
        endOfRow = true;
      } else {
        Fail(line_, column_, "text after the closing quote of a field");
      }
    } else {
      for (;;) {
        const int c = Peek();
        if (c < 0 || c == '\n') {
          Get();
          endOfRow = true;
          break;
        }
        if (c == '\r') {
          Get();
          if (Peek() == '\n') Get();
          endOfRow = true;
          break;
        }
        if (c == ',') {
          Get();
          break;
        }
        if (c == '"') Fail(line_, column_, "quote inside an unquoted field");
        raw.push_back(char(Get()));
      }
    }
    FinishField(field, raw);
    fields.push_back(std::move(field));
    if (endOfRow) return true;
    if (Peek() < 0) {
      // A comma just before the end of the file: one more empty field.
      TCsvField last;
      last.Line = line_;
      last.Column = column_;
      fields.push_back(std::move(last));
      return true;
    }
  }
}

void TCsvWriter::WriteField(std::string_view text) {
  bool quote = text == "\\N";
  for (char c : text)
    if (c == ',' || c == '"' || c == '\r' || c == '\n') quote = true;
  std::string converted = encoding_ == TTextEncoding::kUtf8 ? Cp1251ToUtf8(text) : std::string(text);
  if (!quote) {
    line_ += converted;
    return;
  }
  line_.push_back('"');
  for (char c : converted) {
    if (c == '"') line_.push_back('"');
    line_.push_back(c);
  }
  line_.push_back('"');
}

void TCsvWriter::WriteRow(const std::vector<std::string>& texts) {
  WriteRow(texts, std::vector<bool>(texts.size(), false));
}

void TCsvWriter::WriteRow(const std::vector<std::string>& texts, const std::vector<bool>& nulls) {
  line_.clear();
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i) line_.push_back(',');
    if (i < nulls.size() && nulls[i])
      line_ += "\\N";
    else
      WriteField(texts[i]);
  }
  line_ += "\r\n";
  out_.write(line_.data(), std::streamsize(line_.size()));
}

}  // namespace tabula::tool
