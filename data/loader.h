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
