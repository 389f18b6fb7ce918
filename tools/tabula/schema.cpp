#include "tools/tabula/schema.h"

#include <charconv>
#include <map>
#include <optional>

#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/locale.h"
#include "tools/tabula/csv.h"

namespace tabula::tool {

namespace {

struct TToken {
  std::string Text;  // UTF-8 as written
  bool Quoted = false;
};

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return text;
}

class TParser {
 public:
  TParser(std::string_view text, std::string fileName) : text_(text), file_(std::move(fileName)) {}

  TTableSchema Parse() {
    size_t start = 0;
    int lineNo = 0;
    while (start <= text_.size()) {
      if (start == text_.size() && lineNo > 0) break;  // nothing after the last line end
      size_t end = text_.find('\n', start);
      if (end == std::string_view::npos) end = text_.size();
      std::string_view line = text_.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      ++lineNo;
      line_ = lineNo;
      ParseLine(Tokenize(line));
      if (end == text_.size()) break;
      start = end + 1;
    }
    Finish();
    return std::move(schema_);
  }

 private:
  [[noreturn]] void Fail(const std::string& reason, int line = 0) const {
    throw ESchemaError(file_, line ? line : line_, reason);
  }

  std::vector<TToken> Tokenize(std::string_view line) {
    std::vector<TToken> tokens;
    size_t i = 0;
    while (i < line.size()) {
      const char c = line[i];
      if (c == ' ' || c == '\t') {
        ++i;
        continue;
      }
      if (c == '#') break;
      TToken token;
      if (c == '"') {
        token.Quoted = true;
        ++i;
        for (;;) {
          if (i >= line.size()) Fail("quoted text is not closed");
          if (line[i] == '"') {
            if (i + 1 < line.size() && line[i + 1] == '"') {
              token.Text.push_back('"');
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          token.Text.push_back(line[i++]);
        }
        if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '#')
          Fail("text after the closing quote");
      } else {
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '#') {
          if (line[i] == '"') Fail("quote inside a word; enclose the whole text in quotes");
          token.Text.push_back(line[i++]);
        }
      }
      tokens.push_back(std::move(token));
    }
    return tokens;
  }

  std::string ToTable(const std::string& utf8) const {
    std::string out, reason;
    size_t offset = 0;
    if (!Utf8ToCp1251Checked(utf8, out, reason, offset)) Fail("'" + utf8 + "': " + reason);
    return out;
  }

  long Number(const TToken& token, const char* what, long low, long high) const {
    const std::string& t = token.Text;
    long value = 0;
    std::from_chars_result r{};
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
      r = std::from_chars(t.data() + 2, t.data() + t.size(), value, 16);
    else
      r = std::from_chars(t.data(), t.data() + t.size(), value);
    if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size())
      Fail(std::string(what) + " must be a number, not '" + t + "'");
    if (value < low || value > high)
      Fail(std::string(what) + " must be between " + std::to_string(low) + " and " + std::to_string(high));
    return value;
  }

  static bool IsNumber(const TToken& token) {
    return !token.Quoted && !token.Text.empty() &&
           token.Text.find_first_not_of("0123456789") == std::string::npos;
  }

  void ParseLine(const std::vector<TToken>& tokens) {
    if (tokens.empty()) return;
    const std::string keyword = tokens[0].Quoted ? std::string() : LowerAscii(tokens[0].Text);
    if (keyword == "field")
      ParseField(tokens);
    else if (keyword == "primary")
      ParseIndex(tokens, true);
    else if (keyword == "index")
      ParseIndex(tokens, false);
    else if (keyword == "language")
      ParseLanguage(tokens);
    else if (keyword == "blob-block-size") {
      if (tokens.size() != 2) Fail("blob-block-size takes one number");
      if (blockSizeLine_) Fail("blob-block-size given twice (first on line " + std::to_string(blockSizeLine_) + ")");
      blockSizeLine_ = line_;
      schema_.Options.BlobBlockSize = uint16_t(Number(tokens[1], "blob-block-size", 0, 65535));
    } else if (keyword == "password") {
      if (tokens.size() != 2) Fail("password takes one text");
      if (schema_.PasswordLine) Fail("password given twice");
      schema_.Password = ToTable(tokens[1].Text);
      schema_.PasswordLine = line_;
      if (schema_.Password.empty() || schema_.Password.size() > 15) Fail("a password has 1 to 15 characters");
    } else {
      Fail("unknown line '" + tokens[0].Text + "' (expected field, primary, index, language, blob-block-size or "
           "password)");
    }
  }

  void ParseLanguage(const std::vector<TToken>& tokens) {
    if (languageLine_) Fail("language given twice (first on line " + std::to_string(languageLine_) + ")");
    languageLine_ = line_;
    if (tokens.size() != 2 && !(tokens.size() == 4 && LowerAscii(tokens[2].Text) == "sort"))
      Fail("expected: language ID [sort ID]");
    schema_.Options.LanguageId = uint16_t(Number(tokens[1], "the language id", 0, 65535));
    if (tokens.size() == 4) schema_.Options.SortId = uint16_t(Number(tokens[3], "the sort id", 0, 65535));
  }

  void ParseField(const std::vector<TToken>& tokens) {
    if (tokens.size() < 3) Fail("expected: field NAME TYPE [options]");
    TFieldDef def;
    def.Name = ToTable(tokens[1].Text);
    const std::string type = LowerAscii(tokens[2].Text);
    size_t i = 3;
    auto sizeArg = [&](const char* what) -> uint8_t {
      if (i >= tokens.size() || !IsNumber(tokens[i])) Fail("type " + type + " needs its " + what);
      return uint8_t(Number(tokens[i++], what, 1, kMaxDeclaredSize));
    };
    static const std::map<std::string, std::pair<uint8_t, uint8_t>> kPlain = {
        {"date", {kFldDate, 0}},           {"boolean", {kFldBoolean, 0}},     {"int16", {kFldInt16, 0}},
        {"int32", {kFldInt32, 0}},         {"autoinc", {kFldInt32, kSubAutoInc}},
        {"float", {kFldFloat, 0}},         {"currency", {kFldFloat, kSubCurrency}},
        {"time", {kFldTime, 0}},           {"timestamp", {kFldTimestamp, 0}}, {"uint16", {kFldUInt16, 0}},
        {"uint32", {kFldUInt32, 0}},       {"extended", {kFldExtended, 0}},   {"memo", {kFldBlob, kSubMemo}},
        {"fmtmemo", {kFldBlob, kSubFmtMemo}}, {"graphic", {kFldBlob, kSubGraphic}},
        {"typedbinary", {kFldBlob, kSubTypedBinary}},
    };
    if (type == "string") {
      def.FieldType = kFldString;
      def.Size = sizeArg("size (1..250)");
    } else if (type == "bytes") {
      def.FieldType = kFldBytes;
      def.Size = sizeArg("size (1..250)");
    } else if (type == "varbytes") {
      def.FieldType = kFldVarBytes;
      def.Size = sizeArg("size (1..250)");
    } else if (type == "bcd") {
      def.FieldType = kFldBcd;
      if (i < tokens.size() && IsNumber(tokens[i])) def.Scale = uint8_t(Number(tokens[i++], "the scale", 0, 4));
    } else if (type == "blob") {
      def.FieldType = kFldBlob;
      if (i < tokens.size() && IsNumber(tokens[i])) def.SubType = uint8_t(Number(tokens[i++], "the subtype", 0, 255));
    } else if (auto it = kPlain.find(type); it != kPlain.end()) {
      def.FieldType = it->second.first;
      def.SubType = it->second.second;
      def.AutoIncrement = type == "autoinc";
    } else {
      Fail("unknown field type '" + tokens[2].Text + "'");
    }
    while (i < tokens.size()) {
      const std::string option = tokens[i].Quoted ? std::string() : LowerAscii(tokens[i].Text);
      ++i;
      std::string* text = nullptr;
      if (option == "required") {
        def.Required = true;
        continue;
      }
      if (option == "min") text = &def.MinValue;
      if (option == "max") text = &def.MaxValue;
      if (option == "default") text = &def.DefaultValue;
      if (!text) Fail("unknown field option '" + tokens[i - 1].Text + "' (expected required, min, max or default)");
      if (i >= tokens.size()) Fail(option + " needs a value");
      *text = ToTable(tokens[i++].Text);
      if (text->size() > kFieldValueTextMax) Fail(option + " text is longer than 50 characters");
    }
    schema_.Fields.push_back(std::move(def));
    schema_.FieldLines.push_back(line_);
  }

  void ParseIndex(const std::vector<TToken>& tokens, bool primary) {
    TIndexDef def;
    def.Primary = primary;
    size_t i = 1;
    if (!primary) {
      if (tokens.size() < 3) Fail("expected: index NAME FIELD[,FIELD...] [options]");
      def.Name = ToTable(tokens[i++].Text);
    } else if (tokens.size() < 2) {
      Fail("expected: primary FIELD[,FIELD...] [options]");
    }
    // Key fields: comma-separated; a field written NAME:desc sorts descending.
    const std::string list = tokens[i++].Text;
    size_t start = 0;
    for (;;) {
      size_t comma = list.find(',', start);
      std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      bool descending = false;
      const size_t colon = item.rfind(':');
      if (colon != std::string::npos) {
        const std::string suffix = LowerAscii(item.substr(colon + 1));
        if (suffix != "desc" && suffix != "asc") Fail("key field '" + item + "': expected NAME, NAME:asc or NAME:desc");
        descending = suffix == "desc";
        item.erase(colon);
      }
      if (item.empty()) Fail("empty key field name in '" + list + "'");
      def.Fields.push_back(ToTable(item));
      def.FieldDescending.push_back(descending);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    while (i < tokens.size()) {
      const std::string option = tokens[i].Quoted ? std::string() : LowerAscii(tokens[i].Text);
      ++i;
      if (option == "unique") {
        def.Unique = true;
      } else if (option == "descending") {
        def.Descending = true;
      } else if (option == "case-insensitive") {
        def.CaseInsensitive = true;
      } else if (option == "compression") {
        if (i >= tokens.size()) Fail("compression needs a mode (none, leading, trailing, both or 0..3)");
        static const std::map<std::string, uint8_t> kModes = {
            {"none", 0}, {"leading", 1}, {"trailing", 2}, {"both", 3}, {"0", 0}, {"1", 1}, {"2", 2}, {"3", 3}};
        auto it = kModes.find(LowerAscii(tokens[i].Text));
        if (it == kModes.end()) Fail("unknown compression '" + tokens[i].Text + "'");
        def.Compression = it->second;
        ++i;
      } else {
        Fail("unknown index option '" + tokens[i - 1].Text +
             "' (expected unique, descending, case-insensitive or compression)");
      }
    }
    schema_.Indexes.push_back(std::move(def));
    schema_.IndexLines.push_back(line_);
  }

  // Checks that need the whole file: each field by the engine's own rules,
  // then names across fields and indexes.
  void Finish() {
    if (schema_.Fields.empty()) Fail("the schema defines no fields", line_);
    const uint16_t lang = schema_.Options.LanguageId, sort = schema_.Options.SortId;
    if (lang != 0 && !IsLocaleInstalled(lang, sort))
      Fail("language " + std::to_string(lang) + " sort " + std::to_string(sort) + " is not an installed locale",
           languageLine_);
    std::map<std::string, int> names;
    for (size_t k = 0; k < schema_.Fields.size(); ++k) {
      const TFieldDef& f = schema_.Fields[k];
      const int line = schema_.FieldLines[k];
      try {
        CheckFieldDefs({f}, lang, sort, false);
      } catch (const ETabulaEngineError& e) {
        Fail("field '" + Cp1251ToUtf8(f.Name) + "': " + Cp1251ToUtf8(e.Message), line);
      }
      const std::string key = UpperText(lang, sort, f.Name);
      if (auto [it, fresh] = names.emplace(key, line); !fresh)
        Fail("field '" + Cp1251ToUtf8(f.Name) + "' is defined twice (first on line " + std::to_string(it->second) +
                 ")",
             line);
    }
    std::map<std::string, int> indexNames;
    int primaryLine = 0;
    for (size_t k = 0; k < schema_.Indexes.size(); ++k) {
      const TIndexDef& d = schema_.Indexes[k];
      const int line = schema_.IndexLines[k];
      if (d.Primary) {
        if (primaryLine) Fail("a second primary index (the first is on line " + std::to_string(primaryLine) + ")", line);
        primaryLine = line;
      } else if (auto [it, fresh] = indexNames.emplace(UpperText(lang, sort, d.Name), line); !fresh) {
        Fail("index '" + Cp1251ToUtf8(d.Name) + "' is defined twice (first on line " + std::to_string(it->second) + ")",
             line);
      }
      for (const std::string& field : d.Fields) {
        auto it = names.find(UpperText(lang, sort, field));
        if (it == names.end()) Fail("key field '" + Cp1251ToUtf8(field) + "' is not a field of the table", line);
        for (size_t f = 0; f < schema_.Fields.size(); ++f)
          if (schema_.FieldLines[f] == it->second && schema_.Fields[f].FieldType == kFldBlob)
            Fail("key field '" + Cp1251ToUtf8(field) + "' is a blob; blobs cannot be keys", line);
      }
      if (d.Fields.size() > size_t(kMaxKeyFields)) Fail("an index has at most 16 key fields", line);
    }
  }

  std::string_view text_;
  std::string file_;
  int line_ = 0;
  int languageLine_ = 0;
  int blockSizeLine_ = 0;
  TTableSchema schema_;
};

std::string QuoteIfNeeded(const std::string& utf8, bool name = true) {
  bool plain = !utf8.empty();
  for (char c : utf8)
    if (c == ' ' || c == '\t' || c == '"' || c == '#' || (name && (c == ',' || c == ':'))) plain = false;
  if (plain) return utf8;
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  return out + "\"";
}

std::string AlwaysQuote(const std::string& utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  return out + "\"";
}

}  // namespace

ESchemaError::ESchemaError(const std::string& file, int line, const std::string& reason)
    : EToolError(file + ":" + std::to_string(line) + ": " + reason), Line(line), Reason(reason) {}

TTableSchema ParseSchema(std::string_view text, const std::string& fileName) {
  return TParser(text, fileName).Parse();
}

std::string FormatSchema(const std::vector<TFieldDesc>& fields, const std::vector<TIndexDescriptor>& indexes, uint16_t languageId,
                         uint16_t sortId, uint32_t blobBlockSize) {
  std::string out;
  if (languageId != 0) {
    out += "language " + std::to_string(languageId);
    if (sortId != 0) out += " sort " + std::to_string(sortId);
    out += "\n";
  }
  if (blobBlockSize != 0) out += "blob-block-size " + std::to_string(blobBlockSize) + "\n";
  for (const TFieldDesc& f : fields) {
    std::string type;
    switch (f.FieldType) {
      case kFldString: type = "string " + std::to_string(f.Size); break;
      case kFldBytes: type = "bytes " + std::to_string(f.Size); break;
      case kFldVarBytes: type = "varbytes " + std::to_string(f.Size); break;
      case kFldBcd: type = "bcd " + std::to_string(f.Scale); break;
      case kFldDate: type = "date"; break;
      case kFldBoolean: type = "boolean"; break;
      case kFldInt16: type = "int16"; break;
      case kFldInt32: type = f.SubType == kSubAutoInc ? "autoinc" : "int32"; break;
      case kFldFloat: type = f.SubType == kSubCurrency ? "currency" : "float"; break;
      case kFldTime: type = "time"; break;
      case kFldTimestamp: type = "timestamp"; break;
      case kFldUInt16: type = "uint16"; break;
      case kFldUInt32: type = "uint32"; break;
      case kFldExtended: type = "extended"; break;
      case kFldBlob:
        switch (f.SubType) {
          case kSubMemo: type = "memo"; break;
          case kSubFmtMemo: type = "fmtmemo"; break;
          case kSubGraphic: type = "graphic"; break;
          case kSubTypedBinary: type = "typedbinary"; break;
          default: type = "blob " + std::to_string(f.SubType);
        }
        break;
      default: type = "unknown-type-" + std::to_string(f.FieldType);
    }
    out += "field " + QuoteIfNeeded(Cp1251ToUtf8(f.Name)) + " " + type;
    if (f.Required) out += " required";
    if (!f.MinValue.empty()) out += " min " + AlwaysQuote(Cp1251ToUtf8(f.MinValue));
    if (!f.MaxValue.empty()) out += " max " + AlwaysQuote(Cp1251ToUtf8(f.MaxValue));
    if (!f.DefaultValue.empty()) out += " default " + AlwaysQuote(Cp1251ToUtf8(f.DefaultValue));
    out += "\n";
  }
  auto fieldName = [&](uint16_t no) -> std::string {
    if (no >= 1 && no <= fields.size()) return Cp1251ToUtf8(fields[no - 1].Name);
    return "#" + std::to_string(no);
  };
  for (int slot = 0; slot < int(indexes.size()) && slot <= kMaxSecondaryIndexes; ++slot) {
    const TIndexDescriptor& d = indexes[size_t(slot)];
    if (d.FieldCount == 0) continue;
    out += slot == 0 ? "primary " : "index " + QuoteIfNeeded(Cp1251ToUtf8(d.Name)) + " ";
    // The key list is one word: quoted as a whole when a name holds blanks.
    std::string list;
    for (int k = 0; k < d.FieldCount && k < kMaxKeyFields; ++k) {
      if (k) list += ",";
      list += fieldName(d.FieldNumbers[k]);
      if (d.FieldDescending[k]) list += ":desc";
    }
    out += QuoteIfNeeded(list, false);
    if (slot != 0 && d.Unique) out += " unique";
    if (d.Descending) out += " descending";
    if (d.CaseInsensitive) out += " case-insensitive";
    static const char* kModes[] = {"none", "leading", "trailing", "both"};
    if (d.Compression != 0) out += std::string(" compression ") + (d.Compression <= 3 ? kModes[d.Compression] : "?");
    out += "\n";
  }
  return out;
}

}  // namespace tabula::tool
