// The type-ahead search on a 100,000-record subscriber table with an
// 800-code street table: every keystroke lands where an ICU-sorted copy of
// the rows says, the 20-row window around it (street names included) is
// the oracle's, and the keystroke costs one key search, at most one record
// read per row and one repositioning (each plus one at an end of the table
// the window touches), and one street search per fetched row.

#include <gtest/gtest.h>

#include "tests/dataset/keystroke_player.h"
#include "tests/support/tables/subscriber_table.h"
#include "tests/support/temp_dir.h"

namespace {

using dataset_test::TKeystroke;

TEST(KeystrokeTest, EveryKeystrokeLandsWhereTheOracleSays) {
  constexpr int64_t kRecords = 100000;
  constexpr int kRows = 20;
  testing_support::TempDir dir;
  const auto streets = testing_support::StreetRows(800);
  testing_support::MakeSubscriberTable(dir.File("base2.DAT"), kRecords);
  testing_support::MakeStreetTable(dir.File("street.DAT"), streets);
  const dataset_test::TKeystrokeOracle oracle(kRecords, streets);
  dataset_test::TDirectoryTables tables(dir.Path().string(), kRows);
  std::vector<TKeystroke> keystrokes = dataset_test::KeystrokeScript(oracle);
  dataset_test::PlayKeystrokes(tables, oracle, keystrokes);

  int emptyStreets = 0;
  int cutCodes = 0;
  for (const TKeystroke& k : keystrokes) {
    SCOPED_TRACE(dataset_test::DescribeKeystroke(k));
    EXPECT_EQ(k.ShownRows, kRows);
    EXPECT_EQ(k.WrongRows, 0);
    EXPECT_FALSE(k.WrongActive);
    EXPECT_EQ(k.ActiveRow, k.ExpectedActiveRow);
    EXPECT_EQ(k.Calls.KeySearches, 1u);
    const uint64_t edges = (k.WindowStart == 0) + (k.WindowStart + kRows == oracle.Count());
    EXPECT_LE(k.Calls.RecordReads, kRows + edges);
    // Back to the middle once to read forwards; at an end of the table once
    // more, from past the end back into the window.
    EXPECT_LE(k.Calls.Positionings, 1u + edges);
    EXPECT_EQ(k.Calls.Clones, 0u);
    // One search of the street table per fetched row, on its own index.
    EXPECT_EQ(k.StreetCalls.KeySearches, uint64_t(kRows));
    EXPECT_LE(k.StreetCalls.RecordReads, uint64_t(kRows));
    EXPECT_EQ(k.StreetCalls.Clones, 0u);
  }
  // The window ends up on rows whose code names no street and on codes with
  // a sixth digit; both must have been shown somewhere along the way.
  const std::vector<int32_t>& byAddress = oracle.Order(dataset_test::TSearchOrder::kAddress);
  for (const TKeystroke& k : keystrokes) {
    if (k.Order != dataset_test::TSearchOrder::kAddress) continue;
    for (int row = 0; row < kRows; ++row) {
      const testing_support::TSubscriberRow shown =
          testing_support::SubscriberRow(byAddress[size_t(k.WindowStart + row)]);
      emptyStreets += oracle.StreetOf(shown.Kodul).empty();
      cutCodes += shown.Kodul.size() == 6;
    }
  }
  EXPECT_GT(emptyStreets, 0);
  EXPECT_GT(cutCodes, 0);
  EXPECT_GE(keystrokes.size(), 40u);
}

}  // namespace
