// export_bench.cpp: galaxy-render's export speed, frames per second over frames 1 to 600.
//
// The benchmark runs the built galaxy-render as a program, as a user would: its path comes from
// the GALAXY_RENDER environment variable, or else ../tools/galaxy-render beside this program's
// folder (the build tree's layout). galaxy-generate, found beside it, makes the sample galaxy.
// The work happens in another process, so this one's CPU time says nothing: the runs are timed on
// the wall clock (UseRealTime), which Google Benchmark marks by adding "/real_time" to the names.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr int ExportedFrames = 600;  // the first ten seconds of the orbit

// The path in single quotes for the shell. Built by appending: GCC 12 warns wrongly (-Wrestrict)
// about "literal" + std::string at -O2.
std::string Quoted(const fs::path& path) {
    std::string quoted = "'";
    quoted += path.string();
    quoted += "'";
    return quoted;
}

fs::path RenderProgram() {
    const char* configured = std::getenv("GALAXY_RENDER");
    if (configured != nullptr && *configured != '\0') {
        return configured;
    }
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return self.parent_path().parent_path() / "tools" / "galaxy-render";
}

// A scratch folder holding the default sample galaxy; removed when the program ends.
struct Scratch {
    fs::path Folder;  // empty if the galaxy could not be made
    Scratch() {
        const fs::path made = fs::temp_directory_path() /
                              fs::path("galaxy-export-bench-").concat(std::to_string(getpid()));
        fs::create_directories(made);
        std::string command = Quoted(RenderProgram().parent_path() / "galaxy-generate");
        command += " --force --out ";
        command += Quoted(made / "sample.dat");
        command += " >/dev/null 2>&1";
        Folder = std::system(command.c_str()) == 0 ? made : fs::path();
        if (Folder.empty()) {
            fs::remove_all(made);
        }
    }
    ~Scratch() {
        std::error_code error;
        fs::remove_all(Folder, error);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
};

const fs::path& ScratchFolder() {
    static const Scratch scratch;
    return scratch.Folder;
}

// Exports the frames with the given output arguments, once per iteration.
void RunExport(benchmark::State& state, const std::string& output) {
    const fs::path render = RenderProgram();
    const fs::path scratch = ScratchFolder();
    if (!fs::exists(render) || scratch.empty()) {
        std::string message = "no galaxy-render at ";
        message += render.string() + " or no sample galaxy; set GALAXY_RENDER";
        state.SkipWithError(message.c_str());
        return;
    }
    std::string command = Quoted(render);
    for (const std::string& part :
         {Quoted(scratch / "sample.dat"), "--frames 1-" + std::to_string(ExportedFrames), output}) {
        command += " ";
        command += part;
    }
    command += " >/dev/null 2>&1";
    for (auto _ : state) {
        const int status = std::system(command.c_str());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            const std::string message = std::string("failed: ") += command;
            state.SkipWithError(message.c_str());
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * ExportedFrames);
}

void ExportPng(benchmark::State& state) {
    RunExport(state, std::string("--out ") += Quoted(ScratchFolder() / "frames"));
}

void ExportVideo(benchmark::State& state) {
    RunExport(state, std::string("--video ") += Quoted(ScratchFolder() / "movie.mp4"));
}

BENCHMARK(ExportPng)->Name("Export/png")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ExportVideo)->Name("Export/video")->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
