// loader_fuzz.cpp: libFuzzer target: the galaxy loader on any bytes, its quick path checked
// against its byte-by-byte path on every input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/loader_test.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Capacity 0 to 52 and stride -1 to 2, chosen by the size so that every input keeps its own.
    const auto capacity = static_cast<int32_t>(size % 53);
    const auto stride = static_cast<int32_t>(size / 53 % 4) - 1;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string quick = Describe(RunLoader(bytes, capacity, stride, true));
    const std::string exact = Describe(RunLoader(bytes, capacity, stride, false));
    if (quick != exact) {
        std::fprintf(stderr, "quick and exact paths differ\nquick:\n%s\nexact:\n%s\n",
                     quick.c_str(), exact.c_str());
        std::abort();
    }
    return 0;
}
