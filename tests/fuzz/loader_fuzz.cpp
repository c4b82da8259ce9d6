// loader_fuzz.cpp: libFuzzer target: the galaxy loader on any bytes, its quick path checked
// against its byte-by-byte path, and the file read in parts checked against one pass, on every
// input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/loader_test.h"

namespace {

void Expect(const std::string& want, const std::string& got, const char* what) {
    if (want != got) {
        std::fprintf(stderr, "%s differ\nexpected:\n%s\ngot:\n%s\n", what, want.c_str(),
                     got.c_str());
        std::abort();
    }
}

// Where a file may be cut: just after each line feed. Every one of them for a short input,
// otherwise a spread of them, always with two and three parts among the cases.
std::vector<std::vector<int64_t>> CutsToTry(const std::string& bytes) {
    std::vector<int64_t> ends;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        if (bytes[at] == '\n') {
            ends.push_back(static_cast<int64_t>(at) + 1);
        }
    }
    std::vector<std::vector<int64_t>> tries;
    const std::size_t step = ends.size() <= 64 ? 1 : ends.size() / 16;
    for (std::size_t k = 0; k < ends.size(); k += step) {
        tries.push_back({ends[k]});
    }
    if (ends.size() >= 2) {
        tries.push_back({ends.front(), ends[ends.size() / 2], ends.back()});
        tries.push_back(ends);  // a part for every line
    }
    return tries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Capacity 0 to 52 and stride -1 to 2, chosen by the size so that every input keeps its own.
    const auto capacity = static_cast<int32_t>(size % 53);
    const auto stride = static_cast<int32_t>(size / 53 % 4) - 1;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string exact = Describe(RunLoader(bytes, capacity, stride, false));
    Expect(exact, Describe(RunLoader(bytes, capacity, stride, true)), "quick and exact paths");
    // Parts: every record is selected there, and a capacity holds one slot at least.
    const int32_t slots = capacity < 1 ? 1 : capacity;
    const std::string single = Describe(RunLoader(bytes, slots, 1, true));
    Expect(single, Describe(RunSplitLoader(bytes, slots, {})), "one pass and LoadStars");
    for (const std::vector<int64_t>& cuts : CutsToTry(bytes)) {
        Expect(single, Describe(RunSplitLoader(bytes, slots, cuts)), "one pass and parts");
    }
    // Fit: as many slots as sound records, plus one, and nothing dropped.
    const LoadRun fit = RunSplitLoader(bytes, FitCapacity, CutsToTry(bytes).empty()
                                                               ? std::vector<int64_t>{}
                                                               : CutsToTry(bytes).back());
    Expect(Describe(RunLoader(bytes, static_cast<int32_t>(fit.stars.size()), 1, true)),
           Describe(fit), "one pass and a fitted load in parts");
    return 0;
}
