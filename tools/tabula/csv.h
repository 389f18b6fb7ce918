#pragma once
// CSV files as RFC 4180 has them: fields separated by commas, rows ended by
// CRLF or LF, a field that holds a comma, a quote or a line break enclosed
// in double quotes with inner quotes doubled. The reader also takes the file
// in one of two encodings (UTF-8, whose byte order mark is skipped, or
// Windows-1251) and hands fields on as Windows-1251, the engine's text;
// the writer does the reverse.
//
// The tool's NULL convention lives here too: an empty unquoted field or the
// unquoted text \N is NULL; a quoted "\N" is the two characters.

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/tabula/tool_error.h"

namespace tabula::tool {

enum class TTextEncoding : uint8_t { kUtf8, kCp1251 };

// "utf8"/"utf-8" or "cp1251"/"windows-1251" (any case); EUsageError otherwise.
TTextEncoding ParseEncodingName(std::string_view name);

// UTF-8 -> Windows-1251 that refuses what it cannot carry: returns false and
// a reason (an invalid byte sequence, a character the code page lacks)
// with the 0-based byte offset of the fault.
bool Utf8ToCp1251Checked(std::string_view text, std::string& out, std::string& reason, size_t& faultOffset);

// One field of a row as read.
struct TCsvField {
  std::string Text;     // Windows-1251
  bool Quoted = false;  // was enclosed in quotes
  int64_t Line = 0;     // line where the field begins (1-based)
  int64_t Column = 0;   // 1-based column (byte) where it begins on that line

  // NULL by the tool's convention: empty and unquoted, or unquoted \N.
  bool IsNull() const { return !Quoted && (Text.empty() || Text == "\\N"); }
};

// A fault in the file: "FILE:LINE:COLUMN: reason".
class ECsvError : public EToolError {
 public:
  ECsvError(const std::string& file, int64_t line, int64_t column, const std::string& reason);
  int64_t Line;
  int64_t Column;
  std::string Reason;
};

class TCsvReader {
 public:
  TCsvReader(std::istream& in, std::string fileName, TTextEncoding encoding);

  // The next row, false at the end of the file. Lines that are completely
  // empty are skipped. Raises ECsvError for a quote left open, text after a
  // closing quote, a quote inside an unquoted field, or text the encoding
  // cannot carry.
  bool ReadRow(std::vector<TCsvField>& fields);
  // Line on which the last row read began.
  int64_t RowLine() const { return rowLine_; }
  // Bytes consumed so far (for progress displays).
  int64_t BytesRead() const { return consumed_; }
  const std::string& FileName() const { return fileName_; }

 private:
  int Peek();
  int Get();
  bool Fill();
  void FinishField(TCsvField& field, const std::string& raw);
  [[noreturn]] void Fail(int64_t line, int64_t column, const std::string& reason) const;

  std::istream& in_;
  std::string fileName_;
  TTextEncoding encoding_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
  bool started_ = false;
  int64_t consumed_ = 0;
  int64_t line_ = 1;
  int64_t column_ = 1;
  int64_t rowLine_ = 0;
};

class TCsvWriter {
 public:
  TCsvWriter(std::ostream& out, TTextEncoding encoding) : out_(out), encoding_(encoding) {}
  // One row; texts are Windows-1251. A field is quoted when it holds a
  // comma, a quote, CR or LF, or is exactly \N (which would read as NULL).
  void WriteRow(const std::vector<std::string>& texts);
  // A row whose fields may be NULL (written as unquoted \N).
  void WriteRow(const std::vector<std::string>& texts, const std::vector<bool>& nulls);

 private:
  void WriteField(std::string_view text);
  std::ostream& out_;
  TTextEncoding encoding_;
  std::string line_;
};

}  // namespace tabula::tool
