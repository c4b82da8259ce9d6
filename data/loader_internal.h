// loader_internal.h: what the loader's files share: the block reader, the state of one load, the
// record assembly both field paths feed, and the switch between the paths that tests turn.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "data/loader.h"
#include "data/star.h"

// Test seam: whether the loader reads plain short fields by its quick path (loader_quick.cpp)
// rather than byte by byte. Both give the same results; tests and the fuzzer compare them.
extern bool LoaderQuickPath;

// Test seam: LoadStars with its text going to out and err, and the file cut at `cuts` (each just
// after a line feed, in increasing order) rather than once per thread; no cuts: one pass.
LoadStatus LoadStarsInParts(const char* fileName, int32_t capacity, int32_t* passes,
                            std::FILE* out, std::FILE* err, const std::vector<int64_t>* cuts);

namespace loader {

// Bytes read at a time: large enough that the calls into the kernel cost little beside the
// copy (a quarter as many calls as with 64 KiB took 3% off loading), small enough to stay in
// cache.
inline constexpr std::size_t BlockSize = std::size_t{1} << 18;
inline constexpr int64_t MaxReportedLines = 20;  // damaged lines described one by one
inline constexpr std::size_t ExcerptLimit = 24;  // characters of a bad field quoted in a diagnostic
// A file value has a cell key (see HasCellKey) only strictly between these two.
inline constexpr float FileValueFloor = -21476.0f;
inline constexpr float FileValueCeiling = 21475.0f;

// A table of the given bytes, to tell members with one look.
constexpr std::array<bool, 256> ByteSet(std::initializer_list<char> members) {
    std::array<bool, 256> set{};
    for (const char c : members) {
        set[static_cast<unsigned char>(c)] = true;
    }
    return set;
}
// Bytes that end a field: white space and '#'; the end of the file ends one too.
inline constexpr std::array<bool, 256> FieldEnders =
    ByteSet({' ', '\t', '\v', '\f', '\r', '\n', '#'});
inline constexpr std::array<bool, 256> Blanks = ByteSet({' ', '\t', '\v', '\f'});

inline bool IsDigit(int c) {
    return c >= '0' && c <= '9';
}

// The file in large blocks: bytes [position, end) of `bytes` are read from the file but not
// yet taken. hitEnd is set, like a stream's end-of-file indicator, by a take that found nothing.
struct Reader {
    std::FILE* stream = nullptr;
    std::size_t position = 0;
    std::size_t end = 0;
    int64_t remaining = -1;  // bytes of the stream still to read; -1 for all there are
    bool waits = false;      // the stream may block (a pipe): wait for it in short polls
    bool hitEnd = false;
    bool failed = false;  // a read failed; error holds its errno
    bool stopped = false;  // a stop was requested (startup.h): reads give nothing more
    int error = 0;
    unsigned char bytes[BlockSize];
};

// Keeps the bytes not yet taken, moved to the front, and reads as many more as fit after them;
// false when none came.
bool Refill(Reader& reader);

// Takes the next byte, or gives EOF at the end of the file.
inline int Next(Reader& reader) {
    if (reader.position == reader.end && !Refill(reader)) {
        reader.hitEnd = true;
        return EOF;
    }
    return reader.bytes[reader.position++];
}
// Gives back the byte just taken (never EOF).
inline void PutBack(Reader& reader) {
    --reader.position;
}

// The first characters of a field, quoted in diagnostics with unprintable bytes escaped.
struct Excerpt {
    char text[ExcerptLimit * 4 + 4];
    std::size_t length = 0;
    std::size_t characters = 0;
};
void AddToExcerpt(Excerpt& excerpt, int c);

// A diagnostic held back, when a part of a file is read apart from the parts before it.
struct HeldReport {
    int64_t line;
    std::string what;
    bool always = false;  // told even beyond the first MaxReportedLines
};

// Where records go when they outgrow the arrays given: arrays that grow as they fill.
struct GrowingSlots {
    SlotArray<Star> stars;
    SlotArray<uint8_t> tags;
    bool failed = false;  // memory ran out; reading stopped there
};

// Everything one call of LoadGalaxy works with.
struct LoadState {
    Reader& reader;
    const char* fileName;
    Star* stars;
    uint8_t* tags;
    int32_t capacity;
    int32_t stride;
    std::FILE* out;
    std::FILE* err;
    int64_t room = 0;                  // records stars and tags hold; capacity unless growing
    GrowingSlots* growing = nullptr;   // set: stars and tags are its arrays, grown on demand
    std::vector<HeldReport>* held = nullptr;  // set: diagnostics are kept there, not printed
    int64_t line = 1;
    int64_t reported = 0;
    int64_t unreported = 0;
    int64_t passes = 0;
    int64_t slots = 0;
    int64_t strideCounter = 0;
    // The record being read.
    float coordinates[3] = {0.0f, 0.0f, 0.0f};
    int32_t tag = 0;
    int fieldCount = 0;
    int64_t fieldLine = 0;    // line of the record's latest field
    int64_t problemLine = 0;  // line of the record's first bad value, 0 while it is sound
    char problem[160] = "";
};

// Whether a file value, scaled, falls in a cell with a 32-bit key.
inline bool HasCellKey(float value) {
    return value < FileValueCeiling && value > FileValueFloor;  // false for NaN too
}

// Makes room for at least one more record in state.growing; false when memory ran out.
bool Grow(LoadState& state);

// Selects every stride-th sound record, starting with the first, and stores it if there is room.
// Both paths end a sound record here, the quick one once a record: so it is inline.
inline void StoreRecord(LoadState& state) {
    if (state.strideCounter >= state.stride) {
        if (state.slots < state.room || (state.slots < state.capacity && Grow(state))) {
            Star& star = state.stars[state.slots];
            star.x = static_cast<double>(state.coordinates[0]) * static_cast<double>(FileUnit);
            star.y = static_cast<double>(state.coordinates[1]) * static_cast<double>(FileUnit);
            star.z = static_cast<double>(state.coordinates[2]) * static_cast<double>(FileUnit);
            state.tags[state.slots] =
                static_cast<uint8_t>(static_cast<uint32_t>(state.tag) & 0xFFu);
        }
        ++state.slots;
        state.strideCounter = 0;
    }
    ++state.strideCounter;
}

// The steps of one load, for reading a file in parts (loader_split.cpp). ReadHeader is for the
// first part only; ReportEnd for the last.
bool ReadHeader(LoadState& state);
void ReadDataPart(LoadState& state);
void ReportEnd(LoadState& state);
void Report(LoadState& state, int64_t line, const char* what);
void FinishLoading(LoadState& state);
// Sets up a reader for stream, of which it reads at most `bytes` (-1: all).
void StartReader(Reader& reader, std::FILE* stream, int64_t bytes);

// The rest of the record assembly, in loader.cpp, fed field by field by either path.
void TakeCoordinate(LoadState& state, float value, const Excerpt& excerpt);
void TakeTag(LoadState& state, int64_t tag, const Excerpt& excerpt);

// The byte-by-byte field readers of loader_field.cpp. Each reads the field that starts with c up
// to the byte that ends it, which stays unread; false, with the field taken, if it is malformed.
bool ReadRealField(Reader& reader, int c, Excerpt& excerpt, float* value);
bool ReadIntegerField(Reader& reader, int c, Excerpt& excerpt, int64_t* value);

// The quick path of loader_quick.cpp. Each takes what it reads if it has the plain short form
// and gives false, with nothing taken, otherwise.
bool TakeQuickField(LoadState& state);
bool TakeQuickRecord(LoadState& state);
// Its digit arithmetic, for the test that holds it against plain arithmetic.
int LeadingDigits(uint64_t bytes);
uint64_t DigitsValue(uint64_t bytes, int count);
float QuotientToFloat(uint64_t digits, int fraction);

}  // namespace loader
