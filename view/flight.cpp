// flight.cpp: writing and reading recorded flights (the format is described in flight.h).
#include "view/flight.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

constexpr int FieldCount = 11;  // the frame number and the camera's ten values
constexpr std::array<const char*, FieldCount> FieldNames{
    "frame number", "position x", "position y", "position z", "direction x",   "direction y",
    "direction z",  "up x",       "up y",       "up z",       "focal distance"};

// Reading goes through a fixed buffer, whatever the file's size. A frame line is under 300
// characters; a far longer one cannot be a frame line, which bounds what the buffer must hold.
constexpr size_t ReadChunkBytes = size_t{1} << 20;
constexpr size_t MaxLineLength = 4096;

using CameraValues = std::array<double, FieldCount - 1>;

CameraValues ValuesOf(const FlightCamera& camera) {
    return {camera.Position.x,  camera.Position.y,   camera.Position.z, camera.Direction.x,
            camera.Direction.y, camera.Direction.z,  camera.Up.x,       camera.Up.y,
            camera.Up.z,        camera.FocalDistance};
}

FlightCamera CameraOf(const CameraValues& v) {
    return {{v[0], v[1], v[2]}, {v[3], v[4], v[5]}, {v[6], v[7], v[8]}, v[9]};
}

std::string SystemError(int errorNumber) {
    return std::strerror(errorNumber);
}

// One line's text, without its line end, split into fields at runs of spaces and tabs.
struct SplitLine {
    std::array<std::string_view, FieldCount> Fields;
    int Count = 0;  // every field seen, also those beyond the array
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

SplitLine Split(std::string_view line) {
    SplitLine split;
    const char* at = line.data();
    const char* const end = at + line.size();
    while (true) {
        while (at != end && IsBlank(*at)) {
            ++at;
        }
        if (at == end) {
            return split;
        }
        const char* const start = at;
        while (at != end && !IsBlank(*at)) {
            ++at;
        }
        if (split.Count < FieldCount) {
            split.Fields[size_t(split.Count)] = std::string_view(start, size_t(at - start));
        }
        ++split.Count;
    }
}

// Why one field does not hold a finite double, or nullptr when it does.
const char* ReadValue(std::string_view field, double& value) {
    const auto [end, status] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (status == std::errc::result_out_of_range) {
        return "is beyond the range of a double";
    }
    if (status != std::errc() || end != field.data() + field.size()) {
        return "is not a number";
    }
    return std::isfinite(value) ? nullptr : "is not a finite number";
}

// Parses the frame line that should hold frame `expected`; returns what was wrong, or an empty
// string when the line is sound.
std::string ReadFrameLine(std::string_view line, uint64_t expected, FlightCamera& camera) {
    const SplitLine split = Split(line);
    if (split.Count != FieldCount) {
        return std::to_string(split.Count) + " fields where " + std::to_string(FieldCount) +
               " were expected (frame number, position x y z, direction x y z, up x y z, "
               "focal distance)";
    }
    const std::string_view number = split.Fields[0];
    uint64_t frame = 0;
    const auto [end, status] = std::from_chars(number.data(), number.data() + number.size(), frame);
    if (status != std::errc() || end != number.data() + number.size()) {
        return "frame number '" + std::string(number) + "' is not a whole number";
    }
    if (frame != expected) {
        return "frame " + std::to_string(frame) + " where frame " + std::to_string(expected) +
               " was expected (frames count 1, 2, 3, ... without gaps)";
    }
    CameraValues values{};
    for (size_t k = 1; k < FieldCount; ++k) {
        if (const char* why = ReadValue(split.Fields[k], values[k - 1])) {
            return std::string(FieldNames[k]) + " '" + std::string(split.Fields[k]) + "' " + why;
        }
    }
    camera = CameraOf(values);
    return {};
}

std::string_view WithoutLineEnd(const char* begin, const char* newline) {
    std::string_view line(begin, size_t(newline - begin));
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

// Takes the file line by line, checking the header and then each frame line in turn.
class FlightReader {
  public:
    FlightReader(const std::string& path, std::vector<FlightCamera>& cameras, uint64_t fileBytes)
        : Path_(path), Cameras_(cameras), FileBytes_(fileBytes) {}

    // Reads one line; returns false with the error set when it is not sound.
    bool ReadLine(std::string_view line) {
        ++LineNumber_;
        if (LineNumber_ == 1) {
            return line == FlightHeader ||
                   Fail(std::string("not a flight file: the first line must be '") + FlightHeader +
                        "'");
        }
        FlightCamera camera{};
        const std::string wrong = ReadFrameLine(line, uint64_t(Cameras_.size()) + 1, camera);
        if (!wrong.empty()) {
            return Fail(wrong);
        }
        if (Cameras_.empty()) {
            ReserveLike(line.size());
        }
        Cameras_.push_back(camera);
        return true;
    }

    // Checks what remains at the end of the file: `unended` bytes after the last line end.
    bool Finish(size_t unended) {
        if (unended > 0) {
            ++LineNumber_;
            return Fail("the last line has no line end: the file was cut short");
        }
        return LineNumber_ > 0 || ReadLine({});  // an empty file lacks the header
    }

    bool LineTooLong() {
        ++LineNumber_;
        return Fail("a line longer than " + std::to_string(MaxLineLength) +
                    " characters: not a flight file");
    }

    std::string Error;

  private:
    // Frame lines differ little in length, so the first one tells about how many the file holds.
    // Room for a quarter more spares the copies of a vector growing from empty; should the
    // guess fall short after all, the vector still grows as usual.
    void ReserveLike(size_t lineBytes) {
        const uint64_t frames = FileBytes_ / (lineBytes + 1);
        if (frames < Cameras_.max_size() / 2) {
            Cameras_.reserve(size_t(frames + frames / 4));
        }
    }

    bool Fail(const std::string& what) {
        Error = Path_ + ":" + std::to_string(LineNumber_) + ": " + what;
        return false;
    }

    const std::string& Path_;
    std::vector<FlightCamera>& Cameras_;
    uint64_t FileBytes_;  // 0 where unknown
    int64_t LineNumber_ = 0;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Feeds every whole line of the file to the reader; returns false at the first bad line or on
// a read error.
bool ReadLines(std::FILE* file, const std::string& path, FlightReader& reader, std::string& error) {
    const std::unique_ptr<char[]> buffer(new char[ReadChunkBytes]);
    size_t held = 0;  // bytes at the buffer's start after the last line end so far
    while (true) {
        const size_t got = std::fread(buffer.get() + held, 1, ReadChunkBytes - held, file);
        if (got == 0) {
            if (std::ferror(file)) {
                error = path + ": cannot read: " + SystemError(errno);
                return false;
            }
            if (!reader.Finish(held)) {
                error = reader.Error;
                return false;
            }
            return true;
        }
        const char* start = buffer.get();
        const char* const end = start + held + got;
        while (const auto* newline =
                   static_cast<const char*>(std::memchr(start, '\n', size_t(end - start)))) {
            if (!reader.ReadLine(WithoutLineEnd(start, newline))) {
                error = reader.Error;
                return false;
            }
            start = newline + 1;
        }
        held = size_t(end - start);
        if (held > MaxLineLength) {
            reader.LineTooLong();
            error = reader.Error;
            return false;
        }
        std::memmove(buffer.get(), start, held);
    }
}

}  // namespace

FlightCamera RecordedCamera(const CameraState& camera) {
    return {camera.Position, camera.Direction, camera.Up, camera.FocalDistance};
}

void PlaceCamera(const FlightCamera& recorded, CameraState& camera) {
    camera.Position = recorded.Position;
    camera.Direction = recorded.Direction;
    camera.Up = recorded.Up;
    camera.FocalDistance = recorded.FocalDistance;
}

FlightWriter::~FlightWriter() {
    if (File_ != nullptr) {
        std::fclose(File_);
    }
}

bool FlightWriter::Open(const std::string& path) {
    Close();
    Path_ = path;
    Error_.clear();
    FramesWritten_ = 0;
    File_ = std::fopen(path.c_str(), "wb");
    if (File_ == nullptr) {
        return Fail("cannot create", errno);
    }
    if (std::fputs(FlightHeader, File_) == EOF || std::fputc('\n', File_) == EOF) {
        return Fail("cannot write", errno);
    }
    return true;
}

bool FlightWriter::Append(const CameraState& camera) {
    return Append(RecordedCamera(camera));
}

bool FlightWriter::Append(const FlightCamera& camera) {
    if (File_ == nullptr || !Error_.empty()) {
        return false;
    }
    const CameraValues values = ValuesOf(camera);
    char* at = Line_;
    char* const end = Line_ + sizeof Line_;
    at = std::to_chars(at, end, FramesWritten_ + 1).ptr;
    for (size_t k = 0; k < values.size(); ++k) {
        if (!std::isfinite(values[k])) {
            const std::string what = "frame " + std::to_string(FramesWritten_ + 1) + ": " +
                                     FieldNames[k + 1] + " is not a finite number";
            return Fail(what.c_str(), 0);
        }
        *at++ = ' ';
        at = std::to_chars(at, end, values[k]).ptr;  // at most 24 characters: always fits
    }
    *at++ = '\n';
    const auto length = size_t(at - Line_);
    if (std::fwrite(Line_, 1, length, File_) != length) {
        return Fail("cannot write", errno);
    }
    ++FramesWritten_;
    return true;
}

bool FlightWriter::Close() {
    if (File_ == nullptr) {
        return Error_.empty();
    }
    if (std::fflush(File_) != 0) {
        Fail("cannot write", errno);
    }
    if (std::fclose(File_) != 0) {
        Fail("cannot close", errno);
    }
    File_ = nullptr;
    return Error_.empty();
}

bool FlightWriter::Fail(const char* what, int errorNumber) {
    if (Error_.empty()) {  // the first failure is the cause; later ones follow from it
        Error_ = Path_ + ": " + what;
        if (errorNumber != 0) {
            Error_ += ": " + SystemError(errorNumber);
        }
    }
    return false;
}

bool ReadFlight(const std::string& path, std::vector<FlightCamera>& cameras, std::string& error) {
    cameras.clear();
    error.clear();
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = path + ": cannot open: " + SystemError(errno);
        return false;
    }
    struct stat status {};
    const bool sized = fstat(fileno(file.get()), &status) == 0 && S_ISREG(status.st_mode);
    FlightReader reader(path, cameras, sized ? uint64_t(status.st_size) : 0);
    if (!ReadLines(file.get(), path, reader, error)) {
        cameras.clear();
        return false;
    }
    return true;
}
