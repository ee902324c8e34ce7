// The main a fuzz target is linked with when there is no libFuzzer: it feeds every file named on
// the command line, and every file below every folder named there, to LLVMFuzzerTestOneInput
// once, so the committed corpus is a regression suite in every build. Exits 1 when a path
// cannot be read or no input was found (a moved corpus must not pass as an empty one).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

// The regular files at or below `path`, in name order so a failing run is repeatable.
bool CollectInputs(const fs::path& path, std::vector<fs::path>& inputs) {
  std::error_code error;
  if (fs::is_regular_file(path, error)) {
    inputs.push_back(path);
    return true;
  }
  if (!fs::is_directory(path, error)) {
    std::cerr << path.string() << ": no such file or folder\n";
    return false;
  }
  std::vector<fs::path> found;
  for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file(error))
      found.push_back(it->path());
  }
  if (error) {
    std::cerr << path.string() << ": " << error.message() << '\n';
    return false;
  }
  std::sort(found.begin(), found.end());
  inputs.insert(inputs.end(), found.begin(), found.end());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!CollectInputs(argv[i], inputs))
      return 1;
  }
  if (inputs.empty()) {
    std::cerr << "no inputs to replay\n";
    return 1;
  }
  for (const fs::path& input : inputs) {
    std::ifstream file(input, std::ios::binary);
    if (!file) {
      std::cerr << input.string() << ": cannot be read\n";
      return 1;
    }
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    // A copy of exactly the input's size, as libFuzzer passes it, so that the sanitizers see a
    // read one past the end; never a null pointer, not even for an empty input.
    const auto bytes = std::make_unique<uint8_t[]>(text.size());
    std::copy(text.begin(), text.end(), bytes.get());
    // Announced first, so the input that crashes is the last one named.
    std::cout << input.string() << " (" << text.size() << " bytes)" << std::endl;
    static_cast<void>(LLVMFuzzerTestOneInput(bytes.get(), text.size()));
  }
  std::cout << inputs.size() << " inputs replayed\n";
  return 0;
}
