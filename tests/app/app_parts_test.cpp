// Pieces of the directory application on their own: the street list (its
// matching rules, cutting, and growth past 2000 streets), the lines a text
// banner shows, and the temporary file a banner picture passes through.

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QTemporaryDir>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/banner_picture.h"
#include "app/banner_text.h"
#include "app/street_list.h"
#include "tabula/locale.h"
#include "framework/core/exceptions.h"

namespace {

using app::TStreetList;
using tabula::Utf8ToCp1251;

TEST(StreetListTest, MatchesAndExactStreet) {
  TStreetList list;
  list.Add("00001", Utf8ToCp1251("УЛ. ЛЕНИНА"));
  list.Add("00002", Utf8ToCp1251("ПР. ЛЕНИНСКИЙ"));
  list.Add("00003", Utf8ToCp1251("УЛ. МИРА"));
  list.Add("00004", Utf8ToCp1251("УЛ. ЛЕНИНА"));  // a second street of one name
  struct TCase {
    const char* search;
    std::vector<int> expected;
  };
  const TCase cases[] = {
      {"ЛЕНИН", {0, 1, 3}},      // substring, load order, duplicates included
      {"УЛ. ЛЕНИНА", {0, 3}},
      {"ленин", {}},            // case-sensitive: the caller upper-cases
      {"", {}},                 // an empty text matches nothing
      {"МИРА", {2}},
      {"ПЛОЩАДЬ", {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.search);
    EXPECT_EQ(list.Matches(Utf8ToCp1251(c.search)), c.expected);
  }
  EXPECT_EQ(list.FindExact(Utf8ToCp1251("УЛ. ЛЕНИНА")), 0);  // the first of equal names
  EXPECT_EQ(list.FindExact(Utf8ToCp1251("УЛ. МИРА")), 2);
  EXPECT_EQ(list.FindExact(Utf8ToCp1251("УЛ. МИР")), std::nullopt);   // the whole name
  EXPECT_EQ(list.FindExact(Utf8ToCp1251("УЛ. МИРА ")), std::nullopt);
}

// Names and codes are cut to 50 and 5 bytes; a street table of more rows
// than the 2000 the list was once limited to loads whole, and its last
// streets are found.
TEST(StreetListTest, CutsValuesAndGrowsPastTwoThousandStreets) {
  TStreetList list;
  for (int i = 0; i < 5000; ++i) list.Add(std::to_string(1000000 + i), "STREET " + std::to_string(i) + std::string(60, '.'));
  ASSERT_EQ(list.Count(), 5000);
  EXPECT_EQ(list[4999].Name, ("STREET 4999" + std::string(60, '.')).substr(0, 50));
  EXPECT_EQ(list[4999].Code, "10049");
  EXPECT_EQ(list.FindExact(list[4999].Name), 4999);
  EXPECT_EQ(list.Matches("STREET 2001.").size(), 1u);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(BannerTextTest, LinesShown) {
  struct TCase {
    const char* name;
    std::string text;
    std::vector<std::string> lines;  // between the two empty lines at each end
  };
  const std::string longLine(990, 'x');
  const TCase cases[] = {
      {"two lines", "ONE\r\nTWO\r\n", {"ONE", "TWO"}},
      {"no final CR LF", "ONE\r\nTWO", {"ONE"}},
      {"empty second line ends it", "ONE\r\n\r\nTHREE\r\n", {"ONE"}},
      {"no CR at all", "ONE", {}},
      {"empty text", "", {}},
      {"CR without LF at the end", "ONE\r", {"ONE"}},
      // After the first line only 1000 characters count: a line cut by the
      // limit lacks its carriage return.
      {"within the limit", "A\r\n" + longLine + "\r\nB\r\n", {"A", longLine, "B"}},
      {"cut by the limit", "A\r\n" + longLine + "0123456789\r\nB\r\n", {"A"}},
      {"Cyrillic", Utf8ToCp1251("Звоните 555-55-55\r\n"), {"Звоните 555-55-55"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    QStringList expected{QString(), QString()};
    for (const std::string& line : c.lines) expected << QString::fromStdString(line);
    expected << QString() << QString();
    EXPECT_EQ(app::BannerTextLines(c.text), expected);
  }
}

std::string ReadFile(const std::string& name) {
  std::ifstream file(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A picture of any size is written whole into a fresh file of its own in
// the temporary directory, and the file goes when the picture is done with.
TEST(BannerPictureTest, FreshWholeFileRemovedAfterUse) {
  QTemporaryDir temp;
  ASSERT_TRUE(temp.isValid());
  qputenv("TMPDIR", QFile::encodeName(temp.path()));
  std::vector<uint8_t> bytes(120000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + i / 251);
  std::string first, second;
  {
    app::TBannerPicture a(bytes.data(), bytes.size());
    app::TBannerPicture b(bytes.data(), 1000);
    first = a.FileName();
    second = b.FileName();
    EXPECT_NE(first, second);  // two pictures (or two programs) never share a file
    EXPECT_EQ(QFileInfo(QString::fromStdString(first)).absolutePath(), QDir(temp.path()).absolutePath());
    EXPECT_EQ(ReadFile(first), std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(ReadFile(second), std::string(bytes.begin(), bytes.begin() + 1000));
    b.Remove();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(second)));
  }
  EXPECT_FALSE(QFile::exists(QString::fromStdString(first)));
  EXPECT_TRUE(QDir(temp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
  qunsetenv("TMPDIR");
}

}  // namespace
