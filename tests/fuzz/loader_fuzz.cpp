// loader_fuzz.cpp: libFuzzer target: the galaxy loader on any bytes, its quick path checked
// against its byte-by-byte path on every input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "data/loader.h"
#include "data/loader_internal.h"

namespace {

// What one load stored, printed and returned.
struct Result {
    int32_t passes = 0;
    std::vector<Star> stars;
    std::vector<uint8_t> tags;
    std::string out;
    std::string err;
};

std::string TakeText(std::FILE* stream, char** text, std::size_t* size) {
    std::fclose(stream);
    std::string copy(*text, *size);
    std::free(*text);
    return copy;
}

// Loads the bytes as a file into arrays of `capacity` slots, capturing both output streams.
Result Load(const uint8_t* data, std::size_t size, int32_t capacity, int32_t stride, bool quick) {
    Result result;
    result.stars.assign(static_cast<std::size_t>(capacity), Star{0.0, 0.0, 0.0});
    result.tags.assign(static_cast<std::size_t>(capacity), 0);
    // fmemopen refuses an empty buffer; an empty file reads the same.
    std::FILE* in =
        size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : std::fopen("/dev/null", "rb");
    char* outText = nullptr;
    char* errText = nullptr;
    std::size_t outSize = 0;
    std::size_t errSize = 0;
    std::FILE* out = open_memstream(&outText, &outSize);
    std::FILE* err = open_memstream(&errText, &errSize);
    if (in == nullptr || out == nullptr || err == nullptr) {
        std::abort();
    }
    LoaderQuickPath = quick;
    result.passes = LoadGalaxyFromStream(result.stars.data(), result.tags.data(), in, "fuzz.dat",
                                         capacity, stride, out, err);
    std::fclose(in);
    result.out = TakeText(out, &outText, &outSize);
    result.err = TakeText(err, &errText, &errSize);
    return result;
}

bool Same(const Result& a, const Result& b) {
    return a.passes == b.passes && a.out == b.out && a.err == b.err && a.tags == b.tags &&
           (a.stars.empty() ||
            std::memcmp(a.stars.data(), b.stars.data(), a.stars.size() * sizeof(Star)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Capacity 0 to 52 and stride -1 to 2, chosen by the size so that every input keeps its own.
    const auto capacity = static_cast<int32_t>(size % 53);
    const auto stride = static_cast<int32_t>(size / 53 % 4) - 1;
    const Result quick = Load(data, size, capacity, stride, true);
    const Result exact = Load(data, size, capacity, stride, false);
    if (!Same(quick, exact)) {
        std::fprintf(stderr, "quick and exact paths differ\nquick:\n%s%s\nexact:\n%s%s\n",
                     quick.out.c_str(), quick.err.c_str(), exact.out.c_str(), exact.err.c_str());
        std::abort();
    }
    return 0;
}
