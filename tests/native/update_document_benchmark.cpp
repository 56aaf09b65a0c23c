// ReadUpdateDocument against the least work any reader of this format does: one memmem scan
// for each of the six quoted keys, and one widening copy of the values' bytes into UTF-16.
#include <benchmark/benchmark.h>

#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "update/update_document.h"

namespace {

constexpr std::string_view kKeys[] = {"\"needUpdate\"", "\"mustUpdate\"", "\"title\"",
                                      "\"message\"",    "\"url\"",        "\"versionName\""};

std::string Values() {
  std::string notes;
  while (notes.size() < 1600)
    notes += "修复了若干问题，提升了稳定性\\nImproved start-up time and page loading\\n";
  return "\"needUpdate\": true,\n  \"mustUpdate\": false,\n  \"title\": \"Ostrel Browser 2.4\",\n"
         "  \"message\": \"" +
         notes +
         "\",\n  \"url\": \"https://www.ostrel.example/download/"
         "OstrelBrowserSetup-2.4.0.exe\",\n  \"versionName\": \"2.4.0\"";
}

std::string RealisticDocument() { return "{\n  " + Values() + "\n}"; }

// A megabyte of other JSON, quotes and all, with the six keys last.
std::string LargeDocument() {
  std::string document = "{\"items\": [";
  while (document.size() < (1 << 20))
    document += "{\"id\": 123456, \"name\": \"item\", \"tags\": [\"a\", \"bc\"], \"ok\": false},";
  return document + "{}],\n  " + Values() + "\n}";
}

void Floor(benchmark::State& state, const std::string& document) {
  for (auto _ : state) {
    size_t found[std::size(kKeys)];
    for (size_t i = 0; i < std::size(kKeys); ++i) {
      const void* at = memmem(document.data(), document.size(), kKeys[i].data(), kKeys[i].size());
      found[i] = static_cast<const char*>(at) - document.data();
    }
    // The values' bytes: everything from the first key on, widened unit by unit.
    std::u16string wide(document.begin() + found[0], document.end());
    benchmark::DoNotOptimize(found);
    benchmark::DoNotOptimize(wide.data());
  }
  state.SetBytesProcessed(state.iterations() * document.size());
}

void Read(benchmark::State& state, const std::string& document) {
  for (auto _ : state) {
    UpdateInfo info = ReadUpdateDocument(document);
    benchmark::DoNotOptimize(info.message.data());
  }
  state.SetBytesProcessed(state.iterations() * document.size());
}

const std::string kRealistic = RealisticDocument();
const std::string kLarge = LargeDocument();

BENCHMARK_CAPTURE(Floor, realistic_2KB, kRealistic);
BENCHMARK_CAPTURE(Read, realistic_2KB, kRealistic);
BENCHMARK_CAPTURE(Floor, keys_last_1MiB, kLarge);
BENCHMARK_CAPTURE(Read, keys_last_1MiB, kLarge);

}  // namespace

BENCHMARK_MAIN();
