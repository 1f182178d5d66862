// quillfen-make-volume: makes a sample volume for the benchmarks and the
// comparison in scripts/bench. The same seed and size give the same tree.
// --restore makes only what is missing of that tree in DIR, so that a volume
// some items were removed from is whole again without being made anew.
//
//   quillfen-make-volume [--seed N] [--entries N] [--restore] DIR
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "bench/sample_volume.h"

namespace {

int Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--seed N] [--entries N] [--restore] DIR\n"
               "  makes DIR (absent or empty) with N files and folders "
               "(default 1000000, seed 1);\n"
               "  --restore: makes only what DIR lacks of that tree\n",
               program);
  return 2;
}

bool ParseNumber(std::string_view text, std::uint64_t* number) {
  const char* end = text.data() + text.size();
  auto [rest, error] = std::from_chars(text.data(), end, *number);
  return error == std::errc() && rest == end && !text.empty();
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t seed = 1;
  std::uint64_t entries = 1'000'000;
  std::string directory;
  bool restore = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::uint64_t* number = nullptr;
    if (arg == "--seed") {
      number = &seed;
    } else if (arg == "--entries") {
      number = &entries;
    } else if (arg == "--restore") {
      restore = true;
      continue;
    } else if (arg == "--help" || arg == "-h") {
      Usage(argv[0]);
      return 0;
    } else if (arg.starts_with("-") || !directory.empty()) {
      return Usage(argv[0]);
    } else {
      directory = arg;
      continue;
    }
    if (i + 1 >= argc || !ParseNumber(argv[i + 1], number)) {
      return Usage(argv[0]);
    }
    ++i;
  }
  if (directory.empty()) return Usage(argv[0]);

  quillfen::bench::SampleVolume volume =
      quillfen::bench::SampleVolume::Plan(seed, entries);
  quillfen::bench::SampleVolume::Made made =
      restore ? volume.Restore(directory) : volume.Materialize(directory);
  if (!made.error.empty()) {
    std::fprintf(stderr, "quillfen-make-volume: %s\n", made.error.c_str());
    return 1;
  }
  std::printf("%s %zu files and %zu folders in %s\n",
              restore ? "restored" : "made", made.files, made.folders,
              directory.c_str());
  return 0;
}
