// table_internal.h: the two table readers that ReadTable chooses between.
#pragma once

#include <zlib.h>

#include <string>

#include "tools/import/table.h"

// Whether zlib stopped at the end of the file inside compressed data. gzread ends such a file
// as if it were whole (so that a growing file can be read on), leaving Z_BUF_ERROR behind.
bool ReadWasCut(gzFile file);

// The message for a failed or cut read of the (possibly compressed) file.
std::string ReadFailure(gzFile file, const std::string& source);

// Reads a text table from `file`, positioned at its start; fileBytes, the size of the file on
// disk, measures progress.
bool ReadTextTable(gzFile file, uint64_t fileBytes, const TableRequest& request,
                   Catalogue* catalogue, std::string* error);

// Reads the first table extension of the FITS file at diskPath, a plain file name that is not
// taken apart as cfitsio's extended file-name syntax.
bool ReadFitsTable(const std::string& diskPath, const TableRequest& request, Catalogue* catalogue,
                   std::string* error);
