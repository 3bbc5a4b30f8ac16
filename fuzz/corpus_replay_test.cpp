// Every input of the fuzz targets' seed corpora, replayed through the same
// checks as the fuzzers make. A failed check stops the process with the
// condition named; the input being replayed is named just before.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" int ini_fuzz_one(const uint8_t* data, size_t size);
extern "C" int commatext_fuzz_one(const uint8_t* data, size_t size);
extern "C" int datetime_fuzz_one(const uint8_t* data, size_t size);

namespace {

// Replays every file of corpus/<name>; returns how many there were.
size_t Replay(const std::string& name, int (*one)(const uint8_t*, size_t)) {
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(QUILLFEN_CORPUS_DIR) + "/" + name))
    inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  for (const auto& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    const std::string data(std::istreambuf_iterator<char>(in), {});
    std::fprintf(stderr, "replaying %s\n", input.c_str());
    EXPECT_EQ(one(reinterpret_cast<const uint8_t*>(data.data()), data.size()), 0);
  }
  return inputs.size();
}

TEST(FuzzCorpus, SettingsFileInputsPassTheirChecks) {
  EXPECT_GE(Replay("ini", ini_fuzz_one), 5u);
}

TEST(FuzzCorpus, CommaTextInputsPassTheirChecks) {
  EXPECT_GE(Replay("commatext", commatext_fuzz_one), 5u);
}

TEST(FuzzCorpus, DateTimeInputsPassTheirChecks) {
  EXPECT_GE(Replay("datetime", datetime_fuzz_one), 5u);
}

}  // namespace
