// table.cpp: opens a table, plain or gzip-compressed, and hands it to the FITS or the text
// reader according to its first bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/import/table_internal.h"

namespace {

constexpr unsigned CompressedBufferBytes = 1u << 18;  // zlib's input buffer
constexpr unsigned CopyBlockBytes = 1u << 20;
constexpr char FitsStart[] = "SIMPLE  =";  // every FITS file's first keyword
constexpr int FitsStartLength = sizeof FitsStart - 1;

// Decompresses the rest of `file` into a new temporary file, whose name goes to *path: cfitsio
// reads a plain file on disk, so a compressed FITS table takes disk space, not memory.
bool DecompressToTemporary(gzFile file, const std::string& source, std::string* path,
                           std::string* error) {
    const char* directory = std::getenv("TMPDIR");
    std::string name =
        std::string(directory != nullptr ? directory : "/tmp") + "/galaxy-import-XXXXXX";
    const int descriptor = mkstemp(name.data());
    if (descriptor < 0) {
        *error =
            source + ": cannot make a temporary file to decompress into: " + std::strerror(errno);
        return false;
    }
    *path = name;
    std::vector<char> block(CopyBlockBytes);
    int got = 0;
    bool written = true;
    while (written && (got = gzread(file, block.data(), CopyBlockBytes)) > 0) {
        written = write(descriptor, block.data(), static_cast<std::size_t>(got)) == got;
    }
    if (close(descriptor) != 0 || !written) {
        *error = source + ": cannot write the decompressed table to " + name + ": " +
                 std::strerror(errno);
        return false;
    }
    if (got < 0 || ReadWasCut(file)) {
        *error = ReadFailure(file, source);
        return false;
    }
    return true;
}

bool ReadCompressedFits(gzFile file, const TableRequest& request, Catalogue* catalogue,
                        std::string* error) {
    std::string temporary;
    const bool read = DecompressToTemporary(file, catalogue->source, &temporary, error) &&
                      ReadFitsTable(temporary, request, catalogue, error);
    if (!temporary.empty()) {
        unlink(temporary.c_str());
    }
    return read;
}

}  // namespace

bool ReadWasCut(gzFile file) {
    int code = Z_OK;
    gzerror(file, &code);
    return code == Z_BUF_ERROR;
}

std::string ReadFailure(gzFile file, const std::string& source) {
    int code = Z_OK;
    std::string message = gzerror(file, &code);  // for Z_ERRNO, the system's message
    if (message.rfind(source + ": ", 0) == 0) {
        message.erase(0, source.size() + 2);  // zlib names the file too
    }
    return source + ": cannot read: " + message;
}

bool ReadTable(const TableRequest& request, Catalogue* catalogue, std::string* error) {
    catalogue->source = request.path;
    struct stat info {};
    gzFile file =
        stat(request.path.c_str(), &info) == 0 ? gzopen(request.path.c_str(), "rb") : nullptr;
    if (file == nullptr) {
        *error = request.path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    gzbuffer(file, CompressedBufferBytes);
    char start[FitsStartLength];
    const int got = gzread(file, start, FitsStartLength);
    bool read = false;
    if (got < 0 || ReadWasCut(file) || gzrewind(file) != 0) {
        *error = ReadFailure(file, request.path);
    } else if (got < FitsStartLength || std::memcmp(start, FitsStart, FitsStartLength) != 0) {
        read = ReadTextTable(file, static_cast<uint64_t>(info.st_size), request, catalogue, error);
    } else if (gzdirect(file) != 0) {
        read = ReadFitsTable(request.path, request, catalogue, error);
    } else {
        read = ReadCompressedFits(file, request, catalogue, error);
    }
    gzclose(file);
    return read;
}
