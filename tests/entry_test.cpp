#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bitmap/path_conversion.h"
#include "edgemap.h"
#include "test_support.h"

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

}  // namespace
}  // namespace edgemap
