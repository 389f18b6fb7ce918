// tabula info, tabula dump: the read-only views of a table.
#include <cstdio>
#include <memory>
#include <string>

#include "tabula/field_types.h"
#include "tabula/locale.h"
#include "tools/tabula/cli.h"
#include "tools/tabula/record_filter.h"
#include "tools/tabula/schema.h"
#include "tools/tabula/table_reader.h"
#include "tools/tabula/value_text.h"

namespace tabula::tool {

namespace {

std::string Pad(std::string text, size_t width) {
  // Widths count characters, not UTF-8 bytes.
  size_t chars = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++chars;
  if (chars < width) text.append(width - chars, ' ');
  return text;
}

std::string LastUpdatedText(double stored) {
  // Stored: days since 1899-12-30 with fraction, minus 693594.
  const double timestamp = (stored + 693594.0 + 693594.0) * 86400000.0;
  try {
    return FormatTimestamp(timestamp);
  } catch (const EValueError&) {
    return "(not a date: " + FormatFloat(stored) + ")";
  }
}

// Dump cells: tabs, line breaks and backslashes escaped.
std::string Escape(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

}  // namespace

int RunInfo(const TArgs& args, TStreams streams) {
  TTablePassword password(args);
  TTableReader table(args.Positional[0], password);
  TDataFile& data = table.Data();
  const TDataHeader& h = data.Header();
  if (args.Has("schema")) {
    std::vector<TIndexDescriptor> indexes;
    for (int slot = 0; slot <= data.SecondaryIndexCount() && slot <= kMaxSecondaryIndexes; ++slot)
      indexes.push_back(slot == 0 && data.NoPrimaryIndex() ? TIndexDescriptor{} : data.GetIndexDesc(uint8_t(slot)));
    streams.Out << FormatSchema(data.Descriptors(TDescSet::kFile), indexes, h.LanguageId, h.SortId,
                                h.BlobBlockSize & 0xFFFF);
    return kExitOk;
  }
  std::ostream& out = streams.Out;
  out << "table        " << table.FileName() << "\n";
  out << "format       version " << int(h.FormatVersion) << ", record size " << h.RecordSize << " bytes, "
      << h.FieldCount << " fields, " << h.BlobFieldCount << " blob fields\n";
  if (h.LanguageId != 0)
    out << "locale       language " << h.LanguageId << " sort " << h.SortId << " ("
        << LocaleNameForIds(h.LanguageId, h.SortId) << ")\n";
  else
    out << "locale       none (text compares as bytes)\n";
  if (h.BlobFieldCount != 0) out << "blob blocks  " << h.EffectiveBlobBlockSize() << " bytes\n";
  out << "records      " << table.LiveRecordCount() << " live in " << table.SlotCount() << " slots; first free slot "
      << h.FirstFreeRecord << "; last record ID " << h.LastRecordID << "\n";
  out << "changes      counter " << h.ChangeCounter << ", last written " << LastUpdatedText(h.LastUpdated) << "\n";
  if (h.Encrypted) out << "enciphered   yes\n";
  out << "index file   " << data.IndexFileName() << ", " << data.IndexFilePages() << " pages"
      << (data.NoPrimaryIndex() ? ", no primary index (physical order)" : "") << "\n";
  out << "\nfields\n";
  out << "  " << Pad("no", 4) << Pad("name", 32) << Pad("type", 14) << "details\n";
  for (const TFieldDesc& f : data.Descriptors(TDescSet::kFile)) {
    std::string details = "offset " + std::to_string(f.Offset);
    if (f.Required) details += ", required";
    if (!f.MinValue.empty()) details += ", min " + Cp1251ToUtf8(f.MinValue);
    if (!f.MaxValue.empty()) details += ", max " + Cp1251ToUtf8(f.MaxValue);
    if (!f.DefaultValue.empty()) details += ", default " + Cp1251ToUtf8(f.DefaultValue);
    if (f.Computed) details += ", computed";
    out << "  " << Pad(std::to_string(f.FieldNo), 4) << Pad(Cp1251ToUtf8(f.Name), 32) << Pad(FieldTypeName(f), 14)
        << details << "\n";
  }
  out << "\nindexes\n";
  const auto& fields = data.Descriptors(TDescSet::kFile);
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    if (slot > data.SecondaryIndexCount() && slot != kSysDeletedSlot) continue;
    if (!data.IndexKeepsKeys(uint8_t(slot))) continue;
    const TIndexDescriptor d = data.GetIndexDesc(uint8_t(slot));
    std::string keys;
    for (int k = 0; k < d.FieldCount && k < kMaxKeyFields; ++k) {
      if (k) keys += ",";
      const uint16_t no = d.FieldNumbers[k];
      keys += no >= 1 && no <= fields.size() ? Cp1251ToUtf8(fields[no - 1].Name) : "#" + std::to_string(no);
      if (d.FieldDescending[k]) keys += ":desc";
    }
    std::string details = "key " + std::to_string(d.KeyLength) + " bytes";
    if (slot == 0 || d.Unique) details += ", unique";
    if (d.Descending) details += ", descending";
    if (d.CaseInsensitive) details += ", case-insensitive";
    if (d.Compression) details += ", compression " + std::to_string(d.Compression);
    if (!d.HasTree()) details += ", empty";
    const std::string name = slot == 0 ? "<primary>" : Cp1251ToUtf8(d.Name);
    out << "  " << Pad(name, 20) << Pad(keys.empty() ? "(status, record ID)" : keys, 30) << details << "\n";
  }
  return kExitOk;
}

int RunDump(const TArgs& args, TStreams streams) {
  TReadOrder order;
  order.IndexName = args.Value("index");
  if (args.Has("from")) order.FromKey = args.Value("from");
  order.Limit = args.Has("limit") ? args.Number("limit", -1) : -1;
  TTablePassword password(args);
  TTableReader table(args.Positional[0], password);
  const auto& fields = table.Fields();
  std::unique_ptr<TRecordFilter> filter;
  if (args.Has("filter"))
    filter = std::make_unique<TRecordFilter>(args.Value("filter"), fields, table.Data().Header().LanguageId,
                                             table.Data().Header().SortId);
  std::ostream& out = streams.Out;
  std::string line = "slot";
  for (const TFieldDesc& f : fields) line += "\t" + Escape(Cp1251ToUtf8(f.Name));
  out << line << "\n";
  std::vector<uint8_t> value(256);
  // The limit counts the records printed, so with a filter it is applied here.
  const int64_t limit = order.Limit;
  if (filter) order.Limit = -1;
  int64_t printed = 0;
  table.ForEach(order, [&](uint32_t recNo, const uint8_t* buffer) {
    if (filter && !filter->Accepts(buffer)) return true;
    if (limit >= 0 && printed >= limit) return false;
    ++printed;
    line = std::to_string(recNo);
    for (size_t i = 0; i < fields.size(); ++i) {
      const TFieldDesc& f = fields[i];
      line += "\t";
      if (table.Data().GetField(TDescSet::kWorking, int(i) + 1, buffer, value.data())) {
        line += "\\N";
      } else if (f.FieldType == kFldBlob) {
        const std::vector<uint8_t> blob = table.ReadBlob(buffer, int(i) + 1, recNo);
        if (IsTextBlob(f))
          line += Escape(Cp1251ToUtf8(std::string(blob.begin(), blob.end())));
        else
          line += "<" + std::to_string(blob.size()) + " bytes>";
      } else {
        try {
          line += Escape(Cp1251ToUtf8(FormatFieldValue(f, value.data())));
        } catch (const EValueError& e) {
          line += "<" + std::string(e.what()) + ">";
        }
      }
    }
    out << line << "\n";
    return bool(out);
  });
  return kExitOk;
}

}  // namespace tabula::tool
