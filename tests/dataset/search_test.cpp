// Index keys, ranges, the master link, record search, the lookup cursor and
// blob streams of the table component, on small generated tables whose
// expected rows come from the generator (digits and Windows-1251 capitals
// order by their bytes, as the Russian rules order them).

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>

#include "dataset/tabula_blob_stream.h"
#include "dataset/tabula_table.h"
#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/table_creator.h"
#include "framework/data/data_errors.h"
#include "framework/data/data_source.h"
#include "framework/data/standard_fields.h"
#include "tests/dataset/dataset_test_util.h"
#include "tests/support/tables/subscriber_table.h"

namespace {

using dataset_test::Column;
using dataset_test::MessageOf;
using dataset_test::TCurrentDir;
using fw::TVariant;
using tabula::db::TTabulaTable;
using testing_support::SubscriberRow;
using testing_support::TSubscriberRow;

constexpr int kRows = 600;

// Ids (1-based row numbers) of the generated rows that pass, in address
// order (kodul, dom, korp, id).
std::vector<std::string> IdsByAddress(const std::function<bool(const TSubscriberRow&)>& keep) {
  std::vector<std::tuple<std::string, std::string, std::string, int>> rows;
  for (int i = 0; i < kRows; ++i) {
    const TSubscriberRow r = SubscriberRow(i);
    if (keep(r)) rows.emplace_back(r.Kodul, r.Dom, r.Korp, i + 1);
  }
  std::sort(rows.begin(), rows.end());
  std::vector<std::string> ids;
  for (const auto& row : rows) ids.push_back(std::to_string(std::get<3>(row)));
  return ids;
}

class SearchTest : public testing::Test {
 protected:
  void SetUp() override {
    testing_support::MakeSubscriberTable(cwd_.File("base2.DAT"), kRows);
    testing_support::MakeStreetTable(cwd_.File("street.DAT"), testing_support::StreetRows(800));
    table_.SetTableName("base2.DAT");
    streets_.SetTableName("street.DAT");
  }
  std::string Field(const char* name) { return table_.FieldByName(name).AsString(); }
  size_t TableFilters() { return table_.Cursor()->FilterCount(); }

  TCurrentDir cwd_;
  TTabulaTable streets_;
  TTabulaTable table_;
};

// ---------------------------------------------------------------- nearest key

TEST_F(SearchTest, SeekNearestComparesOnlyTheFieldsGiven) {
  table_.SetIndexFieldNames("kodul;dom;korp");
  table_.Open();
  const TSubscriberRow some = SubscriberRow(77);
  struct TCase {
    std::vector<std::string> Values;
  } cases[] = {{{some.Kodul}}, {{some.Kodul, some.Dom}}, {{some.Kodul, some.Dom, some.Korp}},
               {{"00015"}}, {{some.Kodul, "0"}}, {{""}}, {{"99999"}}};
  for (const TCase& c : cases) {
    std::vector<TVariant> values(c.Values.begin(), c.Values.end());
    table_.SeekNearest(values);
    // The first row in address order whose given fields are not below the values.
    std::vector<std::tuple<std::string, std::string, std::string, int>> rows;
    for (int i = 0; i < kRows; ++i) {
      const TSubscriberRow r = SubscriberRow(i);
      rows.emplace_back(r.Kodul, r.Dom, r.Korp, i + 1);
    }
    std::sort(rows.begin(), rows.end());
    auto below = [&](const auto& row) {
      const std::string fields[] = {std::get<0>(row), std::get<1>(row), std::get<2>(row)};
      for (size_t k = 0; k < c.Values.size(); ++k)
        if (fields[k] != c.Values[k]) return fields[k] < c.Values[k];
      return false;
    };
    auto it = std::find_if_not(rows.begin(), rows.end(), below);
    if (it == rows.end()) --it;  // beyond every key: the last record
    EXPECT_EQ(Field("id"), std::to_string(std::get<3>(*it))) << c.Values.size() << " " << c.Values[0];
  }
  // A value longer than the field is cut to its size.
  table_.SetIndexFieldNames("Numtel");
  const std::string numtel = SubscriberRow(5).Numtel;
  table_.SeekNearest({numtel + "999"});
  EXPECT_EQ(Field("Numtel"), numtel);
}

TEST_F(SearchTest, SeekNearestFailuresLeaveTheTableWhereItWas) {
  table_.SetIndexFieldNames("Numtel");
  table_.Open();
  table_.MoveBy(10);
  const std::string before = Field("Numtel");
  EXPECT_EQ(MessageOf([&] { table_.SeekNearest({"1", "2"}); }), "Field index out of range");
  streets_.Open();  // primary index on the auto-increment RecordID
  streets_.MoveBy(3);
  streets_.ResetEngineCalls();
  EXPECT_THROW(streets_.SeekNearest({"not a number"}), fw::EConvertError);
  EXPECT_EQ(streets_.FieldByName("RecordID").AsInteger(), 4);
  EXPECT_EQ(streets_.EngineCalls().KeySearches, 0u);
  // An engine index name the table lacks: the error, and the old order stays.
  EXPECT_THROW(table_.SetIndexName("Nope"), tabula::ETabulaEngineError);
  EXPECT_EQ(table_.IndexFieldNames(), "Numtel");
  EXPECT_EQ(Field("Numtel"), before);
  table_.Close();
  // A key field without a field object.
  table_.SetIndexFieldNames("kodul");
  auto* name = new fw::TStringField(&table_, 120);
  name->SetFieldName("Name");
  name->SetDataSet(&table_);
  table_.Open();
  EXPECT_EQ(MessageOf([&] { table_.SeekNearest({"00010"}); }), "Cannot access index field 'kodul'");
  table_.Close();
  // Physical order has no key fields.
  std::vector<tabula::TFieldDef> fields(1);
  fields[0].Name = "A";
  fields[0].FieldType = tabula::kFldString;
  fields[0].Size = 10;
  tabula::CreateTable(cwd_.File("plain.DAT"), fields, {}, {});
  TTabulaTable plain;
  plain.SetTableName("plain.DAT");
  plain.Open();
  EXPECT_EQ(MessageOf([&] { plain.SeekNearest({"x"}); }), "No index currently active");
}

// ---------------------------------------------------------------- set-key state and ranges

TEST_F(SearchTest, KeyEditsAndRanges) {
  table_.SetIndexFieldNames("kodul");
  table_.Open();
  fw::TField& kodul = table_.FieldByName("kodul");
  const std::string code = SubscriberRow(2).Kodul.substr(0, 5);
  table_.SetKey();
  EXPECT_EQ(table_.State(), fw::TDataSetState::kSetKey);
  kodul.SetAsString(code);
  EXPECT_EQ(MessageOf([&] { table_.FieldByName("Name").SetAsString("1"); }),
            "Field 'Name' is not indexed and cannot be modified");
  table_.Post();
  table_.EditKey();
  EXPECT_EQ(kodul.AsString(), code);  // the key buffer shows through the fields
  kodul.SetAsString("08000");
  table_.Cancel();  // the key before the edit comes back
  table_.SeekLookupKey();
  EXPECT_EQ(Field("kodul").substr(0, 5), code);

  table_.SetRange({"00100"}, {"00300"});
  const auto inRange = [](const TSubscriberRow& r) { return r.Kodul >= "00100" && r.Kodul <= "00300"; };
  EXPECT_EQ(Column(table_, "id"), IdsByAddress(inRange));
  table_.ResetEngineCalls();
  table_.ApplyRange();  // the same range: nothing to do
  EXPECT_EQ(table_.EngineCalls().RecordReads + table_.EngineCalls().Positionings, 0u);
  // Through the set-key state: a start key and an open end.
  table_.SetRangeStart();
  kodul.SetAsString("00500");
  table_.Post();
  table_.SetRangeEnd();
  table_.Post();
  table_.ApplyRange();
  EXPECT_EQ(Column(table_, "id"), IdsByAddress([](const TSubscriberRow& r) { return r.Kodul >= "00500"; }));
  table_.CancelRange();
  EXPECT_EQ(Column(table_, "id").size(), size_t(kRows));
}

// ---------------------------------------------------------------- master link

TEST_F(SearchTest, DetailFollowsItsMaster) {
  fw::TDataSource master;
  master.SetDataSet(&streets_);
  streets_.SetIndexName("indkodul");
  table_.SetIndexFieldNames("kodul");
  table_.SetMasterSource(&master);
  table_.SetMasterFields("KODUL");
  streets_.Open();
  table_.Open();
  auto shows = [&](const std::string& code) {
    return Column(table_, "id") == IdsByAddress([&](const TSubscriberRow& r) { return r.Kodul == code; });
  };
  EXPECT_TRUE(shows("00000"));
  streets_.MoveBy(7);
  EXPECT_TRUE(shows("00070"));
  streets_.SeekNearest({"00500"});
  EXPECT_TRUE(shows("00500"));
  table_.SetIndexFieldNames("kodul;dom");  // the range follows the switch
  EXPECT_TRUE(shows("00500"));
  table_.Insert();  // a new record takes the master's key
  EXPECT_EQ(Field("kodul"), "00500");
  table_.Cancel();
  EXPECT_EQ(MessageOf([&] { table_.SetMasterFields("NOPE"); }), "Field 'NOPE' not found");
  table_.SetMasterFields("");
  EXPECT_EQ(Column(table_, "id").size(), size_t(kRows));  // no fields: no range
  table_.SetMasterFields("KODUL");
  EXPECT_TRUE(shows("00500"));
  streets_.Close();  // the link goes inactive and lets the table go
  EXPECT_EQ(Column(table_, "id").size(), size_t(kRows));
  table_.SetMasterFields("");
  streets_.Open();
  EXPECT_EQ(Column(table_, "id").size(), size_t(kRows));

  // Links may not go round in circles.
  fw::TDataSource detail;
  detail.SetDataSet(&table_);
  EXPECT_EQ(MessageOf([&] { table_.SetMasterSource(&detail); }), "Circular datalinks are not allowed");
  EXPECT_EQ(MessageOf([&] { streets_.SetMasterSource(&detail); }), "Circular datalinks are not allowed");
  EXPECT_EQ(table_.MasterSource(), &master);
}

// ---------------------------------------------------------------- record search

TEST_F(SearchTest, SeekRecordUsesAnIndexALookupCursorOrATemporaryFilter) {
  enum TPath { kOwn, kLookup, kFilter };
  const TSubscriberRow r = SubscriberRow(321);
  std::string lowerName;  // the name in lower case (Windows-1251 capitals are 0xC0..0xDF)
  for (char c : r.Name) lowerName += (uint8_t(c) >= 0xC0 && uint8_t(c) <= 0xDF) ? char(c + 0x20) : c;
  struct TCase {
    const char* Fields;
    std::vector<TVariant> Values;
    uint32_t Options;
    TPath Path;
    std::function<bool(const TSubscriberRow&)> Matches;  // null: nothing matches
  } cases[] = {
      {"Numtel", {r.Numtel}, 0, kOwn, [&](const auto& x) { return x.Numtel == r.Numtel; }},
      {"Numtel", {std::stoll(r.Numtel)}, 0, kOwn, [&](const auto& x) { return x.Numtel == r.Numtel; }},
      {"kodul;dom", {r.Kodul, r.Dom}, 0, kLookup, [&](const auto& x) { return x.Kodul == r.Kodul && x.Dom == r.Dom; }},
      {"kodul", {r.Kodul.substr(0, 4)}, fw::kLocatePartialKey, kLookup,
       [&](const auto& x) { return x.Kodul.rfind(r.Kodul.substr(0, 4), 0) == 0; }},
      {"Name", {lowerName}, fw::kLocateCaseInsensitive, kLookup, [&](const auto& x) { return x.Name == r.Name; }},
      {"Name", {lowerName.substr(0, 8)}, fw::kLocateCaseInsensitive | fw::kLocatePartialKey, kLookup,
       [&](const auto& x) { return x.Name.rfind(r.Name.substr(0, 8), 0) == 0; }},
      {"Name", {r.Name}, 0, kFilter, [&](const auto& x) { return x.Name == r.Name; }},
      {"Name", {lowerName}, 0, kFilter, nullptr},
      {"dom;korp", {r.Dom, r.Korp}, 0, kFilter, [&](const auto& x) { return x.Dom == r.Dom && x.Korp == r.Korp; }},
      {"dom", {"1*"}, 0, kFilter, nullptr},  // a star is a character, not a wildcard
      {"Numtel", {"1234567"}, 0, kOwn, nullptr},
  };
  table_.SetIndexFieldNames("Numtel");
  table_.Open();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Fields);
    table_.MoveBy(5);
    const std::string before = Field("Numtel");
    table_.ResetEngineCalls();
    const bool found = table_.SeekRecord(c.Fields, c.Values, c.Options);
    EXPECT_EQ(found, c.Matches != nullptr);
    EXPECT_EQ(table_.EngineCalls().KeySearches, c.Path == kFilter ? 0u : 1u);
    EXPECT_EQ(table_.LookupCursor() != nullptr, c.Path == kLookup);
    EXPECT_EQ(TableFilters(), 0u);
    if (!found) {
      EXPECT_EQ(Field("Numtel"), before);
      continue;
    }
    // The first match in the order searched: the index's, or the table's
    // (by phone number) for the filter.
    int first = -1;
    std::tuple<std::string, std::string, std::string, std::string, int> best;
    for (int i = 0; i < kRows; ++i) {
      const TSubscriberRow x = SubscriberRow(i);
      if (!c.Matches(x)) continue;
      std::string upper = x.Name;
      for (char& ch : upper) ch = (uint8_t(ch) >= 0xE0) ? char(ch - 0x20) : ch;
      const auto key = c.Path == kFilter                         ? std::make_tuple(x.Numtel, std::string(), std::string(), std::string(), 0)
                       : std::string(c.Fields).rfind("Name", 0) == 0 ? std::make_tuple(upper, std::string(), std::string(), std::string(), i)
                                                                     : std::make_tuple(x.Kodul, x.Dom, x.Korp, std::string(), i);
      if (first < 0 || key < best) first = i, best = key;
    }
    EXPECT_EQ(Field("id"), std::to_string(first + 1));
  }
}

TEST_F(SearchTest, TemporaryFilterGoesAwayWhenTheSearchFails) {
  for (auto [name, size] : {std::pair{"Numtel", 7}, std::pair{"dom", 5}, std::pair{"korp", 5}}) {
    auto* f = new fw::TStringField(&table_, size);
    f->SetFieldName(name);
    f->SetDataSet(&table_);
  }
  fw::TField* id = fw::CreateFieldForType(&table_, fw::TFieldType::kAutoInc, 0, "id");
  id->SetFieldName("id");
  id->SetDataSet(&table_);
  auto* calc = new fw::TStringField(&table_, 10);
  calc->SetFieldName("Calc");
  calc->SetFieldKind(fw::TFieldKind::kCalculated);
  calc->SetDataSet(&table_);
  table_.SetIndexFieldNames("Numtel");
  table_.SetFilter("korp = '1'");
  table_.SetFiltered(true);
  table_.Open();
  // The table's own filter still applies to the search.
  std::string dom;
  for (int i = 0; dom.empty(); ++i)
    if (SubscriberRow(i).Korp == "1") dom = SubscriberRow(i).Dom;
  EXPECT_TRUE(table_.SeekRecord("dom", TVariant(dom), 0));
  EXPECT_EQ(Field("korp"), "1");
  EXPECT_EQ(Field("dom"), dom);
  EXPECT_EQ(TableFilters(), 1u);
  // A value the field refuses, and a field the filter cannot compare.
  EXPECT_THROW(table_.SeekRecord("dom;id", {"5", "x"}, 0), fw::EConvertError);
  EXPECT_EQ(TableFilters(), 1u);
  EXPECT_THROW(table_.SeekRecord("dom;Calc", {"5", "x"}, 0), fw::EDatabaseError);
  EXPECT_EQ(TableFilters(), 1u);
  EXPECT_TRUE(table_.Filtered());
}

// ---------------------------------------------------------------- lookups

TEST_F(SearchTest, LookupValuesComeFromOneKeptCursor) {
  streets_.Open();  // ordered by RecordID: a search on KODUL needs another index
  streets_.MoveBy(4);
  const auto rows = testing_support::StreetRows(800);
  streets_.ResetEngineCalls();
  for (int i = 0; i < 10000; ++i) {
    const int code = (i * 37) % 900;
    char text[8];
    std::snprintf(text, sizeof text, "%05d", code * 10);
    const TVariant name = streets_.FetchLookupValue("KODUL", {std::string(text)}, "NAME");
    ASSERT_EQ(name, code < 800 ? TVariant(rows[size_t(code)].second) : TVariant()) << text;
  }
  EXPECT_EQ(streets_.EngineCalls().Clones, 1u);
  EXPECT_EQ(streets_.EngineCalls().KeySearches, 10000u);
  EXPECT_EQ(streets_.FieldByName("RecordID").AsInteger(), 5);  // never moved
  const TVariant both = streets_.FetchLookupValue("KODUL", {"00030"}, "RecordID;NAME");
  EXPECT_EQ(both, TVariant::Array({TVariant(4), TVariant(rows[3].second)}));
  // Ranges and filters change what the table shows: the cursor is made anew.
  streets_.SetRange({1}, {100});
  streets_.FetchLookupValue("KODUL", {"00030"}, "NAME");
  streets_.CancelRange();
  streets_.FetchLookupValue("KODUL", {"00030"}, "NAME");
  streets_.SetFiltered(true);
  streets_.FetchLookupValue("KODUL", {"00030"}, "NAME");
  EXPECT_EQ(streets_.EngineCalls().Clones, 4u);
  // An exclusive table cannot have a second cursor: the filter finds it.
  streets_.Close();
  streets_.SetExclusive(true);
  streets_.Open();
  streets_.ResetEngineCalls();
  EXPECT_EQ(streets_.FetchLookupValue("KODUL", {"00030"}, "NAME"), TVariant(rows[3].second));
  EXPECT_EQ(streets_.EngineCalls().Clones, 0u);
}

// ---------------------------------------------------------------- blob streams

TEST_F(SearchTest, BlobStreamsAndReadBlobField) {
  std::vector<tabula::TFieldDef> fields(3);
  fields[0].Name = "Picture", fields[0].FieldType = tabula::kFldBlob, fields[0].SubType = tabula::kSubGraphic;
  fields[1].Name = "Text", fields[1].FieldType = tabula::kFldBlob, fields[1].SubType = tabula::kSubMemo;
  fields[2].Name = "Id", fields[2].FieldType = tabula::kFldInt32, fields[2].SubType = tabula::kSubAutoInc;
  tabula::TIndexDef primary;
  primary.Primary = true;
  primary.Fields = {"Id"};
  tabula::CreateTable(cwd_.File("banners.DAT"), fields, {primary}, {});
  TTabulaTable banners;
  banners.SetTableName("banners.DAT");
  banners.Open();
  fw::TField& picture = banners.FieldByName("Picture");
  std::vector<uint8_t> bytes(5000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + 1);
  int changes = 0;
  picture.OnChange = [&](fw::TField&) { ++changes; };
  banners.Append();
  banners.OpenBlobStream(picture, fw::TBlobStreamMode::kWrite)->Write(bytes.data(), 5000);
  EXPECT_EQ(changes, 1);
  banners.Post();
  banners.Append();  // a record with no picture
  banners.FieldByName("Text").SetAsString("line");
  banners.Post();

  banners.First();
  EXPECT_EQ(MessageOf([&] { banners.OpenBlobStream(picture, fw::TBlobStreamMode::kWrite); }),
            "Dataset not in edit or insert mode");
  std::vector<uint8_t> longer(8000, 0xEE);
  EXPECT_EQ(banners.ReadBlobField(1, longer), 5000);
  EXPECT_EQ(longer.size(), 8000u);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), longer.begin()));
  EXPECT_EQ(longer[5000], 0xEE);
  std::vector<uint8_t> shorter(10);
  EXPECT_EQ(banners.ReadBlobField(1, shorter), 5000);
  EXPECT_EQ(shorter, bytes);
  {
    auto stream = banners.OpenBlobStream(picture, fw::TBlobStreamMode::kRead);
    EXPECT_EQ(stream->Seek(0, fw::TSeekOrigin::kEnd), 5000);
    EXPECT_EQ(stream->Seek(-10, fw::TSeekOrigin::kEnd), 4990);
    uint8_t tail[100];
    EXPECT_EQ(stream->Read(tail, 100), 10);
    EXPECT_EQ(tail[9], bytes[4999]);
    EXPECT_EQ(stream->Seek(-4000, fw::TSeekOrigin::kCurrent), 1000);
    EXPECT_EQ(stream->Seek(6000, fw::TSeekOrigin::kBeginning), 6000);  // beyond the end is allowed
    EXPECT_EQ(stream->Read(tail, 100), 0);
  }
  // Cut to 1000 bytes, then an edit given up: the blob stays as posted.
  banners.Edit();
  {
    auto stream = banners.OpenBlobStream(picture, fw::TBlobStreamMode::kReadWrite);
    stream->Seek(1000, fw::TSeekOrigin::kBeginning);
    stream->Truncate();
  }
  banners.Post();
  EXPECT_EQ(banners.ReadBlobField(1, shorter), 1000);
  banners.Edit();
  banners.OpenBlobStream(picture, fw::TBlobStreamMode::kWrite)->Write("xyz", 3);
  banners.Cancel();
  EXPECT_EQ(banners.ReadBlobField(1, shorter), 1000);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 1000, shorter.begin()));

  banners.Next();
  std::vector<uint8_t> untouched(3, 9);
  EXPECT_EQ(banners.ReadBlobField(1, untouched), 0);
  EXPECT_EQ(untouched, std::vector<uint8_t>(3, 9));
  EXPECT_EQ(banners.FieldByName("Text").AsString(), "line");
  EXPECT_THROW(banners.ReadBlobField(3, untouched), fw::EInvalidCast);
  EXPECT_THROW(banners.ReadBlobField(99, untouched), fw::EInvalidCast);
  picture.ReadOnly = true;
  banners.Edit();
  EXPECT_EQ(MessageOf([&] { banners.OpenBlobStream(picture, fw::TBlobStreamMode::kWrite); }),
            "Field 'Picture' cannot be modified");
  banners.Cancel();
}

}  // namespace
