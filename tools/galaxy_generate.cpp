// galaxy_generate.cpp: writes a sample galaxy file: a bulge, an exponential disk and two spiral
// arms.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/galaxy_model.h"

namespace {

constexpr int64_t MostStars = 100000000;  // about 4 GB of text; more is surely a mistake

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Writes a sample galaxy file for the galaxy viewer."};
    app.set_version_flag("--version", std::string("galaxy-generate ") + GALAXY_VERSION,
                         "print the version and exit");
    int64_t stars = DefaultStars;
    uint64_t seed = DefaultSeed;
    std::string out = "galaxy.dat";
    bool force = false;
    app.add_option("--stars", stars, "number of stars")->check(CLI::Range(int64_t{0}, MostStars));
    app.add_option("--seed", seed, "seed of the random generator; the same seed, the same file");
    app.add_option("--out", out, "file to write");
    app.add_flag("--force", force, "overwrite the file if it exists");
    CLI11_PARSE(app, argc, argv);

    // "x" creates the file only if it does not exist, so nothing is overwritten by accident.
    std::FILE* file = std::fopen(out.c_str(), force ? "wb" : "wbx");
    if (file == nullptr) {
        const int error = errno;
        if (error == EEXIST) {
            std::fprintf(stderr, "galaxy-generate: %s exists; use --force to overwrite it\n",
                         out.c_str());
        } else {
            std::fprintf(stderr, "galaxy-generate: cannot create %s: %s\n", out.c_str(),
                         std::strerror(error));
        }
        return 1;
    }
    const bool written = WriteGalaxy(file, stars, seed);
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "galaxy-generate: cannot write %s: %s\n", out.c_str(),
                     std::strerror(errno));
        std::remove(out.c_str());
        return 1;
    }
    return 0;
}
