// loader.cpp: reads a galaxy text file into star positions and tags, reporting damaged lines.
// The plain form, byte by byte: lines, the header and records here, one field at a time in
// loader_field.cpp. loader_quick.cpp reads plain short fields faster, with the same results.
#include "data/loader.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

#include <poll.h>
#include <sys/stat.h>

#include "data/loader_internal.h"
#include "data/startup.h"

bool LoaderQuickPath = true;

namespace loader {

namespace {

constexpr int WaitMilliseconds = 50;  // longest wait for a pipe before looking for a stop again

// Waits until the stream has bytes (or its end) to read, looking for a stop request meanwhile;
// false once one came. A file never makes a reader wait; a pipe or terminal can, for ever.
bool AwaitBytes(Reader& reader) {
    pollfd wanted{fileno(reader.stream), POLLIN, 0};
    while (KeepStarting()) {
        if (!reader.waits) {
            return true;
        }
        const int ready = poll(&wanted, 1, WaitMilliseconds);
        if (ready > 0 || (ready < 0 && errno != EINTR)) {
            return true;  // readable, at its end, or failed: the read will tell which
        }
        // Nothing yet, or a signal came: look for a stop request, then wait again.
    }
    return false;
}

}  // namespace

void StartReader(Reader& reader, std::FILE* stream, int64_t bytes) {
    reader.stream = stream;
    reader.position = reader.end = 0;
    reader.remaining = bytes;
    // A stream with no descriptor (one in memory) never blocks either.
    struct stat status {};
    reader.waits = fstat(fileno(stream), &status) == 0 && !S_ISREG(status.st_mode) &&
                   !S_ISDIR(status.st_mode);
    reader.hitEnd = reader.failed = reader.stopped = false;
    reader.error = 0;
}

bool Refill(Reader& reader) {
    const std::size_t kept = reader.end - reader.position;
    std::memmove(reader.bytes, reader.bytes + reader.position, kept);
    reader.position = 0;
    reader.end = kept;
    if (reader.failed || reader.stopped || reader.remaining == 0) {
        return false;
    }
    if (!AwaitBytes(reader)) {
        reader.stopped = true;
        return false;
    }
    std::size_t wanted = BlockSize - kept;
    if (reader.remaining > 0) {
        wanted = std::min(wanted, static_cast<std::size_t>(reader.remaining));
    }
    const std::size_t got = std::fread(reader.bytes + kept, 1, wanted, reader.stream);
    reader.end += got;
    if (reader.remaining > 0) {
        reader.remaining -= static_cast<int64_t>(got);
    }
    AddBytesRead(static_cast<int64_t>(got));
    if (got == 0 && std::ferror(reader.stream)) {
        reader.failed = true;
        reader.error = errno;
    }
    return got > 0;
}

bool Grow(LoadState& state) {
    GrowingSlots* growing = state.growing;
    if (growing == nullptr || growing->failed) {
        return false;
    }
    const int64_t room =
        std::min<int64_t>(state.capacity, std::max<int64_t>(65536, 2 * state.room));
    if (!growing->stars.Resize(static_cast<std::size_t>(room)) ||
        !growing->tags.Resize(static_cast<std::size_t>(room))) {
        growing->failed = true;
        state.reader.stopped = true;  // nothing more can be kept: read no further
        return false;
    }
    state.stars = growing->stars.data();
    state.tags = growing->tags.data();
    state.room = room;
    return true;
}

void Report(LoadState& state, int64_t line, const char* what) {
    if (state.reported >= MaxReportedLines) {
        ++state.unreported;
        return;
    }
    ++state.reported;
    if (state.held != nullptr) {
        state.held->push_back(HeldReport{line, what});
    } else {
        std::fprintf(state.err, "%s:%lld: %s\n", state.fileName, static_cast<long long>(line),
                     what);
    }
}

namespace {

constexpr int32_t HeaderLimit = 254;      // header characters kept; LF and NUL follow them
constexpr const char* FieldNames[4] = {"x", "y", "z", "tag"};

bool IsLineEnd(int c) {
    return c == '\r' || c == '\n';
}
bool IsBlank(int c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// After a CR, takes the LF of a CR LF pair so that the pair counts as one line end.
void TakeLineFeedAfterReturn(Reader& reader) {
    const int c = Next(reader);
    if (c != '\n' && c != EOF) {
        PutBack(reader);
    }
}

// Takes the rest of a line, its line end (CR, LF or CR LF) included; the characters before the
// line end go to keep(c). Returns what ended the line: CR, LF or EOF. The only line reader.
template <typename Keep>
int TakeLine(Reader& reader, Keep keep) {
    int c = Next(reader);
    while (c != EOF && !IsLineEnd(c)) {
        keep(c);
        c = Next(reader);
    }
    if (c == '\r') {
        TakeLineFeedAfterReturn(reader);
    }
    return c;
}

// Reads the rest of a header line (without its leading '#'), keeps its first limit characters
// in buffer and ends them with a line feed and a NUL; buffer must hold limit + 2 bytes.
void ReadHeaderLine(Reader& reader, char* buffer, int32_t limit) {
    int32_t count = 0;
    TakeLine(reader, [&](int c) {
        if (count < limit) {
            buffer[count++] = static_cast<char>(c);
        }
    });
    buffer[count] = '\n';
    buffer[count + 1] = '\0';
}

// Discards the rest of a comment or damaged line, its line end included; false when the file
// ended before a line end.
bool SkipLine(Reader& reader) {
    return TakeLine(reader, [](int) {}) != EOF;
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

}  // namespace

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

namespace {

// Reads the field that starts with c, byte by byte, with the exact rules; false if it is
// malformed.
bool ReadRecordField(LoadState& state, int c, Excerpt& excerpt) {
    if (state.fieldCount < 3) {
        float value = 0.0f;
        if (!ReadRealField(state.reader, c, excerpt, &value)) {
            return false;
        }
        TakeCoordinate(state, value, excerpt);
    } else {
        int64_t tag = 0;
        if (!ReadIntegerField(state.reader, c, excerpt, &tag)) {
            return false;
        }
        TakeTag(state, tag, excerpt);
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
    if (SkipLine(state.reader)) {
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
    SkipLine(state.reader);
    std::fputc('.', state.out);
    if (state.reader.hitEnd) {
        return false;
    }
    ++state.line;
    return true;
}

}  // namespace

void ReportEnd(LoadState& state) {
    if (state.reader.failed) {
        // Always told, however many damaged lines came before.
        const std::string what = std::string("read error: ") + std::strerror(state.reader.error);
        if (state.held != nullptr) {
            state.held->push_back(HeldReport{state.line, what, true});
        } else {
            std::fprintf(state.err, "%s:%lld: %s\n", state.fileName,
                         static_cast<long long>(state.line), what.c_str());
        }
    } else {
        CutRecordShort(state, "the end of the file");
    }
}

namespace {

// Skips a UTF-8 byte-order mark after its first byte; false if the bytes are not the mark,
// in which case the first byte that differs is given back.
bool SkipByteOrderMark(Reader& reader) {
    for (const int expected : {0xBB, 0xBF}) {
        const int c = Next(reader);
        if (c != expected) {
            if (c != EOF) {
                PutBack(reader);
            }
            return false;
        }
    }
    return true;
}

}  // namespace

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
        ReadHeaderLine(reader, header, HeaderLimit);
        std::fputs(header, state.out);  // up to a NUL byte, as printf("%s") would
        ++state.line;
    } else if (c != EOF) {
        PutBack(reader);  // not a header: the first record starts here
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
            PutBack(reader);
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

}  // namespace loader

int32_t LoadGalaxyFromStream(Star* stars, uint8_t* tags, std::FILE* stream, const char* fileName,
                             int32_t capacity, int32_t stride, std::FILE* out, std::FILE* err) {
    static loader::Reader reader;  // 256 KiB, so not on the stack; one load at a time
    loader::StartReader(reader, stream, -1);
    loader::LoadState state{reader, fileName, stars, tags, capacity, stride, out, err};
    state.room = capacity;
    state.strideCounter = stride;  // so that the first record is selected
    if (loader::ReadHeader(state)) {
        loader::ReadDataPart(state);
    }
    if (!reader.stopped) {
        loader::ReportEnd(state);
        loader::FinishLoading(state);
    }
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
