// catalogue.cpp: turns a table's rows into stars, keeps the reasons for skipped rows, and
// writes the galaxy file.
#include "tools/import/catalogue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <utility>

namespace {

constexpr std::size_t ExcerptLimit = 24;       // characters of a bad field quoted in a skip
constexpr std::size_t SourceNameLimit = 150;   // keeps the header line within the loader's 254
constexpr double FileValueLimit = 1.0e6;       // beyond any value the loader takes, within float
constexpr double RightAscensionLimit = 360.0;  // degrees either way
constexpr double DeclinationLimit = 90.0;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string MakeExcerpt(const char* text, std::size_t length) {
    std::string excerpt;
    for (std::size_t i = 0; i < length && i < ExcerptLimit; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            excerpt += static_cast<char>(c);
        } else {
            constexpr const char* HexDigits = "0123456789ABCDEF";
            excerpt += {'\\', 'x', HexDigits[c >> 4], HexDigits[c & 0xF]};
        }
    }
    return length > ExcerptLimit ? excerpt + "..." : excerpt;
}

// The shortest text that reads back as the same number.
template <typename Real>
std::string Shortest(Real value) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// The field's number, or false after skipping the row with the reason it is unusable.
bool TakeNumber(Catalogue& catalogue, const Row& row, Role role, double* value) {
    const Field& field = row.fields[Index(role)];
    const std::string& name = catalogue.plan.name[Index(role)];
    if (field.state == Field::State::Invalid) {
        SkipRow(catalogue, row.line,
                name + " field \"" + field.excerpt + "\" is not a number; row skipped");
    } else if (field.state != Field::State::Number) {
        SkipRow(catalogue, row.line, name + " field is empty; row skipped");
    } else if (!std::isfinite(field.value)) {
        SkipRow(catalogue, row.line,
                name + " " + Shortest(field.value) + " is not finite; row skipped");
    } else {
        *value = field.value;
        return true;
    }
    return false;
}

// The field's number if it is a finite one, else NaN.
double OptionalNumber(const Row& row, Role role) {
    const Field& field = row.fields[Index(role)];
    return field.state == Field::State::Number ? field.value : std::nan("");
}

bool TakeWithin(Catalogue& catalogue, const Row& row, Role role, double limit, double* value) {
    if (!TakeNumber(catalogue, row, role, value)) {
        return false;
    }
    if (std::fabs(*value) > limit) {
        const std::string& name = catalogue.plan.name[Index(role)];
        SkipRow(catalogue, row.line,
                name + " " + Shortest(*value) + " is outside -" + Shortest(limit) + " to " +
                    Shortest(limit) + " degrees; row skipped");
        return false;
    }
    return true;
}

// The star's distance in parsecs from its parallax or distance column.
bool TakeDistance(Catalogue& catalogue, const Row& row, double* distance) {
    const Role role = Reads(catalogue.plan, Role::Parallax) ? Role::Parallax : Role::Distance;
    double value = 0.0;
    if (!TakeNumber(catalogue, row, role, &value)) {
        return false;
    }
    const std::string& name = catalogue.plan.name[Index(role)];
    if (value <= 0.0) {
        SkipRow(catalogue, row.line,
                name + " " + Shortest(value) + " is not above zero; row skipped");
        return false;
    }
    *distance = role == Role::Parallax ? DistanceFromParallax(value) : value;
    if (!std::isfinite(*distance)) {
        SkipRow(catalogue, row.line,
                name + " " + Shortest(value) + " is too small for a finite distance; row skipped");
        return false;
    }
    return true;
}

bool TakePosition(Catalogue& catalogue, const Row& row, SkyVector* position) {
    if (catalogue.plan.cartesian) {
        return TakeNumber(catalogue, row, Role::X, &position->x) &&
               TakeNumber(catalogue, row, Role::Y, &position->y) &&
               TakeNumber(catalogue, row, Role::Z, &position->z);
    }
    double ra = 0.0;
    double dec = 0.0;
    double distance = 0.0;
    if (!TakeWithin(catalogue, row, Role::Ra, RightAscensionLimit, &ra) ||
        !TakeWithin(catalogue, row, Role::Dec, DeclinationLimit, &dec) ||
        !TakeDistance(catalogue, row, &distance)) {
        return false;
    }
    *position = PlaceStar(distance, ra, dec, catalogue.frame);
    return true;
}

// The header's words for the frame of the positions written.
const char* FrameWords(const Catalogue& catalogue) {
    if (catalogue.plan.cartesian) {
        return "x y z as the table gives them";
    }
    return catalogue.frame == Frame::Galactic ? "galactic frame" : "ICRS frame";
}

// The source's name for the header line: printable ASCII only, and short.
std::string HeaderSourceName(const std::string& source) {
    std::string name;
    for (const char c : source.substr(0, SourceNameLimit)) {
        name += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return source.size() > SourceNameLimit ? name + "..." : name;
}

// A star as the galaxy file holds it: its position in file units and its colour class.
struct FileRecord {
    float x;
    float y;
    float z;
    uint8_t tag;
};

constexpr std::size_t FloatBytes = 16;  // the longest shortest float, "-1.17549435e-38", and 1
constexpr std::size_t RecordBytes = 3 * (FloatBytes + 1) + 3 + 2;

// Writes "x y z tag" and CR LF into text, which holds RecordBytes; returns the length.
std::size_t FormatRecord(char (&text)[RecordBytes], const FileRecord& record) {
    std::size_t length = 0;
    for (const float value : {record.x, record.y, record.z}) {
        length = static_cast<std::size_t>(
            std::to_chars(text + length, text + length + FloatBytes, value).ptr - text);
        text[length++] = ' ';
    }
    length = static_cast<std::size_t>(
        std::to_chars(text + length, text + length + 3, record.tag).ptr - text);
    std::memcpy(text + length, "\r\n", 2);
    return length + 2;
}

// Appends the records of the stars order[begin, end) to text, cleared first.
void FormatRecords(const Catalogue& catalogue, const WriteOrder& order, std::size_t begin,
                   std::size_t end, double pcPerUnit, std::string* text) {
    text->clear();
    constexpr std::size_t Ahead = 16;  // stars fetched ahead: in magnitude order they are scattered
    for (std::size_t i = begin; i < end; ++i) {
        if (i + Ahead < end) {
            __builtin_prefetch(&catalogue.stars[order[i + Ahead].index]);
        }
        const ImportedStar& star = catalogue.stars[order[i].index];
        FileRecord record{0.0f, 0.0f, 0.0f, star.tag};
        FileValue(star.position.x, pcPerUnit, &record.x);
        FileValue(star.position.y, pcPerUnit, &record.y);
        FileValue(star.position.z, pcPerUnit, &record.z);
        char line[RecordBytes];
        text->append(line, FormatRecord(line, record));
    }
}

}  // namespace

void ParseField(const char* text, std::size_t length, Field* field) {
    const char* begin = text;
    const char* end = text + length;
    while (begin != end && IsBlank(*begin)) {
        ++begin;
    }
    while (end != begin && IsBlank(end[-1])) {
        --end;
    }
    if (begin == end) {
        field->state = Field::State::Empty;
        return;
    }
    // from_chars takes a minus sign but no plus sign.
    const char* digits = *begin == '+' && end - begin > 1 && begin[1] != '-' ? begin + 1 : begin;
    const auto [stop, error] = std::from_chars(digits, end, field->value);
    if (stop == end && error == std::errc::result_out_of_range) {
        field->value = std::strtod(std::string(digits, end).c_str(), nullptr);  // inf, or tiny
    }
    const bool number = stop == end && error != std::errc::invalid_argument;
    field->state = number ? Field::State::Number : Field::State::Invalid;
    if (!number) {
        field->excerpt = MakeExcerpt(text, length);
    }
}

void AddRow(Catalogue& catalogue, const Row& row) {
    SkyVector position{0.0, 0.0, 0.0};
    if (!TakePosition(catalogue, row, &position)) {
        return;
    }
    const double magnitude = OptionalNumber(row, Role::Magnitude);
    const double colour = OptionalNumber(row, Role::Colour);
    catalogue.stars.push_back({position, magnitude, row.line,
                               ColourClass(colour, catalogue.plan.colourIndex),
                               std::isfinite(magnitude)});
}

void SkipRow(Catalogue& catalogue, int64_t line, std::string what) {
    ++catalogue.skipped;
    std::vector<Skip>& shown = catalogue.shownSkips;
    if (shown.size() == ShownSkips && line >= shown.back().line) {
        return;
    }
    const auto later = std::upper_bound(shown.begin(), shown.end(), line,
                                        [](int64_t l, const Skip& skip) { return l < skip.line; });
    shown.insert(later, Skip{line, std::move(what)});
    if (shown.size() > ShownSkips) {
        shown.pop_back();
    }
}

bool FileValue(double parsecs, double pcPerUnit, float* value) {
    const double units = parsecs / pcPerUnit;
    if (!(std::fabs(units) < FileValueLimit)) {
        return false;  // also keeps the conversion to float in range
    }
    *value = static_cast<float>(units);
    return InFileRange(*value);
}

namespace {

// Sorts the keys; a long list as two halves at once, then merged. No two keys are equal (each
// names its own star), so the order is the one std::sort gives, however it is reached.
void SortWriteOrder(WriteOrder& order) {
    constexpr std::size_t SplitFrom = std::size_t{1} << 16;
    if (order.size() < SplitFrom) {
        std::sort(order.begin(), order.end());
        return;
    }
    const auto middle = order.begin() + static_cast<std::ptrdiff_t>(order.size() / 2);
    std::thread helper([&order, middle] { std::sort(middle, order.end()); });
    std::sort(order.begin(), middle);
    helper.join();
    std::inplace_merge(order.begin(), middle, order.end());
}

}  // namespace

WriteOrder OrderForWriting(Catalogue& catalogue, double pcPerUnit) {
    WriteOrder order;
    order.reserve(catalogue.stars.size());
    for (std::size_t i = 0; i < catalogue.stars.size(); ++i) {
        const ImportedStar& star = catalogue.stars[i];
        float value = 0.0f;
        if (!FileValue(star.position.x, pcPerUnit, &value) ||
            !FileValue(star.position.y, pcPerUnit, &value) ||
            !FileValue(star.position.z, pcPerUnit, &value)) {
            SkipRow(catalogue, star.line,
                    "position (" + Shortest(star.position.x) + ", " + Shortest(star.position.y) +
                        ", " + Shortest(star.position.z) + ") pc is beyond the file's range " +
                        "(-21476 to 21475 units, exclusive) at " + Shortest(pcPerUnit) +
                        " pc per unit; row skipped");
            continue;
        }
        order.push_back({star.hasMagnitude ? star.magnitude : HUGE_VAL, i});
    }
    if (Reads(catalogue.plan, Role::Magnitude)) {
        SortWriteOrder(order);
    }
    return order;
}

void ReportSkips(const Catalogue& catalogue, std::FILE* err) {
    for (const Skip& skip : catalogue.shownSkips) {
        std::fprintf(err, "%s:%lld: %s\n", catalogue.source.c_str(),
                     static_cast<long long>(skip.line), skip.what.c_str());
    }
    const int64_t unshown = catalogue.skipped - static_cast<int64_t>(catalogue.shownSkips.size());
    if (unshown > 0) {
        std::fprintf(err, "%s: %lld more skipped rows not shown\n", catalogue.source.c_str(),
                     static_cast<long long>(unshown));
    }
}

bool WriteGalaxy(std::FILE* out, const Catalogue& catalogue, const WriteOrder& order,
                 double pcPerUnit, int threads) {
    const std::string header =
        "# galaxy-import of " + HeaderSourceName(catalogue.source) + ": " +
        std::to_string(order.size()) + (order.size() == 1 ? " star, " : " stars, ") +
        FrameWords(catalogue) + ", " + Shortest(pcPerUnit) + " pc per unit\r\n";
    bool written = std::fputs(header.c_str(), out) >= 0;
    // Pairs of chunks: the first formatted here, the second meanwhile on a helper thread (or
    // afterwards, with one thread); written in order either way.
    constexpr std::size_t ChunkRecords = std::size_t{1} << 15;
    std::string texts[2];
    for (std::size_t begin = 0; begin < order.size(); begin += 2 * ChunkRecords) {
        const std::size_t middle = std::min(begin + ChunkRecords, order.size());
        const std::size_t end = std::min(middle + ChunkRecords, order.size());
        std::thread helper;
        if (threads > 1 && middle < end) {
            helper = std::thread(FormatRecords, std::cref(catalogue), std::cref(order), middle, end,
                                 pcPerUnit, &texts[1]);
        }
        FormatRecords(catalogue, order, begin, middle, pcPerUnit, &texts[0]);
        if (helper.joinable()) {
            helper.join();
        } else {
            FormatRecords(catalogue, order, middle, end, pcPerUnit, &texts[1]);
        }
        for (const std::string& text : texts) {
            written = written && std::fwrite(text.data(), 1, text.size(), out) == text.size();
        }
    }
    return written;
}
