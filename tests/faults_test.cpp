// Faults around the files: each gives its one line and a defined target,
// and nothing that should be kept is lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bitmap/bitmap_io.h"
#include "edgemap.h"
#include "edges/detect_edges.h"
#include "entry/pipeline.h"
#include "pipeline/transcode.h"
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
    run_pipeline(state, source.c_str(), target.c_str(),
                 EDGEMAP_DEFAULT_THRESHOLD);
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

// Runs fn in a child process and returns what it returned, through a pipe;
// nothing when the child could not do its part (exit status 77).
std::optional<std::string> in_child(const std::function<std::string()>& fn) {
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
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
  int st = 0;
  if (child < 0 || ::waitpid(child, &st, 0) != child || !WIFEXITED(st) ||
      WEXITSTATUS(st) != 0) {
    return std::nullopt;
  }
  return out;
}

// Permissions do not stop root, so as root these run in a child process
// that has dropped to an unprivileged user. fn's result comes back through
// a pipe; nothing comes back when the child cannot drop its privileges.
std::optional<std::string> unprivileged(
    const std::function<std::string()>& fn) {
  if (::geteuid() != 0) {
    return fn();
  }
  return in_child([&fn] {
    constexpr uid_t nobody = 65534;
    if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
      ::_exit(3);
    }
    return fn();
  });
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
                             EDGEMAP_DEFAULT_THRESHOLD);
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
  const bytes secret = test::make_bmp({2, 2, 24, 54});
  test::write_file(dir.path("secret.bmp"), secret);
  // Writable, not readable (chmod 222).
  fs::permissions(dir.path("secret.bmp"), fs::perms::owner_write |
                                              fs::perms::group_write |
                                              fs::perms::others_write);
  fs::create_directory(dir.path("out"));
  fs::permissions(dir.path("out"), fs::perms::all);
  const auto out = unprivileged([&] {
    image_state state;
    std::string lines =
        staged_run(state, dir.path("s.bmp"), dir.path("out/first.bmp"));
    lines += "\n";
    lines +=
        staged_run(state, dir.path("secret.bmp"), dir.path("out/second.bmp"));
    // The image kept from the first run never replaces the very file the
    // load failed to read, and neither does an emptied target.
    lines += "\n";
    lines += staged_run(state, dir.path("secret.bmp"), dir.path("secret.bmp"));
    const conversion c = convert_file(dir.path("secret.bmp").c_str(),
                                      {dir.path("secret.bmp").c_str()}, 90.0, 0,
                                      on_refused_source::empty_target);
    return lines + (c.save == status::open_target ? "\nkept" : "\nemptied");
  });
  if (!out) GTEST_SKIP() << "cannot run as an unprivileged user";
  EXPECT_EQ(*out, size_lines + "succeeded\nfopen fp_s error\n" + size_lines +
                      "failed\nfopen fp_s error\nfopen fname_t error\n"
                      "failed\nkept");
  EXPECT_TRUE(test::read_file(dir.path("out/second.bmp")) ==
              test::expected_target(sample));
  fs::permissions(dir.path("secret.bmp"), fs::perms::owner_read,
                  fs::perm_options::add);
  EXPECT_TRUE(test::read_file(dir.path("secret.bmp")) == secret);
}

// A program may have closed its standard streams (2>&-): no file the
// library opens may take descriptor 0, 1 or 2, or the program's next line
// would be written into it. The lowest free descriptor is the one a file
// would take, so each stream is closed alone as well as all together.
TEST(faults, files_never_take_the_standard_descriptors) {
  test::temp_dir dir;
  test::write_file(dir.path("s.bmp"), test::make_bmp(sample));
  const struct {
    const char* name;
    std::vector<int> closed;
  } cases[] = {{"0, 1 and 2", {0, 1, 2}}, {"2 alone", {2}}, {"1 alone", {1}}};
  for (const auto& c : cases) {
    const auto out = in_child([&] {
      for (const int fd : c.closed) ::close(fd);
      std::string taken;
      const auto check = [&](const char* what) {
        for (const int fd : c.closed) {
          if (::fcntl(fd, F_GETFD) != -1) taken += what;
        }
      };
      // Each stays open, so that the next would take the next free one.
      const file_ptr source(open_source(dir.path("s.bmp").c_str()));
      check("source ");
      const file_ptr written(open_file(dir.path("w.bmp").c_str(), "wb"));
      check("open_file ");
      target_file replaced;
      (void)replaced.open(dir.path("s.bmp").c_str());
      check("temporary ");
      target_file in_place;
      (void)in_place.open("/dev/null");
      check("in place ");
      return taken;
    });
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "") << "closed: " << c.name;
  }
}

}  // namespace
}  // namespace edgemap

namespace edgemap {
namespace {

// Files in a folder, temporary files included.
std::size_t entries_in(const std::string& folder) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder)) ++n;
  return n;
}

// A program ending on a signal removes the temporary files being written,
// and none is made after that.
TEST(faults, temporary_targets_are_removed_when_the_program_stops) {
  test::temp_dir dir;
  const auto out = in_child([&] {
    target_file t;
    if (!t.open(dir.path("t.bmp").c_str())) return std::string();
    t.write("partial", 7);
    std::string seen = std::to_string(entries_in(dir.path(""))) + " ";
    remove_temporary_targets();
    seen += std::to_string(entries_in(dir.path(""))) + " ";
    target_file later;
    return seen +
           (later.open(dir.path("u.bmp").c_str()) ? "opened" : "refused");
  });
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, "1 0 refused");
}

// A target that already exists: the conversion replaces it whole, keeps
// what the user set on it and leaves no temporary file behind.
struct replaced_case {
  const char* name;
  // Makes the target; returns the path to convert to.
  std::function<std::string(const test::temp_dir&)> make;
  std::function<void(const test::temp_dir&)> check;
  bool needs_root = false;
  friend void PrintTo(const replaced_case& c, std::ostream* os) {
    *os << c.name;
  }
};

class replaced : public ::testing::TestWithParam<replaced_case> {};

std::thread& fifo_reader() {
  static std::thread reader;
  return reader;
}

TEST_P(replaced, target_is_replaced_whole) {
  if (GetParam().needs_root && ::geteuid() != 0) {
    GTEST_SKIP() << "only root may give a file to another user";
  }
  test::temp_dir dir;
  test::write_file(dir.path("s.bmp"), test::make_bmp(sample));
  const std::string target = GetParam().make(dir);
  image_state state;
  EXPECT_EQ(run(state, dir.path("s.bmp"), target), size_lines);
  GetParam().check(dir);
  for (const auto& e : fs::directory_iterator(dir.path(""))) {
    EXPECT_NE(e.path().filename().string()[0], '.') << "left behind: " << e;
  }
}

INSTANTIATE_TEST_SUITE_P(
    faults, replaced,
    ::testing::Values(
        replaced_case{"symbolic_link_is_followed",
                      [](const test::temp_dir& d) {
                        test::write_file(d.path("real.bmp"), {1, 2});
                        fs::create_symlink("real.bmp", d.path("link.bmp"));
                        return d.path("link.bmp");
                      },
                      [](const test::temp_dir& d) {
                        EXPECT_TRUE(fs::is_symlink(d.path("link.bmp")));
                        EXPECT_TRUE(test::read_file(d.path("real.bmp")) ==
                                    test::expected_target(sample));
                      }},
        replaced_case{"permission_bits_are_kept",
                      [](const test::temp_dir& d) {
                        test::write_file(d.path("t.bmp"), {1, 2});
                        ::chmod(d.path("t.bmp").c_str(), 0640);
                        return d.path("t.bmp");
                      },
                      [](const test::temp_dir& d) {
                        struct stat st {};
                        ASSERT_EQ(::stat(d.path("t.bmp").c_str(), &st), 0);
                        EXPECT_EQ(st.st_mode & 07777, 0640u);
                        EXPECT_TRUE(test::read_file(d.path("t.bmp")) ==
                                    test::expected_target(sample));
                      }},
        replaced_case{"owner_is_kept",
                      [](const test::temp_dir& d) {
                        test::write_file(d.path("t.bmp"), {1, 2});
                        EXPECT_EQ(
                            ::chown(d.path("t.bmp").c_str(), 65534, 65534), 0);
                        return d.path("t.bmp");
                      },
                      [](const test::temp_dir& d) {
                        struct stat st {};
                        ASSERT_EQ(::stat(d.path("t.bmp").c_str(), &st), 0);
                        EXPECT_EQ(st.st_uid, 65534u);
                        EXPECT_EQ(st.st_gid, 65534u);
                        EXPECT_TRUE(test::read_file(d.path("t.bmp")) ==
                                    test::expected_target(sample));
                      },
                      true},
        replaced_case{"fifo_is_written_in_place",
                      [](const test::temp_dir& d) {
                        ::mkfifo(d.path("fifo").c_str(), 0600);
                        // A reader, so that opening the FIFO for writing
                        // returns; it keeps what the conversion writes.
                        fifo_reader() = std::thread(
                            [path = d.path("fifo"), out = d.path("got")] {
                              test::write_file(out, test::read_file(path));
                            });
                        return d.path("fifo");
                      },
                      [](const test::temp_dir& d) {
                        fifo_reader().join();
                        EXPECT_TRUE(fs::is_fifo(d.path("fifo")));
                        EXPECT_TRUE(test::read_file(d.path("got")) ==
                                    test::expected_target(sample));
                      }}),
    [](const auto& tc) { return std::string(tc.param.name); });

// With the target the source itself, however named, a source the load
// refuses is left as it was: the save reports the target instead of
// emptying the user's only copy. The API never touches a target on failure.
struct refused_in_place_case {
  const char* name;
  std::function<std::string(const test::temp_dir&)> target;
  friend void PrintTo(const refused_in_place_case& c, std::ostream* os) {
    *os << c.name;
  }
};

class refused_in_place
    : public ::testing::TestWithParam<refused_in_place_case> {};

TEST_P(refused_in_place, source_survives) {
  test::temp_dir dir;
  bytes photo = test::make_bmp(sample);
  photo[28] = 8;  // an 8-bit bitmap, which the loader refuses
  test::write_file(dir.path("photo.bmp"), photo);
  const std::string target = GetParam().target(dir);
  image_state state;
  EXPECT_EQ(run(state, dir.path("photo.bmp"), target),
            "check bit_count error\nfopen fname_t error\n");
  EXPECT_TRUE(test::read_file(dir.path("photo.bmp")) == photo);
  const conversion c =
      convert_file(dir.path("photo.bmp").c_str(), {target.c_str(), nullptr},
                   90.0, 0, on_refused_source::empty_target);
  EXPECT_EQ(c.save, status::open_target);
  EXPECT_TRUE(test::read_file(dir.path("photo.bmp")) == photo);
  // A different target still gets the empty file callers rely on.
  EXPECT_EQ(run(state, dir.path("photo.bmp"), dir.path("other.bmp")),
            "check bit_count error\n" + no_image_lines);
  EXPECT_TRUE(fs::exists(dir.path("other.bmp")));
}

INSTANTIATE_TEST_SUITE_P(
    faults, refused_in_place,
    ::testing::Values(
        refused_in_place_case{
            "same_path",
            [](const test::temp_dir& d) { return d.path("photo.bmp"); }},
        refused_in_place_case{"another_spelling",
                              [](const test::temp_dir& d) {
                                fs::create_directory(d.path("sub"));
                                return d.path("sub/../photo.bmp");
                              }},
        refused_in_place_case{"symbolic_link",
                              [](const test::temp_dir& d) {
                                fs::create_symlink(d.path("photo.bmp"),
                                                   d.path("link"));
                                return d.path("link");
                              }},
        refused_in_place_case{"hard_link",
                              [](const test::temp_dir& d) {
                                fs::create_hard_link(d.path("photo.bmp"),
                                                     d.path("hard"));
                                return d.path("hard");
                              }}),
    [](const auto& tc) { return std::string(tc.param.name); });

// A FIFO nobody writes to is refused at once rather than waited on.
TEST(faults, fifo_source_is_refused_without_waiting) {
  test::temp_dir dir;
  ASSERT_EQ(::mkfifo(dir.path("fifo").c_str(), 0600), 0);
  image_state state;
  EXPECT_EQ(run(state, dir.path("fifo"), dir.path("t.bmp")),
            "fopen fp_s error\n" + no_image_lines);
  EXPECT_EQ(edgemap_convert_file(dir.path("fifo").c_str(),
                                 dir.path("u.bmp").c_str(), 90.0, 0),
            EDGEMAP_ERROR_OPEN_SOURCE);
}

// A file system that fills up halfway through the target: the same lines
// and status as ever, the previous target intact byte for byte, and no
// temporary file left. A 64 KiB tmpfs is mounted in a child process with a
// mount namespace of its own; skipped where the machine allows no such
// thing.
TEST(faults, full_file_system_keeps_the_previous_target) {
  test::temp_dir dir;
  const bmp_recipe big{200, 150, 24, 54, noise};  // a 90 KB target
  test::write_file(dir.path("s.bmp"), test::make_bmp(big));
  fs::create_directory(dir.path("small"));
  const std::string target = dir.path("small/t.bmp");
  const bytes old_target(30000, 0x42);
  const auto out = in_child([&]() -> std::string {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", dir.path("small").c_str(), "tmpfs", 0, "size=64k") !=
            0) {
      ::_exit(77);
    }
    test::write_file(target, old_target);
    image_state state;
    std::string result = run(state, dir.path("s.bmp"), target);
    result += test::read_file(target) == old_target ? "kept" : "lost";
    result += std::to_string(entries_in(dir.path("small")));
    result += ' ';
    result += std::to_string(edgemap_convert_file(dir.path("s.bmp").c_str(),
                                                  target.c_str(), 90.0, 0));
    result += test::read_file(target) == old_target ? "kept" : "lost";
    result += std::to_string(entries_in(dir.path("small")));
    return result;
  });
  if (!out) GTEST_SKIP() << "cannot mount a tmpfs here";
  EXPECT_EQ(*out,
            "file size = 90054\nsize = 90000.000000\nfwrite fp_t error\n"
            "kept1 -8kept1");
}

}  // namespace
}  // namespace edgemap

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace edgemap {
namespace {

// Limits the child's address space to what it has now plus `more` bytes,
// so that an allocation past that fails as on a small machine. False where
// the limit does not hold: qemu's user mode accepts it and ignores it.
bool limit_address_space(std::size_t more) {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  unsigned long pages = 0;
  const bool read = statm != nullptr && std::fscanf(statm, "%lu", &pages) == 1;
  if (statm != nullptr) std::fclose(statm);
  const auto now =
      static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
  const rlimit limit{now + more, now + more};
  if (!read || ::setrlimit(RLIMIT_AS, &limit) != 0) return false;
  // An anonymous mapping takes no file: -1 is what POSIX asks for.
  constexpr int anonymous = MAP_PRIVATE | MAP_ANONYMOUS;
  // cppcheck-suppress invalidFunctionArg
  void* const past = ::mmap(nullptr, 2 * more, PROT_NONE, anonymous, -1, 0);
  if (past == MAP_FAILED) return true;
  (void)::munmap(past, 2 * more);
  return false;
}

// What a refused source may cost is bounded by its length: a 90-byte file
// claiming 1.8 GB of pixels is refused for being short before anything is
// allocated for it, even where 1.8 GB could never be had. Out of memory
// shows as its own status.
TEST(faults, memory_is_bounded_by_what_the_source_holds) {
  test::temp_dir dir;
  bytes claim = test::make_bmp(sample);
  for (int i = 0; i < 4; ++i) {
    claim[18 + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(20000u >> (8 * i));
    claim[22 + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(30000u >> (8 * i));
  }
  test::write_file(dir.path("claim.bmp"), claim);
  const auto out = in_child([&]() -> std::string {
    // A real 200 MB bitmap, reserved before the limit and never touched.
    constexpr std::size_t big = std::size_t{200} << 20;
    auto* const huge = static_cast<std::uint8_t*>(std::malloc(big));
    if (huge == nullptr || !limit_address_space(std::size_t{64} << 20)) {
      ::_exit(77);
    }
    std::memcpy(huge, claim.data(), 54);
    const std::uint32_t width = 8192;
    const std::uint32_t height = (big - 54) / (3 * width);
    for (int i = 0; i < 4; ++i) {
      huge[18 + i] = static_cast<std::uint8_t>(width >> (8 * i));
      huge[22 + i] = static_cast<std::uint8_t>(height >> (8 * i));
    }
    image_state state;
    std::string result = run(state, dir.path("claim.bmp"), dir.path("t.bmp"));
    void* target = nullptr;
    std::size_t size = 0;
    result += std::to_string(
        edgemap_convert_memory(huge, big, &target, &size, 90.0, 1));
    return result;
  });
  if (!out) GTEST_SKIP() << "cannot limit the address space here";
  EXPECT_EQ(*out, "fread images_s error\n" + no_image_lines + "-5");
}

}  // namespace
}  // namespace edgemap
#endif
