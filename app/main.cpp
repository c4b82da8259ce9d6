// main.cpp: the viewer's entry: the options, the test hook's setting, the quit signals, the run.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/galaxy_file.h"
#include "app/scale_options.h"
#include "app/scene.h"
#include "app/viewer.h"
#include "app/window.h"
#include "data/loader.h"
#include "data/parallel.h"
#include "render/frame.h"

namespace {

std::string GalaxyFile;  // the FILE argument; empty for the default galaxy.dat
std::string FlightFile;  // --record's file; empty for none

// Test hook, off unless GALAXY_VIEWER_FRAMES is set: the run ends normally after that many
// frames (0: never) and reports its frames on standard error.
bool ReadFrameLimit(ViewerRun& run) {
    const char* value = std::getenv("GALAXY_VIEWER_FRAMES");
    if (value == nullptr) {
        return true;
    }
    char* end = nullptr;
    errno = 0;
    long long limit = std::strtoll(value, &end, 10);
    if (end == value || *end != '\0' || errno != 0 || limit < 0) {
        std::fprintf(stderr, "galaxy-viewer: GALAXY_VIEWER_FRAMES must be a count, not '%s'\n",
                     value);
        return false;
    }
    run.FrameLimit = limit;
    run.ReportFrames = true;
    return true;
}

// Reads the options into run and the thread count; returns -1 to run the viewer, otherwise the
// exit code: 0 after --help or --version (nothing else done, no display opened), 2 after an
// unknown option or argument or a bad value, told on standard error with the usage, 1 when a
// galaxy file named on the command line cannot be read.
int ReadOptions(int argc, char** argv, ViewerRun& run) {
    CLI::App app{
        "Flies a camera around a galaxy file (galaxy.dat in the working folder unless FILE is "
        "given), full screen. Escape, closing the window, Ctrl+C or SIGTERM end it."};
    app.set_help_flag("--help", "print this help and exit");
    app.set_version_flag("--version", std::string("galaxy-viewer ") + GALAXY_VERSION,
                         "print the version and exit");
    app.add_option("FILE", GalaxyFile,
                   "galaxy file to fly around; one named here must be readable, while a missing "
                   "galaxy.dat only leaves the galaxy empty")
        ->default_str("galaxy.dat");
    app.add_option("--record", FlightFile,
                   "record the camera of every frame drawn in this flight file, replaced if it "
                   "exists (galaxy-render --path replays it)")
        ->type_name("PATH");
    app.add_flag("--window", run.Windowed,
                 "start in a resizable 800x600 window rather than full screen (F11 switches)");
    bool colour = false;
    AddColourOption(app, colour);
    int32_t threads = ProcessorCount();
    AddScaleOptions(app, run.Scene.Capacity, threads);
    app.failure_message(CLI::FailureMessage::help);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : 2;
    }
    if (!GalaxyFile.empty()) {
        if (std::string error; !GalaxyFileReadable(GalaxyFile, error)) {
            std::fprintf(stderr, "galaxy-viewer: %s\n", error.c_str());
            return 1;
        }
        run.Scene.GalaxyFile = GalaxyFile.c_str();
    }
    if (!FlightFile.empty()) {
        run.RecordPath = FlightFile.c_str();
    }
    SetStarColours(colour);
    SetThreadCount(threads);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    ViewerRun run;
    run.StartScene = StartScene;
    if (const int exitCode = ReadOptions(argc, argv, run); exitCode >= 0) {
        return exitCode;
    }
    if (!ReadFrameLimit(run)) {
        return 2;
    }
    InstallQuitSignalHandlers();
    return RunViewer(run);
}
