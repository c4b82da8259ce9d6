// loader.h: reads a galaxy text file into star positions and tags.
#pragma once

#include <cstdint>
#include <cstdio>

#include "data/star.h"

// Reads fileName into stars[0, capacity) and tags[0, capacity), taking every stride-th record.
// Writes the header text and one "." per comment to standard output, diagnostics to standard
// error. Returns the number of records read (stored or not), or 0 if the file cannot be opened.
int32_t LoadGalaxy(Star* stars, uint8_t* tags, const char* fileName, int32_t capacity,
                   int32_t stride);

// Reads the rest of a header line (without its leading '#') into buffer[0, limit], ending it
// with a line feed and a NUL; buffer must hold limit + 2 bytes.
void ReadHeaderLine(std::FILE* stream, char* buffer, int32_t limit);

// Discards the rest of a comment line, its line end included.
void SkipComment(std::FILE* stream);
