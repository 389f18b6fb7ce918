#include "framework/core/ini_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "framework/core/exceptions.h"
#include "tests/support/temp_dir.h"

namespace {

using fw::TIniFile;
using testing_support::TempDir;

std::string ReadAll(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& name, const std::string& text) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << text;
}

TEST(IniFile, NewFileHasExactPlatformFormat) {
  TempDir dir;
  const std::string name = dir.File("sub/dir/zivmar.ini");
  TIniFile ini(name);
  ini.WriteString("TFindForm", "Flags", "0");
  ini.WriteInteger("TFindForm", "ShowCmd", 3);
  ini.WriteString("Other", "Name", "\xCF\xEE\xE8\xF1\xEA");  // Windows-1251 text kept byte for byte
  ini.WriteBool("TFindForm", "Visible", true);
  EXPECT_EQ(ReadAll(name),
            "[TFindForm]\r\nFlags=0\r\nShowCmd=3\r\nVisible=1\r\n\r\n[Other]\r\nName=\xCF\xEE\xE8\xF1\xEA\r\n");
  EXPECT_FALSE(std::filesystem::exists(name + ".tmp"));
}

TEST(IniFile, UpdatesKeepEveryOtherByteOfTheFile) {
  TempDir dir;
  const std::string name = dir.File("a.ini");
  // LF line ends, a comment, a line before any section, odd spacing, a line
  // without '=', and no line end after the last line.
  WriteAll(name,
           "; settings\n"
           "loose=1\n"
           "[First]\n"
           "  FLAGS = 2  \n"
           "junk line\n"
           "\n"
           "[Second]\r\n"
           "Key=old\r\n"
           "Keep=\"quoted\"");
  TIniFile ini(name);
  ini.WriteString("first", "flags", "5");  // key keeps its spelling, loses its blanks
  ini.WriteString("FIRST", "Added", "x");  // goes before the blank line that ends the section
  ini.WriteString("second", "key", "new");
  EXPECT_EQ(ReadAll(name),
            "; settings\r\n"
            "loose=1\r\n"
            "[First]\r\n"
            "FLAGS=5\r\n"
            "junk line\r\n"
            "Added=x\r\n"
            "\r\n"
            "[Second]\r\n"
            "Key=new\r\n"
            "Keep=\"quoted\"\r\n");
  TIniFile again(name);
  EXPECT_EQ(again.ReadSection("First"), (std::vector<std::string>{"FLAGS", "junk line", "Added"}));
  EXPECT_EQ(again.ReadSections(), (std::vector<std::string>{"First", "Second"}));
  EXPECT_EQ(again.ReadString("First", "loose", "none"), "none");  // lines before any section belong to none
  EXPECT_EQ(again.ReadString("Second", "Keep", ""), "quoted");
}

TEST(IniFile, NamesCompareWithoutLetterCase) {
  TempDir dir;
  const std::string name = dir.File("a.ini");
  WriteAll(name,
           "[\xD4\xEE\xF0\xEC\xE0]\r\n"        // "Форма"
           "\xA8\xEB\xEA\xE0=tree\r\n"         // "Ёлка"
           "NormPos(1024x768)=1,2,3,4\r\n");
  TIniFile ini(name);
  struct TCase {
    std::string section, key, expected;
  } cases[] = {
      {"\xF4\xEE\xF0\xEC\xE0", "\xB8\xEB\xEA\xE0", "tree"},         // "форма" / "ёлка"
      {"\xD4\xCE\xD0\xCC\xC0", "\xA8\xCB\xCA\xC0", "tree"},         // "ФОРМА" / "ЁЛКА"
      {"\xD4\xEE\xF0\xEC\xE0", "normpos(1024X768)", "1,2,3,4"},
      {" \xD4\xEE\xF0\xEC\xE0 ", " NORMPOS(1024x768) ", "1,2,3,4"},  // blanks around names do not count
      {"\xD4\xEE\xF0\xEC\xE0", "\xE5\xEB\xEA\xE0", "-"},            // "елка" is another word
      {"Form", "NormPos(1024x768)", "-"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ini.ReadString(c.section, c.key, "-"), c.expected) << c.section << "/" << c.key;
  }
  ini.WriteString("\xF4\xEE\xF0\xEC\xE0", "\xB8\xEB\xEA\xE0", "fir");
  EXPECT_EQ(ini.ReadSection("\xD4\xEE\xF0\xEC\xE0").size(), 2u);  // replaced, not added
  EXPECT_EQ(ReadAll(name), "[\xD4\xEE\xF0\xEC\xE0]\r\n\xA8\xEB\xEA\xE0=fir\r\nNormPos(1024x768)=1,2,3,4\r\n");
}

TEST(IniFile, ValuesReadTrimmedAndWithoutOnePairOfQuotes) {
  TempDir dir;
  const std::string name = dir.File("a.ini");
  struct TCase {
    std::string raw, expected;
  } cases[] = {
      {"plain", "plain"},
      {"  spaced out \t", "spaced out"},
      {"\" keep blanks \"", " keep blanks "},
      {"'single'", "single"},
      {"\"mixed'", "\"mixed'"},
      {"\"", "\""},
      {"\"\"", ""},
      {"\"\"wrapped\"\"", "\"wrapped\""},
      {"a=b", "a=b"},
      {"", ""},
  };
  std::string text = "[S]\n";
  for (size_t i = 0; i < std::size(cases); ++i) text += "k" + std::to_string(i) + "=" + cases[i].raw + "\n";
  WriteAll(name, text);
  TIniFile ini(name);
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(ini.ReadString("S", "k" + std::to_string(i), "default"), cases[i].expected) << cases[i].raw;
  }
  // Values are written as given.
  ini.WriteString("S", "k0", " \"as is\" ");
  EXPECT_NE(ReadAll(name).find("\r\nk0= \"as is\" \r\n"), std::string::npos);
}

TEST(IniFile, IntegersAndBooleans) {
  TempDir dir;
  const std::string name = dir.File("a.ini");
  struct TCase {
    std::string raw;
    int32_t expected;
  } cases[] = {
      {"12", 12},         {"-7", -7},         {"+8", 8},          {"$1F", 31},
      {"0x10", 16},       {"-$10", -16},      {"$FFFFFFFF", -1},  {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},             {"2147483648", -99}, {"$100000000", -99},
      {"12a", -99},       {"1 2", -99},       {"", -99},          {"-", -99},
      {"$", -99},         {"0x", -99},        {" 42 ", 42},
  };
  std::string text = "[N]\n";
  for (size_t i = 0; i < std::size(cases); ++i) text += "n" + std::to_string(i) + "=" + cases[i].raw + "\n";
  WriteAll(name, text);
  TIniFile ini(name);
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(ini.ReadInteger("N", "n" + std::to_string(i), -99), cases[i].expected) << cases[i].raw;
  }
  EXPECT_EQ(ini.ReadInteger("N", "missing", 5), 5);
  EXPECT_TRUE(ini.ReadBool("N", "n0", false));
  EXPECT_FALSE(ini.ReadBool("N", "missing", false));
  ini.WriteInteger("N", "neg", INT32_MIN);
  EXPECT_EQ(TIniFile(name).ReadString("N", "neg", ""), "-2147483648");
}

TEST(IniFile, SectionsAndKeysAreErased) {
  TempDir dir;
  const std::string name = dir.File("a.ini");
  WriteAll(name, "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\nz=3\r\n[a]\r\nx=second\r\n[C]\r\nw=4\r\n");
  TIniFile ini(name);
  EXPECT_EQ(ini.ReadString("A", "x", ""), "1");  // the first of two sections of one name wins
  EXPECT_TRUE(ini.ValueExists("b", "Z"));
  ini.DeleteKey("B", "Z");
  EXPECT_FALSE(ini.ValueExists("B", "z"));
  ini.DeleteKey("B", "nothing");
  ini.EraseSection("a");
  EXPECT_FALSE(ini.SectionExists("A"));
  EXPECT_EQ(ReadAll(name), "[B]\r\ny=2\r\n[C]\r\nw=4\r\n");
  EXPECT_EQ(ini.ReadSectionValues("B"), std::vector<std::string>{"y=2"});
  ini.EraseSection("B");
  ini.EraseSection("C");
  EXPECT_EQ(ReadAll(name), "");
  EXPECT_TRUE(ini.ReadSections().empty());
}

TEST(IniFile, MissingFileReadsEmptyAndIsNotCreatedByReading) {
  TempDir dir;
  const std::string name = dir.File("none.ini");
  TIniFile ini(name);
  EXPECT_EQ(ini.ReadString("S", "k", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadInteger("S", "k", 3), 3);
  EXPECT_TRUE(ini.ReadSection("S").empty());
  ini.EraseSection("S");
  ini.DeleteKey("S", "k");
  EXPECT_FALSE(std::filesystem::exists(name));
}

TEST(IniFile, RefusesWhatWouldBreakTheFileAndReportsWriteFailures) {
  TempDir dir;
  const std::string name = dir.File("a.ini");
  WriteAll(name, "[S]\r\nk=v\r\n");
  TIniFile ini(name);
  const std::pair<std::string, std::string> badNames[] = {
      {"", "k"}, {"S]", "k"}, {"S\n[T", "k"}, {"S", ""}, {"S", "a=b"}, {"S", "[T]"}, {"S", ";c"}, {"S", "k\r\nx"},
  };
  for (const auto& [section, key] : badNames) {
    EXPECT_THROW(ini.WriteString(section, key, "1"), fw::EConvertError) << section << "/" << key;
  }
  EXPECT_THROW(ini.WriteString("S", "k", "v\r\n[Injected]"), fw::EConvertError);
  EXPECT_EQ(ReadAll(name), "[S]\r\nk=v\r\n");

  // A file whose directory is a plain file cannot be written.
  WriteAll(dir.File("plain"), "x");
  TIniFile blocked(dir.File("plain/a.ini"));
  EXPECT_THROW(blocked.WriteString("S", "k", "v"), fw::EInOutError);
}

TEST(IniFile, ReloadSeesAnotherWriter) {
  TempDir dir;
  const std::string name = dir.File("a.ini");
  TIniFile first(name);
  TIniFile second(name);
  first.WriteString("S", "a", "1");
  EXPECT_EQ(second.ReadString("S", "a", "-"), "-");
  second.Reload();
  EXPECT_EQ(second.ReadString("S", "a", "-"), "1");
  second.WriteString("S", "b", "2");
  EXPECT_EQ(ReadAll(name), "[S]\r\na=1\r\nb=2\r\n");
}

}  // namespace
