// loader.cpp: reads a galaxy text file into star positions and tags, reporting damaged lines.
#include "data/loader.h"

#include <algorithm>
#include <array>
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
constexpr std::size_t StreamBufferSize = std::size_t{1} << 16;
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
bool EndsField(int c) {
    return c == EOF || FieldEnders[static_cast<unsigned char>(c)];
}

// value * 10 + digit, held at PositionLimit once it gets there.
int64_t AppendDigit(int64_t value, int c) {
    return value >= PositionLimit / 10 ? PositionLimit : value * 10 + (c - '0');
}

// After a CR, takes the LF of a CR LF pair so that the pair counts as one line end.
void TakeLineFeedAfterReturn(std::FILE* stream) {
    const int c = getc_unlocked(stream);
    if (c != '\n' && c != EOF) {
        std::ungetc(c, stream);
    }
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
bool ReadField(std::FILE* stream, int c, Scanner& scan, Excerpt& excerpt) {
    bool wellFormed = true;
    while (!EndsField(c)) {
        if (excerpt.characters <= ExcerptLimit) {
            AddToExcerpt(excerpt, c);
        }
        wellFormed = wellFormed && Step(scan, c);
        c = getc_unlocked(stream);
    }
    if (c != EOF) {
        std::ungetc(c, stream);
    }
    return wellFormed;
}

// Everything one call of LoadGalaxy works with.
struct LoadState {
    std::FILE* stream;
    const char* fileName;
    Star* stars;
    uint8_t* tags;
    int32_t capacity;
    int32_t stride;
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
    std::fprintf(stderr, "%s:%lld: %s\n", state.fileName, static_cast<long long>(line), what);
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

void CompleteRecord(LoadState& state) {
    ++state.passes;
    if (state.problemLine != 0) {
        Report(state, state.problemLine, state.problem);
    } else {
        StoreRecord(state);
    }
    state.fieldCount = 0;
    state.problemLine = 0;
}

// Reads the field that starts with c into the current record; false if the field is malformed.
bool ReadRecordField(LoadState& state, int c, Excerpt& excerpt) {
    state.fieldLine = state.line;
    if (state.fieldCount < 3) {
        RealScanner scan;
        float value = 0.0f;
        if (!ReadField(state.stream, c, scan, excerpt) || !FinishReal(scan, &value)) {
            return false;
        }
        if (!std::isfinite(value)) {
            RejectValue(state, excerpt, "is too large for a float");
        } else if (value >= FileValueCeiling || value <= FileValueFloor) {
            RejectValue(state, excerpt, "is outside the range -21476 to 21475 (exclusive)");
        }
        state.coordinates[state.fieldCount] = value;
    } else {
        IntegerScanner scan;
        if (!ReadField(state.stream, c, scan, excerpt) || !scan.anyDigit) {
            return false;
        }
        const int64_t tag = scan.negative ? -scan.magnitude : scan.magnitude;
        if (tag < INT32_MIN || tag > INT32_MAX) {
            RejectValue(state, excerpt, "does not fit in a 32-bit integer");
        } else {
            state.tag = static_cast<int32_t>(tag);
        }
    }
    if (++state.fieldCount == 4) {
        CompleteRecord(state);
    }
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
    int c = getc_unlocked(state.stream);
    while (c != EOF && !IsLineEnd(c)) {
        c = getc_unlocked(state.stream);
    }
    if (c == '\r') {
        TakeLineFeedAfterReturn(state.stream);
    }
    if (c != EOF) {
        ++state.line;
    }
}

// Handles a field that starts with c: a malformed one costs the rest of its line.
void HandleField(LoadState& state, int c) {
    Excerpt excerpt;
    if (!ReadRecordField(state, c, excerpt)) {
        ReportMalformedField(state, excerpt);
        SkipRestOfLine(state);
    }
}

// Reads a comment; false when it ran into the end of the file or a read error.
bool ReadComment(LoadState& state) {
    CutRecordShort(state, "a comment");
    SkipComment(state.stream);
    std::fputc('.', stdout);
    if (std::feof(state.stream) || std::ferror(state.stream)) {
        return false;
    }
    ++state.line;
    return true;
}

void ReportEnd(LoadState& state) {
    if (std::ferror(state.stream)) {
        std::fprintf(stderr, "%s:%lld: read error: %s\n", state.fileName,
                     static_cast<long long>(state.line), std::strerror(errno));
    } else {
        CutRecordShort(state, "the end of the file");
    }
}

// Skips a UTF-8 byte-order mark after its first byte; false if the bytes are not the mark,
// in which case the first byte that differs is back in the stream.
bool SkipByteOrderMark(std::FILE* stream) {
    for (const int expected : {0xBB, 0xBF}) {
        const int c = getc_unlocked(stream);
        if (c != expected) {
            if (c != EOF) {
                std::ungetc(c, stream);
            }
            return false;
        }
    }
    return true;
}

// Reads the optional byte-order mark and the header line; false when nothing follows them.
bool ReadHeader(LoadState& state) {
    int c = getc_unlocked(state.stream);
    if (c == 0xEF && !SkipByteOrderMark(state.stream)) {
        Report(state, state.line, "unreadable bytes at the start of the file; line skipped");
        SkipRestOfLine(state);
        return !std::feof(state.stream) && !std::ferror(state.stream);
    }
    if (c == 0xEF) {
        c = getc_unlocked(state.stream);
    }
    if (c == '#') {
        char header[HeaderLimit + 2];
        ReadHeaderLine(state.stream, header, HeaderLimit);
        std::printf("%s", header);
        ++state.line;
    } else if (c != EOF) {
        std::ungetc(c, state.stream);  // not a header: the first record starts here
    }
    return !std::feof(state.stream) && !std::ferror(state.stream);
}

// The record loop: separators, comments and fields up to the end of the file.
void ReadDataPart(LoadState& state) {
    for (;;) {
        const int c = getc_unlocked(state.stream);
        if (c == EOF) {
            return;
        }
        if (IsLineEnd(c)) {
            if (c == '\r') {
                TakeLineFeedAfterReturn(state.stream);
            }
            ++state.line;
        } else if (c == '#') {
            if (!ReadComment(state)) {
                return;
            }
        } else if (!IsBlank(c)) {
            HandleField(state, c);
        }
    }
}

// Summarises what was not reported line by line and applies the capacity rule.
void FinishLoading(LoadState& state) {
    if (state.unreported > 0) {
        std::fprintf(stderr, "%s: %lld more damaged lines not shown\n", state.fileName,
                     static_cast<long long>(state.unreported));
    }
    if (state.capacity >= 1 && state.slots >= state.capacity) {
        // The last slot goes back to the origin, so capacity - 1 records stay.
        state.stars[state.capacity - 1] = Star{0.0, 0.0, 0.0};
        const int64_t dropped = state.slots - (state.capacity - 1);
        std::fprintf(stderr, "%s: %lld record%s not stored: %d slots hold only %d records\n",
                     state.fileName, static_cast<long long>(dropped), dropped == 1 ? "" : "s",
                     state.capacity, state.capacity - 1);
    }
}

}  // namespace

void ReadHeaderLine(std::FILE* stream, char* buffer, int32_t limit) {
    int32_t count = 0;
    int c = getc_unlocked(stream);
    while (c != EOF && !IsLineEnd(c)) {
        if (count < limit) {
            buffer[count++] = static_cast<char>(c);
        }
        c = getc_unlocked(stream);
    }
    if (c == '\r') {
        TakeLineFeedAfterReturn(stream);
    }
    buffer[count] = '\n';
    buffer[count + 1] = '\0';
}

void SkipComment(std::FILE* stream) {
    int c = getc_unlocked(stream);
    while (c != EOF && !IsLineEnd(c)) {
        c = getc_unlocked(stream);
    }
    if (c == '\r') {
        TakeLineFeedAfterReturn(stream);
    }
}

int32_t LoadGalaxy(Star* stars, uint8_t* tags, const char* fileName, int32_t capacity,
                   int32_t stride) {
    std::FILE* stream = std::fopen(fileName, "rb");
    if (stream == nullptr) {
        std::fprintf(stderr, "%s: cannot open: %s\n", fileName, std::strerror(errno));
        return 0;
    }
    std::setvbuf(stream, nullptr, _IOFBF, StreamBufferSize);
    LoadState state{stream, fileName, stars, tags, capacity, stride};
    state.strideCounter = stride;  // so that the first record is selected
    if (ReadHeader(state)) {
        ReadDataPart(state);
    }
    ReportEnd(state);
    FinishLoading(state);
    std::fclose(stream);
    std::fflush(stdout);
    return static_cast<int32_t>(std::min<int64_t>(state.passes, INT32_MAX));
}
