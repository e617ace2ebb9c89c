// Runs a harness over files without libFuzzer: each argument is a file, or
// a directory whose files are all run. Any failed check aborts, so a
// non-zero exit marks the input that broke.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size);

namespace {

void run_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> input((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  (void)std::fprintf(stderr, "running %s (%zu bytes)\n", path.c_str(),
                     input.size());
  (void)LLVMFuzzerTestOneInput(input.data(), input.size());
}

}  // namespace

int main(int argc, char** argv) {
  // The library's own lines would bury the harness's.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    return 2;
  }
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg = argv[i];
    if (std::filesystem::is_directory(arg)) {
      std::vector<std::filesystem::path> files;
      for (const auto& e : std::filesystem::directory_iterator(arg)) {
        if (e.is_regular_file()) files.push_back(e.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& f : files) {
        run_file(f);
        ++count;
      }
    } else {
      run_file(arg);
      ++count;
    }
  }
  (void)std::fprintf(stderr, "%d inputs ran clean\n", count);
  return count > 0 ? 0 : 1;
}
