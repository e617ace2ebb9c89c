#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "edgemap.h"
#include "platform/paths.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdio>

#include "platform/files.h"
#endif

namespace edgemap {
namespace {

using test::bmp_recipe;

std::u16string wide(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

// The exported function's unit: wchar_t on Windows, char16_t elsewhere.
using path_string = std::basic_string<edgemap_char16>;
path_string to_path(const std::u16string& s) {
  return path_string(s.begin(), s.end());
}

struct conversion_case {
  const char* name;
  std::u16string wide;
  std::string utf8;
  friend void PrintTo(const conversion_case& c, std::ostream* os) {
    *os << c.name;
  }
};

class path_conversion : public ::testing::TestWithParam<conversion_case> {};

TEST_P(path_conversion, gives_utf8) {
  const auto narrow = utf16_to_utf8(GetParam().wide.c_str());
  ASSERT_TRUE(narrow);
  EXPECT_EQ(std::string(narrow.get()), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    entry, path_conversion,
    ::testing::Values(
        conversion_case{"ascii", u"/tmp/a b.bmp", "/tmp/a b.bmp"},
        conversion_case{"empty", u"", ""},
        conversion_case{"two_bytes", u"\u00e9", "\xc3\xa9"},
        conversion_case{"three_bytes", u"\u20ac\uffff",
                        "\xe2\x82\xac\xef\xbf\xbf"},
        conversion_case{"surrogate_pair", u"\U0001F600x", "\xf0\x9f\x98\x80x"},
        conversion_case{"lone_high_surrogate",
                        std::u16string{u'a', 0xD800, u'b'}, ""},
        conversion_case{"high_surrogate_at_end", std::u16string{u'a', 0xDBFF},
                        ""},
        conversion_case{"lone_low_surrogate", std::u16string{0xDC00, u'a'}, ""},
        // A long path needs 3 bytes per unit, not 2.
        conversion_case{"long_path", std::u16string(5000, u'\u20ac'),
                        [] {
                          std::string s;
                          for (int i = 0; i < 5000; ++i) s += "\xe2\x82\xac";
                          return s;
                        }()}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Where files are opened by UTF-16 names, a converted path goes back
// exactly.
TEST(entry, utf8_converts_back_to_the_same_utf16) {
  for (const std::u16string& original :
       {std::u16string(u"C:\\a b\\c.bmp"), std::u16string(u"\u00e9\u20ac"),
        std::u16string(u"\uffff\U0001F600x"), std::u16string(u"\U0010FFFF"),
        std::u16string(3000, u'\u0416')}) {
    const auto narrow = utf16_to_utf8(original.c_str());
    ASSERT_TRUE(narrow);
    const auto units = utf8_to_utf16(narrow.get());
    ASSERT_TRUE(units);
    EXPECT_TRUE(std::u16string(units.get()) == original);
  }
}

struct bad_utf8_case {
  const char* name;
  const char* bytes;
  friend void PrintTo(const bad_utf8_case& c, std::ostream* os) {
    *os << c.name;
  }
};

class bad_utf8 : public ::testing::TestWithParam<bad_utf8_case> {};

TEST_P(bad_utf8, gives_the_empty_path) {
  const auto units = utf8_to_utf16(GetParam().bytes);
  ASSERT_TRUE(units);
  EXPECT_EQ(units[0], 0);
}

INSTANTIATE_TEST_SUITE_P(
    entry, bad_utf8,
    ::testing::Values(bad_utf8_case{"lone_continuation",
                                    "a\x80"
                                    "b"},
                      bad_utf8_case{"overlong_slash", "\xc0\xaf"},
                      bad_utf8_case{"overlong_three_bytes", "\xe0\x80\xaf"},
                      bad_utf8_case{"encoded_surrogate", "\xed\xa0\x80"},
                      bad_utf8_case{"past_last_code_point", "\xf4\x90\x80\x80"},
                      bad_utf8_case{"cut_at_the_end", "ab\xe2\x82"},
                      bad_utf8_case{"invalid_lead", "\xff"}),
    [](const auto& tc) { return std::string(tc.param.name); });

struct long_path_case {
  const char* name;
  std::u16string path;
  std::u16string full;  // made absolute, as by GetFullPathNameW
  std::u16string expected;
  friend void PrintTo(const long_path_case& c, std::ostream* os) {
    *os << c.name;
  }
};

class long_path : public ::testing::TestWithParam<long_path_case> {};

TEST_P(long_path, takes_the_form_windows_opens) {
  EXPECT_EQ(long_path_form(GetParam().path, GetParam().full),
            GetParam().expected);
}

// n units of folder names, so that rows sit either side of long_path_from.
std::u16string folders(std::size_t n) {
  std::u16string s;
  while (s.size() < n) s += u"folder\\";
  s.resize(n);
  return s;
}

std::u16string with_slashes(std::u16string s) {
  for (char16_t& u : s) {
    if (u == u'\\') u = u'/';
  }
  return s;
}

// C:\ and x.bmp take 8 units around the folders.
const std::u16string at_limit =
    u"C:\\" + folders(long_path_from - 8) + u"x.bmp";
const std::u16string under_limit =
    u"C:\\" + folders(long_path_from - 9) + u"x.bmp";
const std::u16string deep = folders(300) + u"x.bmp";

INSTANTIATE_TEST_SUITE_P(
    entry, long_path,
    ::testing::Values(
        long_path_case{"short_path", u"x.bmp", u"C:\\work\\x.bmp", u"x.bmp"},
        long_path_case{"just_short_enough", under_limit, under_limit,
                       under_limit},
        long_path_case{"absolute", at_limit, at_limit, u"\\\\?\\" + at_limit},
        long_path_case{"relative", deep, u"C:\\work\\" + deep,
                       u"\\\\?\\C:\\work\\" + deep},
        long_path_case{"short_in_a_deep_folder", u"x.bmp",
                       u"C:\\" + deep + u"\\x.bmp",
                       u"\\\\?\\C:\\" + deep + u"\\x.bmp"},
        long_path_case{"forward_slashes", with_slashes(at_limit),
                       with_slashes(at_limit), u"\\\\?\\" + at_limit},
        long_path_case{"unc", u"\\\\server\\share\\" + deep,
                       u"\\\\server\\share\\" + deep,
                       u"\\\\?\\UNC\\server\\share\\" + deep},
        long_path_case{"unc_forward_slashes", u"//server/share/" + deep,
                       u"//server/share/" + with_slashes(deep),
                       u"\\\\?\\UNC\\server\\share\\" + deep},
        long_path_case{"already_prefixed", u"\\\\?\\C:\\" + deep,
                       u"\\\\?\\C:\\" + deep, u"\\\\?\\C:\\" + deep},
        long_path_case{"already_prefixed_unc",
                       u"\\\\?\\UNC\\server\\s\\" + deep,
                       u"\\\\?\\UNC\\server\\s\\" + deep,
                       u"\\\\?\\UNC\\server\\s\\" + deep},
        long_path_case{"prefix_spelled_with_slashes", u"//?/C:/" + deep,
                       u"\\\\?\\C:\\" + deep, u"\\\\?\\C:\\" + deep},
        long_path_case{"device", u"\\\\.\\pipe\\" + deep,
                       u"\\\\.\\pipe\\" + deep, u"\\\\.\\pipe\\" + deep}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(entry, null_path_is_no_path) {
  EXPECT_FALSE(utf16_to_utf8(static_cast<const char16_t*>(nullptr)));
  EXPECT_FALSE(utf8_to_utf16(nullptr));
}

std::uint8_t ramp(std::uint32_t r, std::uint32_t c, std::uint32_t b) {
  return static_cast<std::uint8_t>(r * 40 + c * c * 7 + b);
}

std::string call(const std::u16string* source, const std::u16string* target,
                 std::int32_t& result) {
  const path_string s = source ? to_path(*source) : path_string();
  const path_string t = target ? to_path(*target) : path_string();
  return test::captured_stdout([&] {
    result =
        QTVSolbelP(source ? s.c_str() : nullptr, target ? t.c_str() : nullptr);
  });
}

// The module's state is shared by every test in this file: each test
// starts with a successful call so it knows what the module holds.
TEST(entry, state_is_carried_between_calls) {
  test::temp_dir dir;
  const bmp_recipe recipe{6, 5, 24, 54, ramp};
  test::write_file(dir.path("s.bmp"), test::make_bmp(recipe));
  test::write_file(dir.path("bad.bmp"), test::bytes(40, 0));
  const auto source = wide(dir.path("s.bmp"));
  const auto missing = wide(dir.path("missing.bmp"));
  const auto bad = wide(dir.path("bad.bmp"));
  const auto t1 = wide(dir.path("t1.bmp"));
  const auto t2 = wide(dir.path("t2.bmp"));
  const auto t3 = wide(dir.path("t3.bmp"));
  std::int32_t result = 0;
  std::vector<std::int32_t> results;

  EXPECT_EQ(call(&source, &t1, result), "file size = 154\nsize = 100.000000\n");
  results.push_back(result);
  EXPECT_TRUE(test::read_file(dir.path("t1.bmp")) ==
              test::expected_target(recipe));

  EXPECT_EQ(call(&missing, &t2, result),
            "fopen fp_s error\nfile size = 154\nsize = 100.000000\n");
  results.push_back(result);
  EXPECT_TRUE(test::read_file(dir.path("t2.bmp")) ==
              test::read_file(dir.path("t1.bmp")));

  EXPECT_EQ(call(&bad, &t3, result),
            "check bit_count error\nfile size = 0\nsize = 0.000000\n");
  results.push_back(result);
  EXPECT_TRUE(test::read_file(dir.path("t3.bmp")).empty());

  EXPECT_EQ(call(nullptr, nullptr, result),
            "fopen fp_s error\nfopen fname_t error\n");
  results.push_back(result);
  // Whatever happened, the result is the same.
  EXPECT_EQ(results, std::vector<std::int32_t>(4, 999));
}

TEST(entry, unicode_file_names_work) {
  test::temp_dir dir;
  const bmp_recipe recipe{3, 3, 24, 54, ramp};
  const std::string name = "bild-\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80.bmp";
  test::write_file(dir.path(name), test::make_bmp(recipe));
  const std::u16string source =
      wide(dir.path("")) + u"bild-\u00e4\u20ac\U0001F600.bmp";
  const std::u16string target = wide(dir.path("")) + u"\u00fc.bmp";
  std::int32_t result = 0;
  call(&source, &target, result);
  EXPECT_TRUE(test::read_file(dir.path("\xc3\xbc.bmp")) ==
              test::expected_target(recipe));
}

// A lone surrogate names no file. Decoys stand where a lenient converter
// would land (the surrogate replaced by U+FFFD, dropped, or encoded as
// three bytes), so converting it into any of them would load a bitmap.
TEST(entry, unpaired_surrogate_fails_like_a_missing_file) {
  test::temp_dir dir;
  const test::bytes decoy = test::make_bmp({2, 2, 24, 54, ramp});
  test::write_file(dir.path("x\xef\xbf\xbd.bmp"), decoy);
  test::write_file(dir.path("x.bmp"), decoy);
#ifndef _WIN32
  // Not a name Windows can hold.
  test::write_file(dir.path("x\xed\xa0\x80.bmp"), decoy);
#endif
  const std::u16string source =
      wide(dir.path("x")) + char16_t{0xD800} + u".bmp";
  const auto target = wide(dir.path("t.bmp"));
  std::int32_t result = 0;
  EXPECT_EQ(call(&source, &target, result).substr(0, 17), "fopen fp_s error\n");
}

#ifdef _WIN32
// Source and targets more than 300 units deep, by absolute and relative
// paths, through the legacy entry and the API. Wine opens long paths in any
// form, so under Wine this shows only that the \\?\ forms break nothing on
// the way (the temporary target, the rename, asking whether target and
// source are one file); the long_path table is what proves the conversion.
// The test makes and reads its files through the library's file layer:
// plain long paths would fail on Windows itself.
bool put(const std::string& path, const test::bytes& content) {
  const file_ptr f(open_file(path.c_str(), "wb"));
  return f && std::fwrite(content.data(), 1, content.size(), f.get()) ==
                  content.size();
}

test::bytes get(const std::string& path) {
  const file_ptr f(open_file(path.c_str(), "rb"));
  test::bytes out;
  for (int c = 0; f && (c = std::fgetc(f.get())) != EOF;) {
    out.push_back(static_cast<std::uint8_t>(c));
  }
  return out;
}

bool remove_path(const std::string& path, bool folder) {
  const auto wide = utf8_to_wide_path(path.c_str());
  return folder ? RemoveDirectoryW(wide.get()) != 0
                : DeleteFileW(wide.get()) != 0;
}

TEST(entry, long_paths_work_on_windows) {
  test::temp_dir dir;
  const bmp_recipe recipe{5, 4, 24, 54, ramp};
  const test::bytes expected = test::expected_target(recipe);
  std::string relative;
  std::vector<std::string> folders_made;
  for (int depth = 0; depth < 7; ++depth) {
    relative += std::string(45, 'd') + "\xd0\x96\\";
    folders_made.push_back(dir.path(relative));
    const auto wide = utf8_to_wide_path(folders_made.back().c_str());
    ASSERT_TRUE(CreateDirectoryW(wide.get(), nullptr)) << depth;
  }
  const std::string source = dir.path(relative + "source.bmp");
  const std::string target = dir.path(relative + "target.bmp");
  const std::string api_target = dir.path(relative + "api.bmp");
  const std::string relative_target = relative + "relative.bmp";
  ASSERT_GT(source.size(), 300u);
  ASSERT_TRUE(put(source, test::make_bmp(recipe)));

  std::int32_t result = 0;
  const auto wide_source = utf8_to_utf16(source.c_str());
  const auto wide_target = utf8_to_utf16(target.c_str());
  const std::u16string s16(wide_source.get()), t16(wide_target.get());
  EXPECT_EQ(call(&s16, &t16, result), "file size = 118\nsize = 64.000000\n");
  EXPECT_TRUE(get(target) == expected);

  EXPECT_EQ(edgemap_convert_file(source.c_str(), api_target.c_str(), 90.0, 0),
            EDGEMAP_OK);
  EXPECT_TRUE(get(api_target) == expected);
  // In place, which needs the source closed before the rename on Windows.
  EXPECT_EQ(
      edgemap_convert_file(api_target.c_str(), api_target.c_str(), 90.0, 0),
      EDGEMAP_OK);
  EXPECT_EQ(get(api_target).size(), expected.size());

  wchar_t previous[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
  const auto wide_dir = utf8_to_wide_path(dir.path("").c_str());
  ASSERT_TRUE(SetCurrentDirectoryW(wide_dir.get()));
  const std::string relative_source = relative + "source.bmp";
  EXPECT_EQ(edgemap_convert_file(relative_source.c_str(),
                                 relative_target.c_str(), 90.0, 0),
            EDGEMAP_OK);
  EXPECT_TRUE(get(relative_target) == expected);
  EXPECT_TRUE(SetCurrentDirectoryW(previous));

  for (const auto& name : {source, target, api_target}) {
    EXPECT_TRUE(remove_path(name, false)) << name;
  }
  EXPECT_TRUE(remove_path(dir.path(relative_target), false));
  for (auto at = folders_made.rbegin(); at != folders_made.rend(); ++at) {
    EXPECT_TRUE(remove_path(*at, true)) << *at;
  }
}
#endif

}  // namespace
}  // namespace edgemap
