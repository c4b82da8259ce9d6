// frame_output.cpp: RGB rows from the display's pixels, and writes that retry until all is out.
#include "tools/frame_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

// Black, most of a frame, is done four pixels at a time.
void ConvertRowToRgb(const uint8_t* source, uint8_t* target, int32_t width) {
    for (int32_t column = 0; column < width;) {
        uint64_t words[2] = {1, 1};
        if (column + 4 <= width) {
            std::memcpy(words, source, sizeof words);
        }
        const int32_t pixels = (words[0] | words[1]) == 0 ? 4 : 1;
        if (pixels == 4) {
            std::memset(target, 0, 12);
        } else {
            target[0] = source[2];  // red
            target[1] = source[1];  // green
            target[2] = source[0];  // blue
        }
        column += pixels;
        source += 4 * pixels;
        target += 3 * pixels;
    }
}

bool WriteAll(int descriptor, std::span<const uint8_t> bytes) {
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t result = write(descriptor, bytes.data() + written, bytes.size() - written);
        if (result > 0) {
            written += size_t(result);
        } else if (result == 0 || errno != EINTR) {
            errno = result == 0 ? EIO : errno;
            return false;
        }
    }
    return true;
}
