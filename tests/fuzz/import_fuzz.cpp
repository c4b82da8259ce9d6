// import_fuzz.cpp: libFuzzer target: galaxy-import's table readers (CSV, TSV, ECSV, gzip and
// FITS) on any bytes, and the galaxy file written from whatever they accept, checked record by
// record against what the loader takes.
//
// The first byte chooses how the rest is presented: bit 0 gzip-compresses it first, so that
// every text and FITS input is also read through zlib; bit 1 writes ICRS positions; bit 2 maps
// ra and dec to other columns with --columns; bit 3 reads a text table on one thread, not two.
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/import/catalogue.h"
#include "tools/import/sky.h"
#include "tools/import/table.h"

namespace {

constexpr std::size_t MostDecompressedBytes = std::size_t{16} << 20;  // a gzip bomb is just slow

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "import_fuzz: %s\n", what);
        std::abort();
    }
}

std::string Gzip(const uint8_t* data, std::size_t size) {
    uLongf length = compressBound(size) + 32;
    std::string packed(length, '\0');
    z_stream stream{};
    Check(deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK, "deflate");
    stream.next_in = const_cast<uint8_t*>(data);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = reinterpret_cast<Bytef*>(packed.data());
    stream.avail_out = static_cast<uInt>(length);
    Check(deflate(&stream, Z_FINISH) == Z_STREAM_END, "deflate end");
    packed.resize(stream.total_out);
    deflateEnd(&stream);
    return packed;
}

// Whether gzip data among the bytes would expand past the cap; plain bytes never do.
bool ExpandsTooFar(const std::string& path) {
    gzFile file = gzopen(path.c_str(), "rb");
    static char block[1 << 16];
    std::size_t total = 0;
    int got = 0;
    while (total <= MostDecompressedBytes && (got = gzread(file, block, sizeof block)) > 0) {
        total += static_cast<std::size_t>(got);
    }
    gzclose(file);
    return total > MostDecompressedBytes;
}

// Every record written is "x y z tag" with values the loader keeps, CR LF after each line.
void CheckWritten(const std::string& text, std::size_t stars) {
    std::size_t records = 0;
    std::size_t at = text.find("\r\n");
    Check(text.rfind("# galaxy-import of ", 0) == 0 && at != std::string::npos, "header");
    for (at += 2; at < text.size(); ++records) {
        const std::size_t end = text.find("\r\n", at);
        Check(end != std::string::npos, "line end");
        const char* p = text.data() + at;
        for (int axis = 0; axis < 3; ++axis) {
            float value = 0.0f;
            const auto [stop, error] = std::from_chars(p, text.data() + end, value);
            Check(error == std::errc() && *stop == ' ' && InFileRange(value), "file value");
            p = stop + 1;
        }
        int tag = -1;
        const auto [stop, error] = std::from_chars(p, text.data() + end, tag);
        Check(error == std::errc() && stop == text.data() + end && tag >= 0 && tag <= 255, "tag");
        at = end + 2;
    }
    Check(records == stars, "record count");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t mode = data[0];
    const std::string bytes = (mode & 1) != 0
                                  ? Gzip(data + 1, size - 1)
                                  : std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    const int descriptor = memfd_create("table", 0);
    Check(descriptor >= 0 &&
              write(descriptor, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()),
          "memfd");
    TableRequest request;
    request.path = "/proc/self/fd/" + std::to_string(descriptor);
    request.threads = (mode & 8) != 0 ? 1 : 2;
    if ((mode & 4) != 0) {
        std::string error;
        Check(ParseColumnOverrides("ra=dec,dec=ra", &request.overrides, &error), "overrides");
    }
    if (!ExpandsTooFar(request.path)) {
        Catalogue catalogue;
        catalogue.frame = (mode & 2) != 0 ? Frame::Icrs : Frame::Galactic;
        std::string error;
        if (ReadTable(request, &catalogue, &error)) {
            Check(error.empty(), "error with success");
            LargeArray<double> distances;
            for (const ImportedStar& star : catalogue.stars) {
                distances.push_back(std::hypot(star.position.x, star.position.y, star.position.z));
            }
            const double scale = ChooseScale(distances);
            const WriteOrder order = OrderForWriting(catalogue, scale);
            char* text = nullptr;
            std::size_t length = 0;
            std::FILE* out = open_memstream(&text, &length);
            Check(WriteGalaxy(out, catalogue, order, scale, request.threads), "write");
            std::fclose(out);
            CheckWritten(std::string(text, length), order.size());
            std::free(text);
        } else {
            Check(!error.empty(), "failure without a message");
        }
    }
    close(descriptor);
    return 0;
}
