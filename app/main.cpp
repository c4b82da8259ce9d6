// main.cpp: the viewer's entry: the test hook's setting, the quit signals, then the run.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/scene.h"
#include "app/viewer.h"
#include "app/window.h"

namespace {

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

}  // namespace

int main() {
    ViewerRun run;
    run.StartScene = InitScene;
    if (!ReadFrameLimit(run)) {
        return 2;
    }
    InstallQuitSignalHandlers();
    return RunViewer(run);
}
