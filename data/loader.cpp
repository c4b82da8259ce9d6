// loader.cpp: reads a galaxy text file into star positions and tags, reporting damaged lines.
#include "data/loader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

constexpr int32_t HeaderLimit = 254;          // header characters kept; LF and NUL follow them
constexpr int64_t MaxReportedLines = 20;      // damaged lines described one by one
constexpr float FileValueCeiling = 21475.0f;  // file values at or above this have no cell key
constexpr float FileValueFloor = -21476.0f;   // nor have those at or below this
constexpr std::size_t KeptDigits = 800;    // significant digits kept, far more than a float needs
constexpr int64_t ExponentLimit = 100000;  // past this, any kept mantissa is 0 or infinite
constexpr int64_t PositionLimit = int64_t{1} << 60;  // saturation bound of digit counters
constexpr std::size_t ExcerptLimit = 24;  // characters of a bad field quoted in a diagnostic
constexpr std::size_t BlockSize = std::size_t{1} << 16;  // bytes read from the file at a time
constexpr std::size_t QuickFieldBytes = 24;    // bytes the quick path may look at, and more
constexpr std::size_t QuickRecordBytes = 128;  // bytes a quick record may span
constexpr const char* FieldNames[4] = {"x", "y", "z", "tag"};

bool IsLineEnd(int c) {
    return c == '\r' || c == '\n';
}
bool IsBlank(int c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}
bool IsDigit(int c) {
    return c >= '0' && c <= '9';
}
// Bytes that end a field: white space and '#'; the end of the file ends one too.
constexpr std::array<bool, 256> FieldEnders = [] {
    std::array<bool, 256> enders{};
    for (const char c : {' ', '\t', '\v', '\f', '\r', '\n', '#'}) {
        enders[static_cast<unsigned char>(c)] = true;
    }
    return enders;
}();
constexpr std::array<bool, 256> Blanks = [] {
    std::array<bool, 256> blanks{};
    for (const char c : {' ', '\t', '\v', '\f'}) {
        blanks[static_cast<unsigned char>(c)] = true;
    }
    return blanks;
}();
bool EndsField(int c) {
    return c == EOF || FieldEnders[static_cast<unsigned char>(c)];
}

// value * 10 + digit, held at PositionLimit once it gets there.
int64_t AppendDigit(int64_t value, int c) {
    return value >= PositionLimit / 10 ? PositionLimit : value * 10 + (c - '0');
}

// The file in large blocks: bytes [position, end) of `bytes` are read from the file but not
// yet taken. hitEnd is set, like a stream's end-of-file indicator, by a take that found nothing.
struct Reader {
    std::FILE* stream = nullptr;
    std::size_t position = 0;
    std::size_t end = 0;
    bool hitEnd = false;
    bool failed = false;  // a read failed; error holds its errno
    int error = 0;
    unsigned char bytes[BlockSize];
};

// Keeps the bytes not yet taken, moved to the front, and reads as many more as fit after them;
// false when none came.
bool Refill(Reader& reader) {
    const std::size_t kept = reader.end - reader.position;
    std::memmove(reader.bytes, reader.bytes + reader.position, kept);
    reader.position = 0;
    reader.end = kept;
    if (reader.failed) {
        return false;
    }
    const std::size_t got = std::fread(reader.bytes + kept, 1, BlockSize - kept, reader.stream);
    reader.end += got;
    if (got == 0 && std::ferror(reader.stream)) {
        reader.failed = true;
        reader.error = errno;
    }
    return got > 0;
}

int Next(Reader& reader) {
    if (reader.position == reader.end && !Refill(reader)) {
        reader.hitEnd = true;
        return EOF;
    }
    return reader.bytes[reader.position++];
}
// Gives back the byte just taken (never EOF).
void PutBack(Reader& reader, int) {
    --reader.position;
}

// The same two operations on a plain stream, for the public line readers.
int Next(std::FILE*& stream) {
    return getc_unlocked(stream);
}
void PutBack(std::FILE*& stream, int c) {
    std::ungetc(c, stream);
}

// After a CR, takes the LF of a CR LF pair so that the pair counts as one line end.
template <typename Source>
void TakeLineFeedAfterReturn(Source& source) {
    const int c = Next(source);
    if (c != '\n' && c != EOF) {
        PutBack(source, c);
    }
}

// Takes the rest of a line, its line end (CR, LF or CR LF) included; the characters before the
// line end go to keep(c). Returns what ended the line: CR, LF or EOF.
template <typename Source, typename Keep>
int TakeLine(Source& source, Keep keep) {
    int c = Next(source);
    while (c != EOF && !IsLineEnd(c)) {
        keep(c);
        c = Next(source);
    }
    if (c == '\r') {
        TakeLineFeedAfterReturn(source);
    }
    return c;
}

// The first characters of a field, quoted in diagnostics with unprintable bytes escaped.
struct Excerpt {
    char text[ExcerptLimit * 4 + 4];
    std::size_t length = 0;
    std::size_t characters = 0;
};

void AddToExcerpt(Excerpt& excerpt, int c) {
    if (excerpt.characters == ExcerptLimit) {
        std::memcpy(excerpt.text + excerpt.length, "...", 3);
        excerpt.length += 3;
    }
    if (excerpt.characters++ >= ExcerptLimit) {
        return;
    }
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
        excerpt.text[excerpt.length++] = static_cast<char>(c);
        return;
    }
    constexpr const char* HexDigits = "0123456789ABCDEF";
    const char escaped[4] = {'\\', 'x', HexDigits[(c >> 4) & 0xF], HexDigits[c & 0xF]};
    std::memcpy(excerpt.text + excerpt.length, escaped, sizeof escaped);
    excerpt.length += sizeof escaped;
}

// Streaming recogniser of the "%f" syntax: [sign] digits [. digits] [e [sign] digits], with at
// least one mantissa digit. Keeps the leading significant digits and whether any non-zero digit
// was dropped, which is enough to round correctly however long the number is.
struct RealScanner {
    char text[KeptDigits + 32];  // "0." and the kept digits; the exponent is added at the end
    std::size_t keptCount = 0;
    bool droppedNonZero = false;
    int64_t pointPosition = 0;  // value = 0.kept x 10^(pointPosition + exponent)
    int64_t exponent = 0;
    int64_t position = 0;
    bool negative = false;
    bool exponentNegative = false;
    bool anyDigit = false;
    bool inFraction = false;
    bool inExponent = false;
    bool anyExponentDigit = false;
    bool afterExponentMark = false;
};

void AddMantissaDigit(RealScanner& scan, int c) {
    scan.anyDigit = true;
    if (scan.keptCount == 0 && c == '0') {
        if (scan.inFraction && scan.pointPosition > -PositionLimit) {
            --scan.pointPosition;  // a leading zero after the point shifts the value down
        }
        return;
    }
    if (!scan.inFraction && scan.pointPosition < PositionLimit) {
        ++scan.pointPosition;
    }
    if (scan.keptCount < KeptDigits) {
        scan.text[2 + scan.keptCount++] = static_cast<char>(c);
    } else if (c != '0') {
        scan.droppedNonZero = true;
    }
}

// Takes one character of the field; false when it breaks the syntax.
bool StepReal(RealScanner& scan, int c) {
    const bool first = scan.position++ == 0;
    const bool afterMark = scan.afterExponentMark;
    scan.afterExponentMark = false;
    if (IsDigit(c) && scan.inExponent) {
        scan.exponent = AppendDigit(scan.exponent, c);
        scan.anyExponentDigit = true;
    } else if (IsDigit(c)) {
        AddMantissaDigit(scan, c);
    } else if ((c == '+' || c == '-') && (first || afterMark)) {
        (first ? scan.negative : scan.exponentNegative) = c == '-';
    } else if (c == '.' && !scan.inFraction && !scan.inExponent) {
        scan.inFraction = true;
    } else if ((c == 'e' || c == 'E') && scan.anyDigit && !scan.inExponent) {
        scan.inExponent = true;
        scan.afterExponentMark = true;
    } else {
        return false;
    }
    return true;
}

// The common short number without building text: a mantissa of at most 7 digits and a power
// of ten up to 10^10 are both exact floats, so one float multiplication or division rounds
// correctly. False when the number is outside that range.
bool ConvertShortReal(const RealScanner& scan, int64_t power, float* magnitude) {
    static constexpr float PowersOfTen[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                              1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    const int64_t scale = power - static_cast<int64_t>(scan.keptCount);
    if (scan.keptCount > 7 || scan.droppedNonZero || scale < -10 || scale > 10) {
        return false;
    }
    int32_t mantissa = 0;
    for (std::size_t digit = 0; digit < scan.keptCount; ++digit) {
        mantissa = mantissa * 10 + (scan.text[2 + digit] - '0');
    }
    const float exact = static_cast<float>(mantissa);
    *magnitude = scale < 0 ? exact / PowersOfTen[-scale] : exact * PowersOfTen[scale];
    return true;
}

// Any other number: rounds the text "0.<kept digits>e<power>", built in the scanner, with the
// library's correctly rounding conversion.
float ConvertLongReal(RealScanner& scan, int64_t power) {
    char* const text = scan.text;
    text[0] = '0';
    text[1] = '.';
    std::size_t length = 2 + scan.keptCount;
    if (scan.droppedNonZero) {
        text[length++] = '1';  // stands for the dropped digits: keeps ties from looking exact
    }
    text[length++] = 'e';
    length = static_cast<std::size_t>(
        std::to_chars(text + length, text + sizeof scan.text, power).ptr - text);
    float magnitude = 0.0f;
    if (std::from_chars(text, text + length, magnitude).ec == std::errc::result_out_of_range) {
        magnitude = power > 0 ? HUGE_VALF : 0.0f;  // 0.d...e(power) < 1 exactly when power <= 0
    }
    return magnitude;
}

// Rounds the scanned number straight to the nearest float; false when the syntax is incomplete.
bool FinishReal(RealScanner& scan, float* value) {
    if (!scan.anyDigit || (scan.inExponent && !scan.anyExponentDigit)) {
        return false;
    }
    float magnitude = 0.0f;
    if (scan.keptCount > 0) {
        const int64_t power = std::clamp<int64_t>(
            scan.pointPosition + (scan.exponentNegative ? -scan.exponent : scan.exponent),
            -ExponentLimit, ExponentLimit);
        if (!ConvertShortReal(scan, power, &magnitude)) {
            magnitude = ConvertLongReal(scan, power);
        }
    }
    *value = scan.negative ? -magnitude : magnitude;
    return true;
}

// Streaming recogniser of the "%d" syntax: [sign] digits.
struct IntegerScanner {
    int64_t magnitude = 0;
    int64_t position = 0;
    bool negative = false;
    bool anyDigit = false;
};

bool StepInteger(IntegerScanner& scan, int c) {
    const bool first = scan.position++ == 0;
    if (IsDigit(c)) {
        scan.magnitude = AppendDigit(scan.magnitude, c);
        scan.anyDigit = true;
        return true;
    }
    if ((c == '+' || c == '-') && first) {
        scan.negative = c == '-';
        return true;
    }
    return false;
}

bool Step(RealScanner& scan, int c) {
    return StepReal(scan, c);
}
bool Step(IntegerScanner& scan, int c) {
    return StepInteger(scan, c);
}

// Reads one field, from its first character up to the character that ends it, which stays in
// the stream. False when the field breaks its syntax; the whole field is consumed either way.
template <typename Scanner>
bool ReadField(Reader& reader, int c, Scanner& scan, Excerpt& excerpt) {
    bool wellFormed = true;
    while (!EndsField(c)) {
        if (excerpt.characters <= ExcerptLimit) {
            AddToExcerpt(excerpt, c);
        }
        wellFormed = wellFormed && Step(scan, c);
        c = Next(reader);
    }
    if (c != EOF) {
        PutBack(reader, c);
    }
    return wellFormed;
}

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

void Report(LoadState& state, int64_t line, const char* what) {
    if (state.reported >= MaxReportedLines) {
        ++state.unreported;
        return;
    }
    ++state.reported;
    std::fprintf(state.err, "%s:%lld: %s\n", state.fileName, static_cast<long long>(line), what);
}

// Abandons a partly read record, saying why.
void CutRecordShort(LoadState& state, const char* cause) {
    if (state.fieldCount > 0) {
        char what[64];
        std::snprintf(what, sizeof what, "record cut short by %s after its %s field", cause,
                      FieldNames[state.fieldCount - 1]);
        Report(state, state.fieldLine, what);
    }
    state.fieldCount = 0;
    state.problemLine = 0;
}

// Remembers the first value of the current record that keeps it from being stored.
void RejectValue(LoadState& state, const Excerpt& excerpt, const char* why) {
    if (state.problemLine == 0) {
        state.problemLine = state.line;
        std::snprintf(state.problem, sizeof state.problem, "%s value \"%.*s\" %s",
                      FieldNames[state.fieldCount], static_cast<int>(excerpt.length), excerpt.text,
                      why);
    }
}

// Selects every stride-th sound record, starting with the first, and stores it if there is room.
void StoreRecord(LoadState& state) {
    if (state.strideCounter >= state.stride) {
        if (state.slots < state.capacity) {
            Star& star = state.stars[state.slots];
            star.x = static_cast<double>(state.coordinates[0]) * static_cast<double>(100000.0f);
            star.y = static_cast<double>(state.coordinates[1]) * static_cast<double>(100000.0f);
            star.z = static_cast<double>(state.coordinates[2]) * static_cast<double>(100000.0f);
            state.tags[state.slots] =
                static_cast<uint8_t>(static_cast<uint32_t>(state.tag) & 0xFFu);
        }
        ++state.slots;
        state.strideCounter = 0;
    }
    ++state.strideCounter;
}

// Counts the field just taken; the fourth completes the record, stored if it is sound.
void EndField(LoadState& state) {
    if (++state.fieldCount < 4) {
        return;
    }
    ++state.passes;
    if (state.problemLine != 0) {
        Report(state, state.problemLine, state.problem);
    } else {
        StoreRecord(state);
    }
    state.fieldCount = 0;
    state.problemLine = 0;
}

bool HasCellKey(float value) {
    return value < FileValueCeiling && value > FileValueFloor;  // false for NaN too
}

// Keeps a coordinate; one that is infinite or has no cell key marks the record as unsound.
void TakeCoordinate(LoadState& state, float value, const Excerpt& excerpt) {
    if (!std::isfinite(value)) {
        RejectValue(state, excerpt, "is too large for a float");
    } else if (!HasCellKey(value)) {
        RejectValue(state, excerpt, "is outside the range -21476 to 21475 (exclusive)");
    }
    state.coordinates[state.fieldCount] = value;
    EndField(state);
}

// Keeps a tag; one outside 32 bits marks the record as unsound.
void TakeTag(LoadState& state, int64_t tag, const Excerpt& excerpt) {
    if (tag < INT32_MIN || tag > INT32_MAX) {
        RejectValue(state, excerpt, "does not fit in a 32-bit integer");
    } else {
        state.tag = static_cast<int32_t>(tag);
    }
    EndField(state);
}

// Reads the field that starts with c, byte by byte, with the exact rules; false if it is
// malformed.
bool ReadRecordField(LoadState& state, int c, Excerpt& excerpt) {
    if (state.fieldCount < 3) {
        RealScanner scan;
        float value = 0.0f;
        if (!ReadField(state.reader, c, scan, excerpt) || !FinishReal(scan, &value)) {
            return false;
        }
        TakeCoordinate(state, value, excerpt);
    } else {
        IntegerScanner scan;
        if (!ReadField(state.reader, c, scan, excerpt) || !scan.anyDigit) {
            return false;
        }
        TakeTag(state, scan.negative ? -scan.magnitude : scan.magnitude, excerpt);
    }
    return true;
}

// Bytes with bit 4 or a high-nibble bit set where `bytes` (one character per byte) holds
// something other than an ASCII digit; no carry crosses from one byte into the next.
uint64_t NonDigitBytes(uint64_t bytes) {
    const uint64_t x = bytes ^ 0x3030303030303030u;
    return (x & 0xF0F0F0F0F0F0F0F0u) |
           (((x & 0x0F0F0F0F0F0F0F0Fu) + 0x0606060606060606u) & 0x1010101010101010u);
}

// How many of the 8 characters in `bytes` (the first in the lowest byte) are digits before the
// first that is not (8 if all are).
int LeadingDigits(uint64_t bytes) {
    const uint64_t marks = NonDigitBytes(bytes);
    return marks == 0 ? 8 : std::countr_zero(marks) / 8;
}

// The value of the first `count` (0 to 8) characters in `bytes`, all digits, taken eight at
// once: each step adds neighbouring groups of digits into groups twice as wide.
uint64_t DigitsValue(uint64_t bytes, int count) {
    if (count == 0) {
        return 0;
    }
    bytes = (bytes << (8 * (8 - count))) & 0x0F0F0F0F0F0F0F0Fu;  // leading zeros fill in
    bytes = (bytes * 2561) >> 8;
    bytes = ((bytes & 0x00FF00FF00FF00FFu) * 6553601) >> 16;
    return ((bytes & 0x0000FFFF0000FFFFu) * 42949672960001u) >> 32;
}

// digits / 10^fraction (digits below 2^24, fraction 0 to 7) rounded once to float, as the exact
// float division gives it, mostly without dividing: the double product q = digits * RN(10^-f)
// is within 2.0000001 double ulps of the true quotient, so unless q lies within 3 ulps of a
// midpoint between two floats (low 29 bits near 1 << 28), both round to the same float.
float QuotientToFloat(uint64_t digits, int64_t fraction) {
    static constexpr float PowersOfTen[8] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f};
    static constexpr double Reciprocals[8] = {1e0, 1e-1, 1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7};
    const double q = static_cast<double>(digits) * Reciprocals[fraction];
    const uint64_t below = std::bit_cast<uint64_t>(q) & ((uint64_t{1} << 29) - 1);
    if (below - ((uint64_t{1} << 28) - 3) < 6) {
        return static_cast<float>(digits) / PowersOfTen[fraction];
    }
    return static_cast<float>(q);
}

// The plain short field of nearly every file, read straight from the block: [sign] digits
// [. digits], at most 7 digits in all, within the 8 bytes after the sign (and a field end
// right after them). For x, y and z the value is below 10^7, so that digits / 10^fraction has
// exact operands and rounds correctly in one step, as in ConvertShortReal. text must have
// QuickFieldBytes readable bytes. Returns the length of the field, or 0 when it is anything
// else, which the exact path then reads.
[[gnu::always_inline]] inline std::size_t ScanQuickField(const unsigned char* text, bool real,
                                                         float* value, int64_t* integer) {
    if constexpr (std::endian::native != std::endian::little) {
        return 0;  // the digit arithmetic takes the first character as the lowest byte
    }
    if (!real && IsDigit(text[0]) && FieldEnders[text[1]]) {
        *integer = text[0] - '0';  // the one-digit tag of most files
        return 1;
    }
    const bool negative = *text == '-';
    const unsigned char* const p = text + (*text == '-' || *text == '+' ? 1 : 0);
    uint64_t bytes = 0;
    std::memcpy(&bytes, p, sizeof bytes);
    const int whole = LeadingDigits(bytes);
    int count = whole;  // digits in all
    int fraction = 0;
    const unsigned char* end = p + whole;
    if (real && whole < 8 && p[whole] == '.') {
        // Drops the point: the bytes after it move down one place, so that the digits on
        // both sides form one run (ending at the latest at the zero byte shifted in on top).
        const uint64_t low = (uint64_t{1} << (8 * whole)) - 1;
        bytes = (bytes & low) | ((bytes >> 8) & ~low);
        count = LeadingDigits(bytes);
        fraction = count - whole;
        end = p + count + 1;
    }
    const uint64_t digits = DigitsValue(bytes, count);
    if (count == 0 || count == 8 || !FieldEnders[*end] ||
        digits >= (real ? 10000000u : 1000000000u)) {
        return 0;
    }
    if (real) {
        const float magnitude = QuotientToFloat(digits, fraction);
        *value = negative ? -magnitude : magnitude;
    } else {
        *integer = negative ? -static_cast<int64_t>(digits) : static_cast<int64_t>(digits);
    }
    return static_cast<std::size_t>(end - text);
}

const Excerpt NoExcerpt{};  // for quick tags, which are never rejected

// The excerpt of a quick field, needed only when its value is rejected.
Excerpt QuickExcerpt(float value, const unsigned char* text, std::size_t length) {
    Excerpt excerpt;
    if (!HasCellKey(value)) {
        for (std::size_t at = 0; at < length && excerpt.characters <= ExcerptLimit; ++at) {
            AddToExcerpt(excerpt, text[at]);
        }
    }
    return excerpt;
}

// True when at least `count` unread bytes are buffered, refilling the buffer once if not.
bool HasBytesAhead(Reader& reader, std::size_t count) {
    if (reader.end - reader.position < count) {
        Refill(reader);
    }
    return reader.end - reader.position >= count;
}

// Takes the next field by the quick path if it has the plain short form; false, with nothing
// taken, otherwise. The last few bytes of a file always take the exact path.
bool TakeQuickField(LoadState& state) {
    Reader& reader = state.reader;
    if (!HasBytesAhead(reader, QuickFieldBytes)) {
        return false;
    }
    const unsigned char* const text = reader.bytes + reader.position;
    const bool real = state.fieldCount < 3;
    float value = 0.0f;
    int64_t integer = 0;
    const std::size_t length = ScanQuickField(text, real, &value, &integer);
    if (length == 0) {
        return false;
    }
    reader.position += length;
    if (real) {
        TakeCoordinate(state, value, QuickExcerpt(value, text, length));
    } else {
        TakeTag(state, integer, NoExcerpt);
    }
    return true;
}

// Takes a whole record of four plain short fields apart by blanks, when the next bytes hold
// one; false, with nothing taken, otherwise. Gives what taking the fields one by one gives,
// without a trip through the separator loop for each.
bool TakeQuickRecord(LoadState& state) {
    Reader& reader = state.reader;
    if (!HasBytesAhead(reader, QuickRecordBytes)) {
        return false;
    }
    const unsigned char* const last = reader.bytes + reader.end;
    const unsigned char* starts[4];
    std::size_t lengths[4];
    float values[3];
    int64_t tag = 0;
    const unsigned char* p = reader.bytes + reader.position;
    // Scans field `field` at p (after the blanks before it); false if it is not a quick one.
    const auto scan = [&](std::size_t field, bool real, float* value) {
        while (field > 0 && p != last && Blanks[*p]) {
            ++p;
        }
        starts[field] = p;
        lengths[field] = last - p < static_cast<std::ptrdiff_t>(QuickFieldBytes)
                             ? 0
                             : ScanQuickField(p, real, value, &tag);
        p += lengths[field];
        return lengths[field] != 0;
    };
    if (!scan(0, true, &values[0]) || !scan(1, true, &values[1]) || !scan(2, true, &values[2]) ||
        !scan(3, false, nullptr)) {
        return false;
    }
    reader.position = static_cast<std::size_t>(p - reader.bytes);
    state.fieldLine = state.line;
    if (HasCellKey(values[0]) && HasCellKey(values[1]) && HasCellKey(values[2])) {
        // A sound record, completed as the fourth EndField would.
        std::copy(values, values + 3, state.coordinates);
        state.tag = static_cast<int32_t>(tag);
        ++state.passes;
        StoreRecord(state);
        return true;
    }
    for (std::size_t field = 0; field < 3; ++field) {
        TakeCoordinate(state, values[field],
                       QuickExcerpt(values[field], starts[field], lengths[field]));
    }
    TakeTag(state, tag, NoExcerpt);
    return true;
}

void ReportMalformedField(LoadState& state, const Excerpt& excerpt) {
    char what[160];
    std::snprintf(what, sizeof what, "%s field \"%.*s\" is not %s; line skipped",
                  FieldNames[state.fieldCount], static_cast<int>(excerpt.length), excerpt.text,
                  state.fieldCount < 3 ? "a decimal number" : "a decimal integer");
    Report(state, state.line, what);
    state.fieldCount = 0;
    state.problemLine = 0;
}

// Discards the rest of a damaged line, its line end included.
void SkipRestOfLine(LoadState& state) {
    if (TakeLine(state.reader, [](int) {}) != EOF) {
        ++state.line;
    }
}

// Handles the field that starts at the next byte: a malformed one costs the rest of its line.
void HandleField(LoadState& state) {
    state.fieldLine = state.line;
    if (LoaderQuickPath && TakeQuickField(state)) {
        return;
    }
    Excerpt excerpt;
    if (!ReadRecordField(state, Next(state.reader), excerpt)) {
        ReportMalformedField(state, excerpt);
        SkipRestOfLine(state);
    }
}

// Reads a comment; false when it ran into the end of the file or a read error.
bool ReadComment(LoadState& state) {
    CutRecordShort(state, "a comment");
    TakeLine(state.reader, [](int) {});
    std::fputc('.', state.out);
    if (state.reader.hitEnd) {
        return false;
    }
    ++state.line;
    return true;
}

void ReportEnd(LoadState& state) {
    if (state.reader.failed) {
        std::fprintf(state.err, "%s:%lld: read error: %s\n", state.fileName,
                     static_cast<long long>(state.line), std::strerror(state.reader.error));
    } else {
        CutRecordShort(state, "the end of the file");
    }
}

// Skips a UTF-8 byte-order mark after its first byte; false if the bytes are not the mark,
// in which case the first byte that differs is given back.
bool SkipByteOrderMark(Reader& reader) {
    for (const int expected : {0xBB, 0xBF}) {
        const int c = Next(reader);
        if (c != expected) {
            if (c != EOF) {
                PutBack(reader, c);
            }
            return false;
        }
    }
    return true;
}

// Reads the optional byte-order mark and the header line; false when nothing follows them.
bool ReadHeader(LoadState& state) {
    Reader& reader = state.reader;
    int c = Next(reader);
    if (c == 0xEF && !SkipByteOrderMark(reader)) {
        Report(state, state.line, "unreadable bytes at the start of the file; line skipped");
        SkipRestOfLine(state);
        return !reader.hitEnd;
    }
    if (c == 0xEF) {
        c = Next(reader);
    }
    if (c == '#') {
        char header[HeaderLimit + 2];
        int32_t count = 0;
        TakeLine(reader, [&](int k) {
            if (count < HeaderLimit) {
                header[count++] = static_cast<char>(k);
            }
        });
        header[count] = '\n';
        header[count + 1] = '\0';
        std::fputs(header, state.out);  // up to a NUL byte, as printf("%s") would
        ++state.line;
    } else if (c != EOF) {
        PutBack(reader, c);  // not a header: the first record starts here
    }
    return !reader.hitEnd;
}

// The record loop: separators, comments and fields up to the end of the file.
void ReadDataPart(LoadState& state) {
    Reader& reader = state.reader;
    for (;;) {
        const int c = Next(reader);
        if (c == EOF) {
            return;
        }
        if (IsLineEnd(c)) {
            if (c == '\r') {
                TakeLineFeedAfterReturn(reader);
            }
            ++state.line;
        } else if (c == '#') {
            if (!ReadComment(state)) {
                return;
            }
        } else if (!IsBlank(c)) {
            PutBack(reader, c);
            if (!LoaderQuickPath || state.fieldCount != 0 || !TakeQuickRecord(state)) {
                HandleField(state);
            }
        }
    }
}

// Summarises what was not reported line by line and applies the capacity rule.
void FinishLoading(LoadState& state) {
    if (state.unreported > 0) {
        std::fprintf(state.err, "%s: %lld more damaged lines not shown\n", state.fileName,
                     static_cast<long long>(state.unreported));
    }
    if (state.capacity >= 1 && state.slots >= state.capacity) {
        // The last slot goes back to the origin, so capacity - 1 records stay.
        state.stars[state.capacity - 1] = Star{0.0, 0.0, 0.0};
        const int64_t dropped = state.slots - (state.capacity - 1);
        std::fprintf(state.err, "%s: %lld record%s not stored: %d slots hold only %d records\n",
                     state.fileName, static_cast<long long>(dropped), dropped == 1 ? "" : "s",
                     state.capacity, state.capacity - 1);
    }
}

}  // namespace

bool LoaderQuickPath = true;

void ReadHeaderLine(std::FILE* stream, char* buffer, int32_t limit) {
    int32_t count = 0;
    TakeLine(stream, [&](int c) {
        if (count < limit) {
            buffer[count++] = static_cast<char>(c);
        }
    });
    buffer[count] = '\n';
    buffer[count + 1] = '\0';
}

void SkipComment(std::FILE* stream) {
    TakeLine(stream, [](int) {});
}

int32_t LoadGalaxyFromStream(Star* stars, uint8_t* tags, std::FILE* stream, const char* fileName,
                             int32_t capacity, int32_t stride, std::FILE* out, std::FILE* err) {
    static Reader reader;  // 64 KiB, so not on the stack; one load at a time
    reader.stream = stream;
    reader.position = reader.end = 0;
    reader.hitEnd = reader.failed = false;
    LoadState state{reader, fileName, stars, tags, capacity, stride, out, err};
    state.strideCounter = stride;  // so that the first record is selected
    if (ReadHeader(state)) {
        ReadDataPart(state);
    }
    ReportEnd(state);
    FinishLoading(state);
    std::fflush(out);
    return static_cast<int32_t>(std::min<int64_t>(state.passes, INT32_MAX));
}

int32_t LoadGalaxy(Star* stars, uint8_t* tags, const char* fileName, int32_t capacity,
                   int32_t stride) {
    std::FILE* stream = std::fopen(fileName, "rb");
    if (stream == nullptr) {
        std::fprintf(stderr, "%s: cannot open: %s\n", fileName, std::strerror(errno));
        return 0;
    }
    std::setvbuf(stream, nullptr, _IONBF, 0);  // the loader reads in blocks of its own
    const int32_t passes =
        LoadGalaxyFromStream(stars, tags, stream, fileName, capacity, stride, stdout, stderr);
    std::fclose(stream);
    return passes;
}
