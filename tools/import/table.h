// table.h: reads a catalogue table, text (CSV, TSV, ECSV) or FITS, plain or gzip-compressed,
// into a Catalogue.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tools/import/catalogue.h"
#include "tools/import/columns.h"

struct TableRequest {
    std::string path;
    ColumnOverrides overrides;
    // Told now and then how far the reading has got, from 0 to 1; may be empty.
    std::function<void(double fraction)> progress;
    // 2: a text table is split into fields on one thread and turned into stars on another;
    // 1: both on the caller's thread. The catalogue is the same either way.
    int threads = 2;
};

// Reads the table at request.path into the catalogue, whose source, frame and plan it fills
// with the path, the frame already set and the columns found. A table that starts with a FITS
// primary header is read as FITS (its first table extension), anything else as text. Rows
// without a usable position are skipped into the catalogue's skips. False, with a message in
// *error, when the table cannot be read: it cannot be opened, is corrupt or truncated, lacks the
// position columns, or holds a field longer than FieldByteLimit. The catalogue is then to be
// dropped.
bool ReadTable(const TableRequest& request, Catalogue* catalogue, std::string* error);

inline constexpr std::size_t FieldByteLimit = std::size_t{1} << 20;  // one field, or header line
inline constexpr std::size_t ColumnLimit = 4096;                     // columns in a table's header
