// scale_galaxies.h: galaxy-generate's galaxies of a million and ten million stars, which the
// frame and start-up benchmarks at scale share. Made once with the built tool found beside
// galaxy-render (GALAXY_RENDER, or the build tree's tools/ folder) and kept in the build folder
// as bench-galaxy-1M.dat and bench-galaxy-10M.dat, since the larger takes seconds to write.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace scale_galaxies {

namespace fs = std::filesystem;

// The path in single quotes for the shell, built by appending: GCC 12 warns wrongly of
// overlapping copies in `"'" + text + "'"` at -O3.
inline std::string Quoted(const fs::path& path) {
    std::string quoted = "'";
    quoted += path.string();
    quoted += "'";
    return quoted;
}

inline fs::path ToolsFolder() {
    const char* render = std::getenv("GALAXY_RENDER");
    if (render != nullptr && *render != '\0') {
        return fs::path(render).parent_path();
    }
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error).parent_path().parent_path() / "tools";
}

// galaxy-generate's galaxy of `stars` stars in the build folder, written now if it is missing
// (beside its place, then renamed, so that a run at the same time never reads half a file).
// Empty if it cannot be made.
inline fs::path ScaleGalaxy(int64_t stars, const char* label) {
    const fs::path tools = ToolsFolder();
    const fs::path path =
        tools.parent_path() / fs::path("bench-galaxy-").concat(label).concat(".dat");
    if (fs::exists(path)) {
        return path;
    }
    const fs::path staging = fs::path(path).concat(".").concat(std::to_string(getpid()));
    std::string command = Quoted(tools / "galaxy-generate");
    command += " --force --stars ";
    command += std::to_string(stars);
    command += " --out ";
    command += Quoted(staging);
    command += " >/dev/null";
    std::error_code error;
    if (std::system(command.c_str()) != 0 || !fs::exists(staging)) {
        fs::remove(staging, error);
        return {};
    }
    fs::rename(staging, path, error);
    return error ? fs::path() : path;
}

inline const fs::path& Galaxy1M() {
    static const fs::path path = ScaleGalaxy(1'000'000, "1M");
    return path;
}
inline const fs::path& Galaxy10M() {
    static const fs::path path = ScaleGalaxy(10'000'000, "10M");
    return path;
}

}  // namespace scale_galaxies
