// galaxy_import.cpp: galaxy-import, which turns a star catalogue (CSV, TSV, ECSV or FITS, plain
// or gzip-compressed) into a galaxy file for the viewer.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/import/catalogue.h"
#include "tools/import/sky.h"
#include "tools/import/table.h"

namespace {

constexpr auto ProgressInterval = std::chrono::milliseconds(250);

// "reading 45%" on the terminal, redrawn at most a few times a second; only when standard
// error is a terminal, so logs and pipes see none of it.
struct Progress {
    bool terminal = isatty(fileno(stderr)) != 0;
    bool shown = false;
    std::chrono::steady_clock::time_point last{};

    void Show(double fraction) {
        const auto now = std::chrono::steady_clock::now();
        if (now - last < ProgressInterval) {
            return;
        }
        last = now;
        shown = true;
        const double percent = std::clamp(fraction, 0.0, 1.0) * 100.0;
        std::fprintf(stderr, "\rgalaxy-import: reading %3d%%", static_cast<int>(percent));
        std::fflush(stderr);
    }
    // A step without a measure, shown until the next Show or Erase.
    void Say(const char* what) {
        if (terminal) {
            std::fprintf(stderr, "\r\033[Kgalaxy-import: %s", what);
            std::fflush(stderr);
            shown = true;
        }
    }
    void Erase() {
        if (shown) {
            std::fputs("\r\033[K", stderr);  // back to the start of the line and clear it
            shown = false;
        }
    }
};

struct Options {
    std::string input;
    std::string out = "galaxy.dat";
    bool force = false;
    std::string frame = "galactic";
    double pcPerUnit = 0.0;  // 0: chosen from the stars
    std::string columns;
};

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// The scale to write at: the one given, or the one that puts 90% of the stars within 8 units.
double ChooseFileScale(const Catalogue& catalogue, double given) {
    if (given > 0.0) {
        return given;
    }
    LargeArray<double> distances;
    distances.reserve(catalogue.stars.size());
    for (const ImportedStar& star : catalogue.stars) {
        const SkyVector& p = star.position;
        distances.push_back(std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z));
    }
    const double scale = ChooseScale(distances);
    char text[32];
    *std::to_chars(text, text + sizeof text - 1, scale).ptr = '\0';
    std::fprintf(stderr,
                 "galaxy-import: %s pc per unit, which puts 90%% of the stars within 8 units "
                 "(--pc-per-unit sets it)\n",
                 text);
    return scale;
}

std::string ExistsMessage(const std::string& out) {
    return "galaxy-import: " + out + " exists; use --force to overwrite it";
}

// Moves the written temporary file to `out`. Without force, link() refuses an existing `out`,
// even one made meanwhile; where links are not supported, a rename after a check does.
bool Place(const std::string& temporary, const std::string& out, bool force) {
    if (force) {
        return rename(temporary.c_str(), out.c_str()) == 0;
    }
    if (link(temporary.c_str(), out.c_str()) == 0) {
        unlink(temporary.c_str());
        return true;
    }
    if (errno == EEXIST || Exists(out)) {
        errno = EEXIST;
        return false;
    }
    return rename(temporary.c_str(), out.c_str()) == 0;
}

// Writes the file to a temporary file beside `out` and moves it into place, so that a failure
// leaves nothing half-written. Returns what went wrong, or nothing.
std::string WriteInPlace(const Catalogue& catalogue, const WriteOrder& order, double scale,
                         const Options& options) {
    std::string temporary = options.out + ".XXXXXX";
    const int descriptor = mkstemp(temporary.data());
    const mode_t mask = umask(0);  // mkstemp makes the file private; give it a new file's mode
    umask(mask);
    std::FILE* file = descriptor >= 0 && fchmod(descriptor, 0666 & ~mask) == 0
                          ? fdopen(descriptor, "wb")
                          : nullptr;
    if (file == nullptr) {
        const std::string message = "galaxy-import: cannot create a file beside " + options.out +
                                    ": " + std::strerror(errno);
        if (descriptor >= 0) {
            close(descriptor);
            unlink(temporary.c_str());
        }
        return message;
    }
    const bool written = WriteGalaxy(file, catalogue, order, scale, 2);
    const int writeError = errno;
    if (std::fclose(file) != 0 || !written) {
        const std::string message = "galaxy-import: cannot write " + temporary + ": " +
                                    std::strerror(written ? errno : writeError);
        unlink(temporary.c_str());
        return message;
    }
    if (!Place(temporary, options.out, options.force)) {
        const int error = errno;
        unlink(temporary.c_str());
        return error == EEXIST ? ExistsMessage(options.out)
                               : "galaxy-import: cannot move " + temporary + " to " + options.out +
                                     ": " + std::strerror(error);
    }
    return "";
}

int Import(const Options& options) {
    TableRequest request;
    request.path = options.input;
    std::string error;
    if (!options.columns.empty() &&
        !ParseColumnOverrides(options.columns, &request.overrides, &error)) {
        std::fprintf(stderr, "galaxy-import: %s\n", error.c_str());
        return 1;
    }
    if (!options.force && Exists(options.out)) {
        std::fprintf(stderr, "%s\n", ExistsMessage(options.out).c_str());
        return 1;
    }
    Progress progress;
    if (progress.terminal) {
        request.progress = [&progress](double fraction) { progress.Show(fraction); };
    }
    Catalogue catalogue;
    catalogue.frame = options.frame == "icrs" ? Frame::Icrs : Frame::Galactic;
    const bool read = ReadTable(request, &catalogue, &error);
    progress.Erase();
    if (!read) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const double scale =
        catalogue.stars.empty() ? 1.0 : ChooseFileScale(catalogue, options.pcPerUnit);
    const WriteOrder order = OrderForWriting(catalogue, scale);
    ReportSkips(catalogue, stderr);
    if (order.empty()) {
        std::fprintf(stderr, "%s: no row with a usable position; nothing written\n",
                     catalogue.source.c_str());
        return 1;
    }
    progress.Say("writing");
    const std::string failure = WriteInPlace(catalogue, order, scale, options);
    progress.Erase();
    if (!failure.empty()) {
        std::fprintf(stderr, "%s\n", failure.c_str());
        return 1;
    }
    std::fprintf(stderr, "galaxy-import: %zu star%s written to %s, %lld row%s skipped\n",
                 order.size(), order.size() == 1 ? "" : "s", options.out.c_str(),
                 static_cast<long long>(catalogue.skipped), catalogue.skipped == 1 ? "" : "s");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Turns a star catalogue into a galaxy file for the galaxy viewer."};
    app.set_version_flag("--version", std::string("galaxy-import ") + GALAXY_VERSION,
                         "print the version and exit");
    Options options;
    app.add_option("INPUT", options.input, "CSV, TSV, ECSV or FITS table, plain or gzip-compressed")
        ->required();
    app.add_option("--out", options.out, "file to write");
    app.add_flag("--force", options.force, "overwrite the file if it exists");
    app.add_option("--frame", options.frame, "axes of the positions written")
        ->check(CLI::IsMember({"galactic", "icrs"}));
    app.add_option("--pc-per-unit", options.pcPerUnit,
                   "parsecs per file unit (default: 90% of the stars within 8 units)")
        ->check(CLI::PositiveNumber);
    app.add_option("--columns", options.columns,
                   "ROLE=COLUMN,... for roles x, y, z, ra, dec, parallax, dist, mag, colour");
    CLI11_PARSE(app, argc, argv);
    return Import(options);
}
