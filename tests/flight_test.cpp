// flight_test.cpp: recorded flights: cameras back bit for bit, every way a file can be wrong
// told with its line, and write failures reported.
#include "view/flight.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

#include "view/camera.h"

namespace {

using Limits = std::numeric_limits<double>;

// Per process, as ctest runs the cases side by side.
std::string TempPath(const std::string& name) {
    return testing::TempDir() + "flight-" + std::to_string(getpid()) + "-" + name;
}

std::string WriteText(const std::string& name, const std::string& text) {
    const std::string path = TempPath(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string ReadText(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::array<uint64_t, 10> BitsOf(const FlightCamera& c) {
    return {std::bit_cast<uint64_t>(c.Position.x),  std::bit_cast<uint64_t>(c.Position.y),
            std::bit_cast<uint64_t>(c.Position.z),  std::bit_cast<uint64_t>(c.Direction.x),
            std::bit_cast<uint64_t>(c.Direction.y), std::bit_cast<uint64_t>(c.Direction.z),
            std::bit_cast<uint64_t>(c.Up.x),        std::bit_cast<uint64_t>(c.Up.y),
            std::bit_cast<uint64_t>(c.Up.z),        std::bit_cast<uint64_t>(c.FocalDistance)};
}

std::vector<FlightCamera> WriteAndReadBack(const std::string& path,
                                           const std::vector<FlightCamera>& cameras) {
    FlightWriter writer;
    EXPECT_TRUE(writer.Open(path)) << writer.Error();
    for (const FlightCamera& camera : cameras) {
        EXPECT_TRUE(writer.Append(camera)) << writer.Error();
    }
    EXPECT_TRUE(writer.Close()) << writer.Error();
    EXPECT_EQ(writer.FramesWritten(), int64_t(cameras.size()));
    std::vector<FlightCamera> read;
    std::string error;
    EXPECT_TRUE(ReadFlight(path, read, error)) << error;
    return read;
}

void ExpectSameBits(const std::vector<FlightCamera>& read, const std::vector<FlightCamera>& sent) {
    ASSERT_EQ(read.size(), sent.size());
    for (size_t k = 0; k < sent.size(); ++k) {
        ASSERT_EQ(BitsOf(read[k]), BitsOf(sent[k])) << "frame " << k + 1;
    }
}

// Every awkward double in some field, then random bit patterns (non-finite ones left out).
std::vector<FlightCamera> AwkwardCameras() {
    const std::vector<double> awkward{-0.0,
                                      0.0,
                                      Limits::denorm_min(),
                                      -Limits::denorm_min(),
                                      Limits::min() - Limits::denorm_min(),  // largest subnormal
                                      Limits::min(),
                                      Limits::max(),
                                      Limits::lowest(),
                                      Limits::epsilon(),
                                      0.1,
                                      1.0 / 3.0,
                                      9007199254740993.0,  // 2^53 + 1, rounded
                                      -2.2250738585072014e-308,
                                      1e23,
                                      5e-324 * 3};
    std::vector<FlightCamera> cameras;
    for (size_t k = 0; k < awkward.size(); ++k) {
        const double v = awkward[k];
        const double w = awkward[(k + 1) % awkward.size()];
        cameras.push_back({{v, w, -v}, {w, v, 1.0}, {0.0, v, w}, v});
    }
    std::mt19937_64 rng(7);
    while (cameras.size() < 2000) {
        std::array<double, 10> v{};
        for (double& value : v) {
            do {
                value = std::bit_cast<double>(rng());
            } while (!std::isfinite(value));
        }
        cameras.push_back({{v[0], v[1], v[2]}, {v[3], v[4], v[5]}, {v[6], v[7], v[8]}, v[9]});
    }
    return cameras;
}

TEST(Flight, AwkwardDoublesComeBackBitForBit) {
    const std::string path = TempPath("awkward.flight");
    const std::vector<FlightCamera> cameras = AwkwardCameras();
    ExpectSameBits(WriteAndReadBack(path, cameras), cameras);
    const std::string text = ReadText(path);
    EXPECT_EQ(text.substr(0, text.find('\n')), FlightHeader);
    EXPECT_NE(text.find("\n1 -0 0 0 0 -0 1 0 -0 0 -0\n"), std::string::npos) << text.substr(0, 200);
    std::filesystem::remove(path);
}

// The viewer's own flight, numbered as drawn; the orbit angle is not part of a flight.
TEST(Flight, OrbitRecordedFrameByFrameReplaysItsCameras) {
    const std::string path = TempPath("orbit.flight");
    ResetCamera();
    FlightWriter writer;
    ASSERT_TRUE(writer.Open(path)) << writer.Error();
    std::vector<FlightCamera> drawn;
    for (int frame = 1; frame <= 30000; ++frame) {  // several read chunks
        StepCamera();
        drawn.push_back(RecordedCamera(Camera));
        ASSERT_TRUE(writer.Append(Camera)) << writer.Error();
    }
    ASSERT_TRUE(writer.Close()) << writer.Error();
    std::vector<FlightCamera> read;
    std::string error;
    ASSERT_TRUE(ReadFlight(path, read, error)) << error;
    ExpectSameBits(read, drawn);

    CameraState placed{};
    placed.OrbitAngle = 2.5;
    PlaceCamera(read.back(), placed);
    EXPECT_EQ(BitsOf(RecordedCamera(placed)), BitsOf(RecordedCamera(Camera)));
    EXPECT_EQ(placed.OrbitAngle, 2.5);
    ResetCamera();
    std::filesystem::remove(path);
}

// CR LF line ends and runs of spaces or tabs read as the writer's own form, in a file larger
// than the reader's buffer; a header alone is an empty flight.
TEST(Flight, ToleratesCrLfAndWideSpacing) {
    std::string text = std::string(FlightHeader) + "\r\n";
    std::vector<FlightCamera> expected;
    for (int frame = 1; frame <= 40000; ++frame) {
        text += std::to_string(frame) + " \t 1.5  -2 3\t4 5 6 7 8 9   " + std::to_string(frame) +
                " \r\n";
        expected.push_back({{1.5, -2, 3}, {4, 5, 6}, {7, 8, 9}, double(frame)});
    }
    const std::string path = WriteText("crlf.flight", text);
    std::vector<FlightCamera> read;
    std::string error;
    ASSERT_TRUE(ReadFlight(path, read, error)) << error;
    ExpectSameBits(read, expected);

    const std::string empty = WriteText("empty.flight", std::string(FlightHeader) + "\n");
    EXPECT_TRUE(ReadFlight(empty, read, error)) << error;
    EXPECT_TRUE(read.empty());
    std::filesystem::remove(path);
    std::filesystem::remove(empty);
}

struct BadFlight {
    std::string Name;
    std::string Text;
    std::string Message;  // after "PATH:"
};

const std::string Header = std::string(FlightHeader) + "\n";
const std::string Frame1 = "1 0 0 0 1 0 0 0 0 1 1000\n";
const std::string Frame2 = "2 0 0 0 1 0 0 0 0 1 1000\n";
const std::string FieldList =
    " were expected (frame number, position x y z, direction x y z, up x y z, focal distance)";

std::vector<BadFlight> BadFlights() {
    const std::string notFlight =
        "not a flight file: the first line must be '" + std::string(FlightHeader) + "'";
    return {
        {"empty", "", "1: " + notFlight},
        {"newer", "# galaxy-viewer flight 2\n" + Frame1, "1: " + notFlight},
        {"headerless", Frame1, "1: " + notFlight},
        {"unended header", FlightHeader,
         "1: the last line has no line end: the file was cut short"},
        {"cut short", Header + Frame1 + "2 0 0 0 1 0 0 0 0 1 10",
         "3: the last line has no line end: the file was cut short"},
        {"ten fields", Header + Frame1 + "2 0 0 0 1 0 0 0 0 1\n",
         "3: 10 fields where 11" + FieldList},
        {"twelve fields", Header + "1 0 0 0 1 0 0 0 0 1 1000 5\n",
         "2: 12 fields where 11" + FieldList},
        {"blank line", Header + Frame1 + "\n" + Frame2, "3: 0 fields where 11" + FieldList},
        {"comment", Header + "# a note\n" + Frame1, "2: 3 fields where 11" + FieldList},
        {"word", Header + "1 0 0 0 1 0x1p3 0 0 0 1 1000\n",
         "2: direction y '0x1p3' is not a number"},
        {"comma", Header + "1 0 0 0 1 0 0 0 0 1 1000,5\n",
         "2: focal distance '1000,5' is not a number"},
        {"plus sign", Header + "1 +1 0 0 1 0 0 0 0 1 1000\n", "2: position x '+1' is not a number"},
        {"infinity", Header + "1 0 0 0 1 0 0 0 0 inf 1000\n",
         "2: up z 'inf' is not a finite number"},
        {"nan", Header + "1 0 -nan 0 1 0 0 0 0 1 1000\n",
         "2: position y '-nan' is not a finite number"},
        {"too large", Header + "1 0 0 1e309 1 0 0 0 0 1 1000\n",
         "2: position z '1e309' is beyond the range of a double"},
        {"frame word", Header + "one 0 0 0 1 0 0 0 0 1 1000\n",
         "2: frame number 'one' is not a whole number"},
        {"frame negative", Header + "-1 0 0 0 1 0 0 0 0 1 1000\n",
         "2: frame number '-1' is not a whole number"},
        {"frame fraction", Header + "1.0 0 0 0 1 0 0 0 0 1 1000\n",
         "2: frame number '1.0' is not a whole number"},
        {"frame huge", Header + "99999999999999999999 0 0 0 1 0 0 0 0 1 1000\n",
         "2: frame number '99999999999999999999' is not a whole number"},
        {"from zero", Header + "0 0 0 0 1 0 0 0 0 1 1000\n",
         "2: frame 0 where frame 1 was expected (frames count 1, 2, 3, ... without gaps)"},
        {"from two", Header + Frame2,
         "2: frame 2 where frame 1 was expected (frames count 1, 2, 3, ... without gaps)"},
        {"gap", Header + Frame1 + "3 0 0 0 1 0 0 0 0 1 1000\n",
         "3: frame 3 where frame 2 was expected (frames count 1, 2, 3, ... without gaps)"},
        {"repeat", Header + Frame1 + Frame1,
         "3: frame 1 where frame 2 was expected (frames count 1, 2, 3, ... without gaps)"},
        {"endless line", Header + Frame1 + std::string(size_t{3} << 20, '7'),
         "3: a line longer than 4096 characters: not a flight file"},
    };
}

TEST(Flight, EveryFaultIsToldWithItsLine) {
    for (const BadFlight& bad : BadFlights()) {
        const std::string path = WriteText("bad.flight", bad.Text);
        std::vector<FlightCamera> read{FlightCamera{}};
        std::string error;
        EXPECT_FALSE(ReadFlight(path, read, error)) << bad.Name;
        EXPECT_EQ(error, path + ":" + bad.Message) << bad.Name;
        EXPECT_TRUE(read.empty()) << bad.Name;
        std::filesystem::remove(path);
    }
}

TEST(Flight, UnreadableFileIsToldWithItsReason) {
    std::vector<FlightCamera> read;
    std::string error;
    const std::string missing = TempPath("missing.flight");
    EXPECT_FALSE(ReadFlight(missing, read, error));
    EXPECT_EQ(error, missing + ": cannot open: No such file or directory");
    const std::string folder = testing::TempDir();
    EXPECT_FALSE(ReadFlight(folder, read, error));
    EXPECT_EQ(error, folder + ": cannot read: Is a directory");
}

// A full disk shows at the first write that reaches it, or only when the file is closed.
TEST(Flight, WriteFailuresAreReported) {
    const FlightCamera camera{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, 10};
    const std::string full = "/dev/full: cannot write: No space left on device";
    FlightWriter shortFlight;
    ASSERT_TRUE(shortFlight.Open("/dev/full"));
    EXPECT_TRUE(shortFlight.Append(camera));  // still in the buffer
    EXPECT_FALSE(shortFlight.Close());
    EXPECT_EQ(shortFlight.Error(), full);

    FlightWriter longFlight;
    ASSERT_TRUE(longFlight.Open("/dev/full"));
    int appended = 0;
    while (appended < 100000 && longFlight.Append(camera)) {
        ++appended;
    }
    EXPECT_LT(appended, 100000);
    EXPECT_EQ(longFlight.Error(), full);
    EXPECT_FALSE(longFlight.Append(camera));
    EXPECT_FALSE(longFlight.Close());
    EXPECT_EQ(longFlight.Error(), full);

    FlightWriter nowhere;
    const std::string path = TempPath("no-such-folder") + "/a.flight";
    EXPECT_FALSE(nowhere.Open(path));
    EXPECT_EQ(nowhere.Error(), path + ": cannot create: No such file or directory");
    EXPECT_FALSE(nowhere.Append(camera));
    EXPECT_FALSE(nowhere.Close());
}

// A camera no frame could be drawn with is refused, not written in a form that reads back
// differently; the frames before it stay readable.
TEST(Flight, NonFiniteCamerasAreRefused) {
    const std::string path = TempPath("nonfinite.flight");
    for (const double bad : {Limits::infinity(), -Limits::infinity(), Limits::quiet_NaN()}) {
        FlightWriter writer;
        ASSERT_TRUE(writer.Open(path));
        EXPECT_TRUE(writer.Append(FlightCamera{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, 10}));
        EXPECT_FALSE(writer.Append(FlightCamera{{1, 2, 3}, {4, 5, 6}, {7, 8, bad}, 10}));
        EXPECT_FALSE(writer.Close());
        EXPECT_EQ(writer.Error(), path + ": frame 2: up z is not a finite number");
        std::vector<FlightCamera> read;
        std::string error;
        EXPECT_TRUE(ReadFlight(path, read, error)) << error;
        EXPECT_EQ(read.size(), 1u);
    }
    std::filesystem::remove(path);
}

}  // namespace
