// Faults around the files: each gives its one line and a defined target,
// and nothing that should be kept is lost.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "bitmap/bitmap_io.h"
#include "edges/detect_edges.h"
#include "entry/pipeline.h"
#include "test_support.h"

namespace edgemap {
namespace {

using test::bmp_recipe;
using test::bytes;
namespace fs = std::filesystem;

std::uint8_t noise(std::uint32_t r, std::uint32_t c, std::uint32_t b) {
  return static_cast<std::uint8_t>((r * 53 + c * 97 + b * 31) * 2654435761u >>
                                   24);
}

const bmp_recipe sample{6, 4, 24, 54, noise};
const std::string size_lines = "file size = 134\nsize = 80.000000\n";
const std::string no_image_lines = "file size = 0\nsize = 0.000000\n";

std::string run(image_state& state, const std::string& source,
                const std::string& target) {
  return test::captured_stdout([&] {
    run_pipeline(state, source.c_str(), target.c_str(), edge_threshold);
  });
}

// What happens to the source path between a good first run and the second
// run on the same path, and what the second run must print and save.
struct between_runs_case {
  const char* name;
  std::function<void(const std::string& source)> fault;
  std::string message;
  bool keeps_image;
  friend void PrintTo(const between_runs_case& c, std::ostream* os) {
    *os << c.name;
  }
};

class between_runs : public ::testing::TestWithParam<between_runs_case> {};

TEST_P(between_runs, second_run_has_a_defined_target) {
  test::temp_dir dir;
  const std::string source = dir.path("s.bmp");
  test::write_file(source, test::make_bmp(sample));
  image_state state;
  run(state, source, dir.path("first.bmp"));
  GetParam().fault(source);

  const std::string out = run(state, source, dir.path("second.bmp"));
  const bytes second = test::read_file(dir.path("second.bmp"));
  EXPECT_FALSE(state.fp_s);
  if (GetParam().keeps_image) {
    EXPECT_EQ(out, GetParam().message + size_lines);
    EXPECT_TRUE(second == test::expected_target(sample));
  } else {
    EXPECT_EQ(out, GetParam().message + no_image_lines);
    EXPECT_TRUE(second.empty());
    // The image is gone for good: a later failed open has none to save.
    EXPECT_EQ(run(state, dir.path("missing.bmp"), dir.path("third.bmp")),
              "fopen fp_s error\n" + no_image_lines);
  }
}

void truncate_to(const std::string& path, std::uintmax_t size) {
  fs::resize_file(path, size);
}

INSTANTIATE_TEST_SUITE_P(
    faults, between_runs,
    ::testing::Values(
        between_runs_case{"source_vanishes",
                          [](const std::string& s) { fs::remove(s); },
                          "fopen fp_s error\n", true},
        between_runs_case{"source_replaced_by_a_directory",
                          [](const std::string& s) {
                            fs::remove(s);
                            fs::create_directory(s);
                          },
                          "fread fp_s error\n", false},
        between_runs_case{"source_shrinks_into_its_pixels",
                          [](const std::string& s) { truncate_to(s, 100); },
                          "fread images_s error\n", false},
        between_runs_case{"source_shrinks_into_its_header",
                          [](const std::string& s) { truncate_to(s, 20); },
                          "fread fp_s error\n", false},
        between_runs_case{"source_emptied",
                          [](const std::string& s) { truncate_to(s, 0); },
                          "fread fp_s error\n", false}),
    [](const auto& tc) { return std::string(tc.param.name); });

// With the source and the target one file, the whole source is read
// before the target is replaced, whichever path names it. The target's
// name gets the edge map; a hard link is a name of its own, so the
// source's name keeps the original.
struct same_file_case {
  const char* name;
  bmp_recipe sample;
  std::function<std::string(const test::temp_dir&)> target_path;
  bool source_name_replaced = true;
  friend void PrintTo(const same_file_case& c, std::ostream* os) {
    *os << c.name;
  }
};

class same_file : public ::testing::TestWithParam<same_file_case> {};

TEST_P(same_file, source_is_read_before_it_is_overwritten) {
  test::temp_dir dir;
  const std::string source = dir.path("s.bmp");
  test::write_file(source, test::make_bmp(GetParam().sample));
  const bytes original = test::read_file(source);
  const std::string target = GetParam().target_path(dir);
  image_state state;
  run(state, source, target);
  EXPECT_FALSE(state.fp_s);
  const bytes expected = test::expected_target(GetParam().sample);
  EXPECT_TRUE(test::read_file(target) == expected);
  EXPECT_TRUE(test::read_file(source) ==
              (GetParam().source_name_replaced ? expected : original));
}

INSTANTIATE_TEST_SUITE_P(
    faults, same_file,
    ::testing::Values(
        same_file_case{"through_a_symlink", sample,
                       [](const test::temp_dir& d) {
                         fs::create_symlink(d.path("s.bmp"), d.path("link"));
                         return d.path("link");
                       }},
        same_file_case{"through_a_hard_link", sample,
                       [](const test::temp_dir& d) {
                         fs::create_hard_link(d.path("s.bmp"), d.path("hard"));
                         return d.path("hard");
                       },
                       false},
        same_file_case{"through_another_spelling", sample,
                       [](const test::temp_dir& d) {
                         fs::create_directory(d.path("sub"));
                         return d.path("sub/../s.bmp");
                       }},
        // The target is shorter than the source: a v5 header becomes 54
        // bytes, so nothing of the old file may survive past the new end.
        same_file_case{
            "longer_header_shrinks_the_file", bmp_recipe{5, 3, 32, 138, noise},
            [](const test::temp_dir& d) { return d.path("s.bmp"); }}),
    [](const auto& tc) { return std::string(tc.param.name); });

// A pixel array that fits in 32 bits while the target's file size, 54
// bytes more, does not: bfSize could not describe the target. The file is
// sparse, so it takes no room on disk.
TEST(faults, target_size_beyond_32_bits_is_refused) {
  test::temp_dir dir;
  bmp_recipe huge{1, 1, 24, 54};
  bytes header = test::make_bmp(huge);
  header.resize(54);
  const std::uint32_t width = 0xFFFFFFFCu / 3;  // rows of 2^32 - 4 bytes
  for (int i = 0; i < 4; ++i) {
    header[18 + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(width >> (8 * i));
  }
  test::write_file(dir.path("huge.bmp"), header);
  fs::resize_file(dir.path("huge.bmp"), 54 + std::uintmax_t{0xFFFFFFFCu});
  image_state state;
  EXPECT_EQ(run(state, dir.path("huge.bmp"), dir.path("t.bmp")),
            "malloc images_s error\n" + no_image_lines);
  EXPECT_TRUE(test::read_file(dir.path("t.bmp")).empty());
}

// Permissions do not stop root, so as root these run in a child process
// that has dropped to an unprivileged user. fn's result comes back through
// a pipe; nothing comes back when the child cannot drop its privileges.
std::optional<std::string> unprivileged(
    const std::function<std::string()>& fn) {
  if (::geteuid() != 0) {
    return fn();
  }
  int fds[2];
  if (::pipe(fds) != 0) {
    return std::nullopt;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    constexpr uid_t nobody = 65534;
    if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
      ::_exit(3);
    }
    const std::string out = fn();
    const bool sent = ::write(fds[1], out.data(), out.size()) ==
                      static_cast<ssize_t>(out.size());
    ::_exit(sent ? 0 : 4);
  }
  ::close(fds[1]);
  std::string out;
  char buffer[256];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child ||
      !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::nullopt;
  }
  return out;
}

// A directory everyone may enter, so an unprivileged child can reach it.
void open_to_all(const test::temp_dir& dir) {
  fs::permissions(dir.path(""), fs::perms::owner_all | fs::perms::group_exec |
                                    fs::perms::others_exec |
                                    fs::perms::group_read |
                                    fs::perms::others_read);
}

// A run of the stages whose lines, success and open stream come back as
// text, so a child process can report them.
std::string staged_run(image_state& state, const std::string& source,
                       const std::string& target) {
  bool succeeded = false;
  std::string out = test::captured_stdout([&] {
    succeeded = run_pipeline(state, source.c_str(), target.c_str(),
                             edge_threshold);
  });
  out += succeeded ? "succeeded" : "failed";
  if (state.fp_s) out += ", fp_s open";
  return out;
}

TEST(faults, target_directory_read_only) {
  test::temp_dir dir;
  open_to_all(dir);
  test::write_file(dir.path("s.bmp"), test::make_bmp(sample));
  fs::create_directory(dir.path("ro"));
  fs::permissions(dir.path("ro"),
                  fs::perms::owner_read | fs::perms::owner_exec |
                      fs::perms::others_read | fs::perms::others_exec);
  const auto out = unprivileged([&] {
    image_state state;
    return staged_run(state, dir.path("s.bmp"), dir.path("ro/t.bmp"));
  });
  if (!out) GTEST_SKIP() << "cannot run as an unprivileged user";
  EXPECT_EQ(*out, "fopen fname_t error\nfailed");
  EXPECT_FALSE(fs::exists(dir.path("ro/t.bmp")));
}

TEST(faults, read_only_target_file_is_left_as_it_was) {
  test::temp_dir dir;
  open_to_all(dir);
  test::write_file(dir.path("s.bmp"), test::make_bmp(sample));
  const bytes old_content{'o', 'l', 'd'};
  test::write_file(dir.path("t.bmp"), old_content);
  fs::permissions(dir.path("t.bmp"),
                  fs::perms::owner_read | fs::perms::others_read);
  const auto out = unprivileged([&] {
    image_state state;
    return staged_run(state, dir.path("s.bmp"), dir.path("t.bmp"));
  });
  if (!out) GTEST_SKIP() << "cannot run as an unprivileged user";
  EXPECT_EQ(*out, "fopen fname_t error\nfailed");
  EXPECT_TRUE(test::read_file(dir.path("t.bmp")) == old_content);
}

TEST(faults, unreadable_source_fails_its_open_and_keeps_the_image) {
  test::temp_dir dir;
  open_to_all(dir);
  test::write_file(dir.path("s.bmp"), test::make_bmp(sample));
  test::write_file(dir.path("secret.bmp"), test::make_bmp({2, 2, 24, 54}));
  fs::permissions(dir.path("secret.bmp"), fs::perms::none);
  fs::create_directory(dir.path("out"));
  fs::permissions(dir.path("out"), fs::perms::all);
  const auto out = unprivileged([&] {
    image_state state;
    std::string lines =
        staged_run(state, dir.path("s.bmp"), dir.path("out/first.bmp"));
    lines += "\n";
    return lines + staged_run(state, dir.path("secret.bmp"),
                              dir.path("out/second.bmp"));
  });
  if (!out) GTEST_SKIP() << "cannot run as an unprivileged user";
  EXPECT_EQ(*out, size_lines + "succeeded\nfopen fp_s error\n" + size_lines +
                      "failed");
  EXPECT_TRUE(test::read_file(dir.path("out/second.bmp")) ==
              test::expected_target(sample));
}

}  // namespace
}  // namespace edgemap
