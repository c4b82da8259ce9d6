// galaxy_render.cpp: galaxy-render, the viewer's frames drawn without a screen and saved as PNG
// pictures, a movie or both.
//
// Rendering runs on the main thread, as in the viewer; each saved frame is copied into a small
// ring of buffers that worker threads encode and write, so the encoding of one frame overlaps
// the drawing of the next ones while memory stays the same however long the run.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/galaxy_file.h"
#include "app/scale_options.h"
#include "app/scene.h"
#include "data/cells.h"
#include "data/loader.h"
#include "data/parallel.h"
#include "data/startup.h"
#include "display/display.h"
#include "display/memory_display.h"
#include "render/frame.h"
#include "render/frame_rate.h"
#include "tools/frame_list.h"
#include "tools/frame_output.h"
#include "tools/frame_pipeline.h"
#include "tools/png_writer.h"
#include "tools/video_writer.h"
#include "view/cache.h"
#include "view/camera.h"
#include "view/flight.h"

namespace {

constexpr size_t SlotsPerWorker = 2;  // frames waiting per worker: enough to keep each one busy

int64_t SimulatedFrame = 0;  // the frame being drawn; 0 during start-up

// One frame every 1/60 s, start-up taking none; whole milliseconds from integers only, so
// every run of 51 frames lasts exactly 850 ms.
TimeStamp SimulatedClock() {
    const int64_t milliseconds = SimulatedFrame * 1000 / 60;
    return TimeStamp{static_cast<int32_t>(milliseconds / 1000),
                     static_cast<uint16_t>(milliseconds % 1000)};
}

struct RenderOptions {
    std::string GalaxyFile;
    std::string FrameList;
    std::string OutputFolder;  // "" for no pictures
    std::string VideoFile;     // "" for no movie
    bool Stats = false;
    bool Colour = false;  // stars in their class's colour (render/palette.h) rather than grey
    int32_t Capacity = MaxStars;  // star slots, or FitCapacity
    int32_t Threads = ProcessorCount();
    std::string FlightFile;            // "" to fly the orbit
    std::vector<FlightCamera> Flight;  // with a flight file: frame k's camera at k - 1
};

// SIGINT and SIGTERM stop the run: the start-up at its next look (data/startup.h), the drawing
// before the next frame. Calls interrupted meanwhile carry on, so that what is being written is
// written whole; the loader waits on pipes in short polls and needs no interruption.
void RequestStopBySignal(int signal) {
    RequestStop(signal);
}

void InstallStopSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = RequestStopBySignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Tells that the run was stopped; returns the exit code a shell gives a program the signal
// ended (128 + its number).
int ReportStop() {
    const int signal = StopSignal();
    std::fprintf(stderr, "galaxy-render: stopped by %s\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    return 128 + signal;
}

bool MakeOutputFolder(const std::string& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error || !std::filesystem::is_directory(folder, error)) {
        std::fprintf(stderr, "galaxy-render: cannot make folder %s: %s\n", folder.c_str(),
                     error ? error.message().c_str() : "a file of that name is in the way");
        return false;
    }
    return true;
}

// Shows how far the run has come, once it has taken more than a second: on a terminal one line
// rewritten in place, elsewhere (logs, CI) a line every few seconds.
class RenderProgress {
  public:
    void Update(size_t frame, size_t last) {
        const auto now = std::chrono::steady_clock::now();
        if (now - Start < std::chrono::seconds(1) || now - LastShown < Interval) {
            return;
        }
        LastShown = now;
        Shown = true;
        std::fprintf(stderr, "%sgalaxy-render: frame %zu of %zu%s", Terminal ? "\r" : "", frame,
                     last, Terminal ? "" : "\n");
    }
    void Finish() const {
        if (Shown && Terminal) {
            std::fprintf(stderr, "\n");
        }
    }

  private:
    bool Terminal = isatty(STDERR_FILENO) != 0;
    std::chrono::steady_clock::duration Interval =
        Terminal ? std::chrono::milliseconds(250) : std::chrono::milliseconds(5000);
    std::chrono::steady_clock::time_point Start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point LastShown{};
    bool Shown = false;
};

// Writes bytes to a new file at path, replacing any old one. They go to temporary, beside it,
// renamed to path once whole: a frame is never seen half-written, whatever stops the run.
bool WriteWholeFile(const char* path, const char* temporary, std::span<const uint8_t> bytes,
                    std::string& error) {
    const int file = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool written = file >= 0 && WriteAll(file, bytes);
    int cause = errno;
    if (file >= 0 && close(file) != 0 && written) {
        written = false;
        cause = errno;
    }
    if (written && rename(temporary, path) != 0) {
        written = false;
        cause = errno;
    }
    if (!written) {
        if (file >= 0) {
            unlink(temporary);
        }
        error = std::string("cannot write ") + path + ": " + std::strerror(cause);
    }
    return written;
}

// The PNG output's per-worker state: an encoder and room for a file's name and its temporary
// name each.
struct PngFolder {
    std::string Folder;
    size_t Workers = 0;
    std::unique_ptr<PngEncoder[]> Encoders;  // encoders must not move once set up
    std::vector<std::vector<char>> Paths;
    std::vector<std::vector<char>> TemporaryPaths;
};

bool InitPngFolder(PngFolder& png, const std::string& folder, size_t workers) {
    png.Folder = folder;
    png.Workers = workers;
    png.Encoders = std::make_unique<PngEncoder[]>(workers);
    png.Paths.assign(workers, std::vector<char>(folder.size() + 32));
    png.TemporaryPaths = png.Paths;
    for (size_t worker = 0; worker < workers; ++worker) {
        if (!PngEncoderInit(png.Encoders[worker], ScreenWidth, ScreenHeight)) {
            return false;
        }
    }
    return true;
}

void FreePngFolder(PngFolder& png) {
    for (size_t worker = 0; worker < png.Workers; ++worker) {
        PngEncoderFree(png.Encoders[worker]);
    }
}

bool SavePngFrame(PngFolder& png, const FrameSlot& slot, size_t worker, std::string& error) {
    std::vector<char>& path = png.Paths[worker];
    std::vector<char>& temporary = png.TemporaryPaths[worker];
    std::snprintf(path.data(), path.size(), "%s/frame-%06lld.png", png.Folder.c_str(),
                  static_cast<long long>(slot.Frame));
    std::snprintf(temporary.data(), temporary.size(), "%s.part", path.data());
    const std::span<const uint8_t> file =
        EncodePng(png.Encoders[worker], slot.Pixels.data(), slot.Pitch);
    if (file.empty()) {
        error = std::string("cannot compress ") + path.data();
        return false;
    }
    return WriteWholeFile(path.data(), temporary.data(), file, error);
}

// Draws frames 1 to the last wanted one and hands each wanted one to every output; a stop
// request ends it between two frames.
bool RenderFrames(const RenderOptions& options, const std::vector<FrameRange>& ranges,
                  std::span<FramePipeline* const> outputs) {
    const int64_t last = ranges.back().Last;
    size_t range = 0;
    RenderProgress progress;
    for (int64_t frame = 1; frame <= last && !StopRequested(); ++frame) {
        SimulatedFrame = frame;
        if (!options.Flight.empty()) {
            // Every frame in order, as the cache carries what earlier frames projected; the step
            // each frame takes afterwards is overridden by the next frame's placing.
            PlaceCamera(options.Flight[static_cast<size_t>(frame - 1)], Camera);
        }
        RenderFrame();
        while (ranges[range].Last < frame) {
            ++range;  // the last range ends at the last frame, so this stays in the list
        }
        if (frame >= ranges[range].First) {
            for (FramePipeline* output : outputs) {
                if (!output->SubmitFrame(frame, MemoryFrontPixels())) {
                    return false;
                }
            }
            if (options.Stats) {
                std::printf("frame %lld: cells %d, reprojected %d, drawn %d\n",
                            static_cast<long long>(frame), CellCount, FlaggedCellCount(),
                            DrawnStarCount());
            }
        }
        progress.Update(size_t(frame), size_t(last));
    }
    progress.Finish();
    return true;
}

// Renders with the outputs the options ask for; prints any error; returns the exit code. Errors
// after a stop request are left untold: the stop explains the end.
int RenderToOutputs(const RenderOptions& options, const std::vector<FrameRange>& ranges,
                    VideoOutput& video) {
    const size_t pngWorkers = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 2);
    PngFolder png;
    if (!options.OutputFolder.empty() && !InitPngFolder(png, options.OutputFolder, pngWorkers)) {
        std::fprintf(stderr, "galaxy-render: cannot set up zlib\n");
        FreePngFolder(png);
        return 1;
    }
    std::vector<std::unique_ptr<FramePipeline>> pipelines;
    if (!options.OutputFolder.empty()) {
        pipelines.push_back(std::make_unique<FramePipeline>(
            pngWorkers, pngWorkers * SlotsPerWorker, MemoryPitch(), ScreenHeight,
            [&png](const FrameSlot& slot, size_t worker, std::string& error) {
                return SavePngFrame(png, slot, worker, error);
            }));
    }
    if (video.Process >= 0) {
        pipelines.push_back(std::make_unique<FramePipeline>(
            1, SlotsPerWorker, MemoryPitch(), ScreenHeight,
            [&video](const FrameSlot& slot, size_t, std::string& error) {
                return WriteVideoFrame(video, slot.Pixels.data(), slot.Pitch, error);
            }));
    }
    std::vector<FramePipeline*> outputs;
    for (const auto& pipeline : pipelines) {
        outputs.push_back(pipeline.get());
    }
    int status = RenderFrames(options, ranges, outputs) ? 0 : 1;
    for (FramePipeline* output : outputs) {
        const std::string error = output->Finish();
        if (!error.empty() && !StopRequested()) {
            std::fprintf(stderr, "galaxy-render: %s\n", error.c_str());
            status = 1;
        }
    }
    FreePngFolder(png);
    return status;
}

// The most memory the run has held, in kilobytes.
long PeakMemoryKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Reads --path's flight, which must reach the last frame wanted; false after saying why not.
bool ReadRecordedFlight(RenderOptions& options, int64_t lastFrame) {
    std::string error;
    if (!ReadFlight(options.FlightFile, options.Flight, error)) {
        std::fprintf(stderr, "galaxy-render: %s\n", error.c_str());
        return false;
    }
    if (std::ssize(options.Flight) < lastFrame) {
        std::fprintf(
            stderr, "galaxy-render: %s: frame %lld was asked for, but the flight has %zu\n",
            options.FlightFile.c_str(), static_cast<long long>(lastFrame), options.Flight.size());
        return false;
    }
    return true;
}

int Run(const RenderOptions& options, const std::vector<FrameRange>& ranges) {
    InstallStopSignalHandlers();
    SetThreadCount(options.Threads);
    if (std::string error; !GalaxyFileReadable(options.GalaxyFile, error)) {
        std::fprintf(stderr, "galaxy-render: %s\n", error.c_str());
        return 1;
    }
    if (!options.OutputFolder.empty() && !MakeOutputFolder(options.OutputFolder)) {
        return 1;
    }
    VideoOutput video;
    video.File = options.VideoFile;
    std::string error;
    if (!options.VideoFile.empty() && !StartVideo(video, ScreenWidth, ScreenHeight, error)) {
        std::fprintf(stderr, "galaxy-render: %s\n", error.c_str());
        return 1;
    }
    SetFrameRateClock(SimulatedClock);
    SetStarColours(options.Colour);
    SimulatedFrame = 0;
    int status = 1;
    if (InitDisplay(nullptr, ScreenWidth, ScreenHeight, ScreenBits) != DisplayOk) {
        std::fprintf(stderr, "galaxy-render: cannot set up the display: %s\n", DisplayErrorText());
    } else if (StartScene(SceneOptions{options.GalaxyFile.c_str(), options.Capacity}) ==
               SceneStatus::Ready) {
        if (options.Stats) {
            std::printf("\n");  // ends the loader's line of comment dots: one line per frame
        }
        status = RenderToOutputs(options, ranges, video);
    }
    ShutdownDisplay();
    if (StopRequested()) {
        AbortVideo(video);  // an unfinished movie is of no use
        return ReportStop();
    }
    if (!FinishVideo(video, error)) {
        std::fprintf(stderr, "galaxy-render: %s\n", error.c_str());
        status = 1;
    }
    if (options.Stats) {
        std::fprintf(stderr, "galaxy-render: peak memory %ld kB\n", PeakMemoryKilobytes());
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Draws the viewer's frames without a screen and saves them as PNG pictures, a movie or "
        "both.\nFrame k is the k-th frame the viewer would show; the clock runs at 60 frames a "
        "second."};
    app.set_version_flag("--version", std::string("galaxy-render ") + GALAXY_VERSION,
                         "print the version and exit");
    RenderOptions options;
    app.add_option("FILE", options.GalaxyFile, "galaxy file to draw, in place of galaxy.dat")
        ->required();
    app.add_option("--frames", options.FrameList,
                   "frames to save: numbers and ranges, such as 1,2,50-60,2070")
        ->required();
    app.add_option("--out", options.OutputFolder, "folder for frame-NNNNNN.png, made if missing");
    app.add_option("--video", options.VideoFile,
                   "movie of the saved frames at 60 per second, made by ffmpeg: a .mp4 (H.264) "
                   "or .webm (VP9) file, replaced if it exists; with --out, one run makes both");
    app.add_option("--path", options.FlightFile,
                   "fly the flight recorded by galaxy-viewer --record rather than the orbit: "
                   "frame k has the camera of the k-th frame the viewer drew")
        ->type_name("PATH");
    app.add_flag("--stats", options.Stats,
                 "print 'frame K: cells C, reprojected R, drawn D' for each saved frame, and the "
                 "peak memory at the end (on standard error)");
    AddColourOption(app, options.Colour);
    AddScaleOptions(app, options.Capacity, options.Threads);
    app.failure_message(CLI::FailureMessage::help);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // A bad option value ends the run as a bad frame list does; the rest keep CLI11's codes.
        const int code = app.exit(error);
        const bool badValue = code == static_cast<int>(CLI::ExitCodes::ValidationError) ||
                              code == static_cast<int>(CLI::ExitCodes::ConversionError);
        return badValue ? 2 : code;
    }

    std::vector<FrameRange> ranges;
    try {
        ranges = ParseFrameList(options.FrameList);
        if (options.OutputFolder.empty() && options.VideoFile.empty()) {
            throw std::invalid_argument("nothing to save: give --out FOLDER, --video FILE or both");
        }
        if (!options.VideoFile.empty() && VideoCodecArguments(options.VideoFile).empty()) {
            throw std::invalid_argument("--video " + options.VideoFile +
                                        ": the movie must be a .mp4 or .webm file");
        }
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "galaxy-render: %s\n", error.what());
        return 2;
    }
    if (!options.FlightFile.empty() && !ReadRecordedFlight(options, ranges.back().Last)) {
        return 1;
    }
    return Run(options, ranges);
}
