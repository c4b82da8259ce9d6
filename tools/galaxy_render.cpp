// galaxy_render.cpp: galaxy-render, the viewer's frames drawn without a screen and saved as PNG.
#define SDL_MAIN_HANDLED  // an ordinary main: the tool has no window
#include <SDL.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/scene.h"
#include "data/cells.h"
#include "display/memory_display.h"
#include "render/frame.h"
#include "render/frame_rate.h"
#include "view/cache.h"

namespace {

constexpr int32_t LastFrameNumber = 999999;  // six digits in the file names

int64_t SimulatedFrame = 0;  // the frame being drawn; 0 during start-up

// One frame every 1/60 s, start-up taking none; whole milliseconds from integers only, so
// every run of 51 frames lasts exactly 850 ms.
TimeStamp SimulatedClock() {
    const int64_t milliseconds = SimulatedFrame * 1000 / 60;
    return TimeStamp{static_cast<int32_t>(milliseconds / 1000),
                     static_cast<uint16_t>(milliseconds % 1000)};
}

int32_t ParseFrameNumber(const std::string& text, const std::string& item) {
    int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end || value < 1 ||
        value > LastFrameNumber) {
        throw std::invalid_argument("bad frame \"" + item +
                                    "\": frames are whole numbers from 1 to " +
                                    std::to_string(LastFrameNumber));
    }
    return value;
}

// "1,2,50-60,2070" as a table: wanted[k] is true for every listed frame k.
std::vector<bool> ParseFrameList(const std::string& list) {
    std::vector<bool> wanted;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        const std::string item = list.substr(start, comma - start);
        if (item.empty()) {
            throw std::invalid_argument("empty entry in the frame list \"" + list + "\"");
        }
        const size_t dash = item.find('-');
        const int32_t first = ParseFrameNumber(item.substr(0, dash), item);
        const int32_t last =
            dash == std::string::npos ? first : ParseFrameNumber(item.substr(dash + 1), item);
        if (last < first) {
            throw std::invalid_argument("bad frame range \"" + item + "\": it runs backwards");
        }
        wanted.resize(std::max(wanted.size(), size_t(last) + 1), false);
        for (int32_t frame = first; frame <= last; ++frame) {
            wanted[size_t(frame)] = true;
        }
        start = comma + 1;
    }
    return wanted;
}

struct Options {
    std::string GalaxyFile;
    std::string FrameList;
    std::string OutputFolder;
    bool Stats = false;
};

// Reports a galaxy file that cannot be read; the scene then has every star at the origin.
void WarnIfUnreadable(const std::string& file) {
    std::FILE* stream = std::fopen(file.c_str(), "rb");
    if (stream == nullptr) {
        std::fprintf(stderr,
                     "galaxy-render: cannot read %s (%s); drawing every star at the origin, as "
                     "the viewer would\n",
                     file.c_str(), std::strerror(errno));
        return;
    }
    std::fclose(stream);
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
class Progress {
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

// Draws frames 1 to the last wanted one, saving and describing the wanted ones.
bool RenderFrames(const Options& options, const std::vector<bool>& wanted) {
    const std::filesystem::path folder(options.OutputFolder);
    Progress progress;
    for (size_t frame = 1; frame < wanted.size(); ++frame) {
        SimulatedFrame = static_cast<int64_t>(frame);
        RenderFrame();
        if (wanted[frame]) {
            char name[32];
            std::snprintf(name, sizeof name, "frame-%06zu.png", frame);
            const std::string path = (folder / name).string();
            if (!SaveFrontBufferPng(path.c_str())) {
                std::fprintf(stderr, "galaxy-render: cannot write %s: %s\n", path.c_str(),
                             SDL_GetError());
                return false;
            }
            if (options.Stats) {
                std::printf("frame %zu: cells %d, reprojected %d, drawn %d\n", frame, CellCount,
                            FlaggedCellCount(), DrawnStarCount());
            }
        }
        progress.Update(frame, wanted.size() - 1);
    }
    progress.Finish();
    return true;
}

int Run(const Options& options, const std::vector<bool>& wanted) {
    WarnIfUnreadable(options.GalaxyFile);
    if (!MakeOutputFolder(options.OutputFolder)) {
        return 1;
    }
    SetFrameRateClock(SimulatedClock);
    SimulatedFrame = 0;
    int status = 1;
    if (InitDisplay(nullptr, MemoryDisplayWidth, MemoryDisplayHeight, 32) != DisplayOk) {
        std::fprintf(stderr, "galaxy-render: cannot set up the display: %s\n", DisplayErrorText());
    } else if (InitScene(options.GalaxyFile.c_str())) {
        if (options.Stats) {
            std::printf("\n");  // ends the loader's line of comment dots: one line per frame
        }
        status = RenderFrames(options, wanted) ? 0 : 1;
    }
    ShutdownDisplay();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Draws the viewer's frames without a screen and saves them as PNG pictures.\n"
        "Frame k is the k-th frame the viewer would show; the clock runs at 60 frames a second."};
    Options options;
    app.add_option("FILE", options.GalaxyFile, "galaxy file to draw, in place of galaxy.dat")
        ->required();
    app.add_option("--frames", options.FrameList,
                   "frames to save: numbers and ranges, such as 1,2,50-60,2070")
        ->required();
    app.add_option("--out", options.OutputFolder, "folder for frame-NNNNNN.png, made if missing")
        ->required();
    app.add_flag("--stats", options.Stats,
                 "print 'frame K: cells C, reprojected R, drawn D' for each saved frame");
    CLI11_PARSE(app, argc, argv);

    std::vector<bool> wanted;
    try {
        wanted = ParseFrameList(options.FrameList);
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "galaxy-render: %s\n", error.what());
        return 2;
    }
    return Run(options, wanted);
}
