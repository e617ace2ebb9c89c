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
