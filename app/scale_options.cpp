// scale_options.cpp: --capacity, --threads and --colour, shared by galaxy-viewer and galaxy-render.
#include "app/scale_options.h"

#include <charconv>
#include <string>

#include "data/loader.h"
#include "data/parallel.h"
#include "data/star.h"

namespace {

// --capacity's value: "fit" (every record, however many) or a number of star slots.
int32_t ParseCapacity(const std::string& text) {
    if (text == "fit") {
        return FitCapacity;
    }
    int32_t slots = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, slots);
    if (text.empty() || error != std::errc{} || stop != end || slots < 1) {
        throw CLI::ValidationError("--capacity", "'" + text +
                                                     "' is neither 'fit' nor a number of stars "
                                                     "from 1 to 2147483647");
    }
    return slots;
}

}  // namespace

void AddScaleOptions(CLI::App& app, int32_t& capacity, int32_t& threads) {
    app.add_option_function<std::string>(
           "--capacity", [&capacity](const std::string& text) { capacity = ParseCapacity(text); },
           "star slots: the first N-1 records are kept and the last slot is a star at the origin; "
           "'fit': every record, plus the origin star")
        ->type_name("N|fit")
        ->default_str(std::to_string(MaxStars));
    app.add_option("--threads", threads,
                   "threads to share the work with (default: one per processor)")
        ->check(CLI::Range(1, MaxThreads));
}

void AddColourOption(CLI::App& app, bool& colour) {
    app.add_flag("--colour", colour,
                 "draw each star in the colour of its class (the galaxy file's fourth field, as "
                 "galaxy-import writes it) at the brightness it has in grey");
}
