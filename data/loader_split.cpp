// loader_split.cpp: LoadStars, the loader run over a large file in parts at once.
//
// A file is cut only just after a line feed, where reading is always at the start of a line:
// every field, comment and damaged line has ended, whichever way it was being read. What a part
// cannot know is the state the parts before it leave: line numbers, how many lines were told,
// how many records came before, and, rarely, a record whose fields go on across the cut. So each
// part is read as if it began a file of its own, and the parts are then joined in order: line
// numbers shifted, the first damaged lines told and the rest counted, records placed one after
// the other. A part that follows a record left open is read again, on from that record, which is
// exactly what one pass would have done.
//
// Memory: each part keeps up to the capacity's records, since it cannot know how many the parts
// before it keep. With every record kept (--capacity fit) the parts together hold the file's
// records once; with a capacity below the file's records, up to one capacity a part.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "data/loader.h"
#include "data/loader_internal.h"
#include "data/parallel.h"
#include "data/startup.h"

namespace {

using loader::GrowingSlots;
using loader::HeldReport;
using loader::LoadState;
using loader::Reader;

// Bytes a part is given at least: below this, waking a thread and opening the file again cost
// more than they save. A 300 kB file of 17225 stars loads in 0.45 ms in two parts, 0.78 in one.
constexpr int64_t MinPartBytes = int64_t{128} << 10;

// Text a part writes to standard output (the header, one dot per comment), kept until its turn.
struct HeldText {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* stream = nullptr;

    bool Open() {
        Close();
        stream = open_memstream(&text, &size);
        return stream != nullptr;
    }
    void Close() {
        if (stream != nullptr) {
            std::fclose(stream);
            stream = nullptr;
        }
        std::free(text);
        text = nullptr;
        size = 0;
    }
    ~HeldText() { Close(); }
};

// Where a load's records and text go.
struct Target {
    const char* fileName;
    int32_t limit;  // records a part keeps at most
    std::FILE* out;
    std::FILE* err;
};

// Opens the file for the loader, which reads in blocks of its own: no stdio buffer.
std::FILE* OpenUnbuffered(const char* fileName) {
    std::FILE* stream = std::fopen(fileName, "rb");
    if (stream != nullptr) {
        std::setvbuf(stream, nullptr, _IONBF, 0);
    }
    return stream;
}

// One part of the file: bytes [begin, end), read into its own growing arrays.
struct Part {
    int64_t begin = 0;
    int64_t end = -1;       // -1: to the end of the stream
    int64_t firstLine = 1;  // the number the part's line counting starts from
    std::FILE* stream = nullptr;
    std::unique_ptr<Reader> reader = std::make_unique<Reader>();
    GrowingSlots slots;
    std::vector<HeldReport> held;
    HeldText out;
    std::unique_ptr<LoadState> state;

    Part() = default;
    Part(const Part&) = delete;
    Part& operator=(const Part&) = delete;
    ~Part() {
        if (stream != nullptr) {
            std::fclose(stream);
        }
    }
};
using Parts = std::vector<std::unique_ptr<Part>>;

// Readies a part's reader and state, with the record limit `limit`; false if its stream cannot
// be positioned or its output held. Parts after the first hold back what they would write.
bool StartPart(Part& part, const Target& target, bool alone) {
    // A pipe cannot seek; it is always read whole, from where it stands.
    if (part.begin != 0 && fseeko(part.stream, part.begin, SEEK_SET) != 0) {
        return false;
    }
    loader::StartReader(*part.reader, part.stream, part.end < 0 ? -1 : part.end - part.begin);
    std::FILE* out = target.out;
    if (!alone) {
        if (!part.out.Open()) {
            return false;
        }
        out = part.out.stream;
    }
    part.state = std::make_unique<LoadState>(LoadState{*part.reader, target.fileName, nullptr,
                                                       nullptr, target.limit, 1, out, target.err});
    part.state->growing = &part.slots;
    part.state->held = alone ? nullptr : &part.held;
    part.state->strideCounter = 1;
    return true;
}

void ReadPart(Part& part, bool first) {
    if (!first || loader::ReadHeader(*part.state)) {
        loader::ReadDataPart(*part.state);
    }
}

// The offset of the first byte after the first line feed at or after `from`, or the file's size.
int64_t CutAfterLineFeed(std::FILE* stream, int64_t from, int64_t size) {
    char block[4096];
    if (fseeko(stream, from, SEEK_SET) != 0) {
        return size;
    }
    for (int64_t at = from; at < size;) {
        const std::size_t got = std::fread(block, 1, sizeof block, stream);
        if (got == 0) {
            break;
        }
        if (const void* feed = std::memchr(block, '\n', got); feed != nullptr) {
            return at + (static_cast<const char*>(feed) - block) + 1;
        }
        at += static_cast<int64_t>(got);
    }
    return size;
}

// Where to cut a regular file of `size` bytes into `count` parts that begin at line starts.
std::vector<int64_t> FindCuts(std::FILE* stream, int64_t size, int32_t count) {
    std::vector<int64_t> cuts;
    for (int32_t k = 1; k < count; ++k) {
        cuts.push_back(CutAfterLineFeed(stream, SliceStart(size, count, k), size));
    }
    return cuts;
}

// Opens one part per stretch between cuts; false if the file cannot be opened again.
bool OpenParts(Parts& parts, const char* fileName, int64_t size, const std::vector<int64_t>& cuts) {
    parts.clear();
    int64_t begin = 0;
    for (std::size_t k = 0; k <= cuts.size(); ++k) {
        Part& part = *parts.emplace_back(std::make_unique<Part>());
        part.stream = OpenUnbuffered(fileName);
        if (part.stream == nullptr) {
            return false;
        }
        part.begin = begin;
        part.end = k == cuts.size() ? size : std::clamp(cuts[k], begin, size);
        begin = part.end;
    }
    return true;
}

// Reads part `next` again, on from where part `previous` left an unfinished record: the record's
// fields and line numbers carried over, as one pass would have them.
bool ReadOnFrom(const Part& previous, Part& next, const Target& target) {
    next.slots.stars.Release();
    next.slots.tags.Release();
    next.held.clear();
    if (fseeko(next.stream, next.begin, SEEK_SET) != 0 || !StartPart(next, target, false)) {
        return false;
    }
    // Lines go on being counted from the previous part's, so that the record's lines keep
    // their numbers (0 means "none" for a problem's line).
    const LoadState& from = *previous.state;
    LoadState& to = *next.state;
    next.firstLine = to.line = from.line;
    std::copy(std::begin(from.coordinates), std::end(from.coordinates), std::begin(to.coordinates));
    to.tag = from.tag;
    to.fieldCount = from.fieldCount;
    to.fieldLine = from.fieldLine;
    to.problemLine = from.problemLine;
    std::memcpy(to.problem, from.problem, sizeof to.problem);
    ReadPart(next, false);
    return true;
}

// Tells the held diagnostics of every part in order, their lines shifted to the whole file's,
// the first MaxReportedLines in full; returns how many more were only counted.
int64_t TellHeldReports(const Parts& parts, const Target& target) {
    int64_t told = 0;
    int64_t untold = 0;
    int64_t start = 1;  // the line of the whole file the part starts on
    for (const auto& each : parts) {
        const Part& part = *each;
        if (part.out.stream != nullptr) {
            std::fflush(part.out.stream);
            std::fwrite(part.out.text, 1, part.out.size, target.out);
        }
        for (const HeldReport& report : part.held) {
            if (!report.always && told >= loader::MaxReportedLines) {
                ++untold;
                continue;
            }
            told += report.always ? 0 : 1;
            std::fprintf(target.err, "%s:%lld: %s\n", target.fileName,
                         static_cast<long long>(start + report.line - part.firstLine),
                         report.what.c_str());
        }
        untold += part.state->unreported;
        start += part.state->line - part.firstLine;
    }
    return untold;
}

// Moves the parts' records into StarArray and StarTag, sized `slots`; false if memory ran out.
// The records are appended by moving memory pages, not copied, so they are never held twice.
bool JoinRecords(Parts& parts, int32_t slots) {
    StarArray = std::move(parts.front()->slots.stars);
    StarTag = std::move(parts.front()->slots.tags);
    int64_t placed = std::min<int64_t>(parts.front()->state->slots, slots);
    for (std::size_t k = 1; k < parts.size() && placed < slots; ++k) {
        Part& part = *parts[k];
        const auto count =
            static_cast<std::size_t>(std::min<int64_t>(part.state->slots, slots - placed));
        if (!StarArray.Append(static_cast<std::size_t>(placed), part.slots.stars, count) ||
            !StarTag.Append(static_cast<std::size_t>(placed), part.slots.tags, count)) {
            return false;
        }
        placed += static_cast<int64_t>(count);
    }
    return StarArray.Resize(static_cast<std::size_t>(slots)) &&
           StarTag.Resize(static_cast<std::size_t>(slots));
}

LoadStatus OutOfMemory(const Target& target) {
    StarArray.Release();
    StarTag.Release();
    std::fprintf(target.err, "%s: out of memory for the stars\n", target.fileName);
    return LoadStatus::OutOfMemory;
}

// Makes `parts` the file as a single part, read from its start; false if it cannot be opened.
bool OpenWhole(Parts& parts, const char* fileName) {
    parts.clear();
    parts.push_back(std::make_unique<Part>());
    parts.front()->stream = OpenUnbuffered(fileName);
    return parts.front()->stream != nullptr;
}

// A file that cannot be opened leaves the galaxy empty, as it always has: the capacity's slots,
// all zero, or the origin star alone for a fitted capacity.
LoadStatus CannotOpen(const Target& target, int32_t capacity) {
    std::fprintf(target.err, "%s: cannot open: %s\n", target.fileName, std::strerror(errno));
    return AllocateStars(capacity == FitCapacity ? 1 : capacity) ? LoadStatus::Loaded
                                                                 : OutOfMemory(target);
}

// Reads every part, at once when there are several, then fixes up the rare part that began
// inside a record; parts after a failed read are dropped, as one pass would stop there.
bool ReadParts(Parts& parts, const Target& target) {
    const bool alone = parts.size() == 1;
    for (const auto& part : parts) {
        if (!StartPart(*part, target, alone)) {
            return false;
        }
    }
    RunSlices(static_cast<int32_t>(parts.size()),
              [&](int32_t k) { ReadPart(*parts[static_cast<std::size_t>(k)], k == 0); });
    for (std::size_t k = 1; k < parts.size() && !StopRequested(); ++k) {
        if (parts[k - 1]->reader->failed) {
            parts.resize(k);
        } else if (parts[k - 1]->state->fieldCount != 0 &&
                   !ReadOnFrom(*parts[k - 1], *parts[k], target)) {
            return false;
        }
    }
    return true;
}

}  // namespace

LoadStatus LoadStarsInParts(const char* fileName, int32_t capacity, int32_t* passes, std::FILE* out,
                            std::FILE* err, const std::vector<int64_t>* cuts) {
    *passes = 0;
    const Target target{fileName, capacity == FitCapacity ? INT32_MAX : capacity, out, err};
    Parts parts;
    if (!OpenWhole(parts, fileName)) {
        return CannotOpen(target, capacity);
    }
    struct stat status {};
    const bool regular =
        fstat(fileno(parts.front()->stream), &status) == 0 && S_ISREG(status.st_mode);
    SetBytesToRead(regular ? status.st_size : -1);
    const std::vector<int64_t> found = cuts != nullptr || !regular
                                           ? std::vector<int64_t>{}
                                           : FindCuts(parts.front()->stream, status.st_size,
                                                      SliceCount(status.st_size, MinPartBytes));
    const std::vector<int64_t>& chosen = cuts != nullptr ? *cuts : found;
    // Where the file cannot be opened once a part (no descriptors left, or it went away
    // meanwhile), one pass over a single opening reads it all the same.
    if (regular && !chosen.empty() && !OpenParts(parts, fileName, status.st_size, chosen) &&
        !OpenWhole(parts, fileName)) {
        return CannotOpen(target, capacity);
    }
    const bool read = ReadParts(parts, target);
    if (StopRequested()) {
        StarArray.Release();
        StarTag.Release();
        return LoadStatus::Stopped;
    }
    if (!read) {
        return OutOfMemory(target);  // no room for a part's held text
    }
    bool memoryFailed = false;
    int64_t slots = 0;
    int64_t records = 0;
    for (const auto& part : parts) {
        memoryFailed |= part->slots.failed;
        slots += part->state->slots;
        records += part->state->passes;
    }
    if (memoryFailed) {
        return OutOfMemory(target);
    }
    LoadState& last = *parts.back()->state;
    loader::ReportEnd(last);
    const int64_t untold = parts.size() == 1 ? last.unreported : TellHeldReports(parts, target);
    const int32_t finalSlots = capacity == FitCapacity
                                   ? static_cast<int32_t>(std::min<int64_t>(slots + 1, INT32_MAX))
                                   : capacity;
    if (!JoinRecords(parts, finalSlots)) {
        return OutOfMemory(target);
    }
    LoadState whole{*parts.front()->reader,
                    fileName,
                    StarArray.data(),
                    StarTag.data(),
                    finalSlots,
                    1,
                    out,
                    err};
    whole.slots = slots;
    whole.unreported = untold;
    loader::FinishLoading(whole);
    std::fflush(out);
    *passes = static_cast<int32_t>(std::min<int64_t>(records, INT32_MAX));
    return LoadStatus::Loaded;
}

LoadStatus LoadStars(const char* fileName, int32_t capacity, int32_t* passes) {
    return LoadStarsInParts(fileName, capacity, passes, stdout, stderr, nullptr);
}
