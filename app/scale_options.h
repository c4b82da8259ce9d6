// scale_options.h: the options both programs share: galaxies of any size, stars in colour.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>

// Adds --capacity N|fit (star slots, into `capacity`) and --threads N (1 to MaxThreads, into
// `threads`). A bad value throws CLI11's validation error, which both programs end with exit 2.
void AddScaleOptions(CLI::App& app, int32_t& capacity, int32_t& threads);

// Adds --colour (stars in their class's colour rather than grey, into `colour`).
void AddColourOption(CLI::App& app, bool& colour);
