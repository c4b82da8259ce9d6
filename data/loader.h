// loader.h: reads a galaxy text file into star positions and tags.
#pragma once

#include <cstdint>
#include <cstdio>

#include "data/star.h"

// Reads fileName into stars[0, capacity) and tags[0, capacity), taking every stride-th sound
// record starting with the first (a stride below 1 takes them all). Writes the header text and
// one "." per comment to standard output, diagnostics to standard error. Returns the number of
// complete records read (stored or not), or 0 if the file cannot be opened.
//
// A record is x y z (the "%f" syntax, rounded once to float, times FileUnit in double) and a
// tag (the "%d" syntax; its low 8 bits are kept). A line with a malformed field is skipped from
// that field on; a record cut short by a comment or the end of the file is dropped; a record
// with a file value outside (-21476, 21475), an infinite one, or a tag outside 32 bits is read
// but not stored. When capacity or more records are selected, the first capacity - 1 are kept
// and the last slot is set back to the origin.
int32_t LoadGalaxy(Star* stars, uint8_t* tags, const char* fileName, int32_t capacity,
                   int32_t stride);

// LoadGalaxy on an open stream, named fileName in diagnostics, with the header and dots going
// to out and diagnostics to err. Reads the stream in blocks of its own: the stream's position
// afterwards is unspecified. Not reentrant.
int32_t LoadGalaxyFromStream(Star* stars, uint8_t* tags, std::FILE* stream, const char* fileName,
                             int32_t capacity, int32_t stride, std::FILE* out, std::FILE* err);

// LoadStars' capacity that keeps every record: one slot per sound record, plus the origin star.
inline constexpr int32_t FitCapacity = 0;

enum class LoadStatus { Loaded, OutOfMemory, Stopped };

// Sizes StarArray and StarTag to `capacity` slots (FitCapacity: one more than the file's sound
// records) and loads fileName into them, all records selected: the same stars, tags, output and
// diagnostics, byte for byte, as LoadGalaxy into arrays of that many slots. A large regular file
// is read in parts at once, one per thread (parallel.h); a pipe in one pass. Stops early, with
// nothing more written, when a stop is requested (startup.h). passes gets LoadGalaxy's result.
// OutOfMemory leaves the arrays empty, after saying so on standard error.
LoadStatus LoadStars(const char* fileName, int32_t capacity, int32_t* passes);
