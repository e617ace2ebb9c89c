// The UTF-16 paths callers give, as UTF-8 and back, and the form Windows
// opens a long path by: plain strings, so every platform tests the rules.
#include <gtest/gtest.h>

#include <string>

#include "platform/paths.h"

namespace edgemap {
namespace {

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
    paths, path_conversion,
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
TEST(paths, utf8_converts_back_to_the_same_utf16) {
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
    paths, bad_utf8,
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
    paths, long_path,
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

TEST(paths, null_path_is_no_path) {
  EXPECT_FALSE(utf16_to_utf8(static_cast<const char16_t*>(nullptr)));
  EXPECT_FALSE(utf8_to_utf16(nullptr));
}

}  // namespace
}  // namespace edgemap
