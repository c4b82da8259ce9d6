// loader_quick.cpp: the loader's quick path: the plain short fields of nearly every file, read
// straight from the block eight bytes at a time, giving bit for bit what loader_field.cpp gives.
#include <algorithm>
#include <bit>
#include <cstring>

#include "data/loader_internal.h"

namespace loader {

namespace {

constexpr std::size_t QuickFieldBytes = 24;    // bytes the quick path may look at, and more
constexpr std::size_t QuickRecordBytes = 128;  // bytes a quick record may span

// Marks the bytes of `bytes` (one character per byte) that are not ASCII digits: the mark of a
// byte lies within that byte and is non-zero exactly when the byte is not '0' to '9'.
// x = byte ^ 0x30 takes '0' to '9' (0x30 to 0x39) to 0 to 9: high nibble clear, low nibble at
// most 9. Any other byte has a high-nibble bit set in x, which the mask 0xF0 keeps, or a low
// nibble of 10 to 15. Adding 6 to the low nibbles alone sets bit 4 of a byte exactly when its
// low nibble is 10 or more, and, at most 15 + 6 = 21, never carries into the next byte; the mask
// 0x10 keeps that bit.
uint64_t NonDigitBytes(uint64_t bytes) {
    const uint64_t x = bytes ^ 0x3030303030303030u;
    return (x & 0xF0F0F0F0F0F0F0F0u) |
           (((x & 0x0F0F0F0F0F0F0F0Fu) + 0x0606060606060606u) & 0x1010101010101010u);
}

}  // namespace

// The lowest marked byte is the first character that is not a digit.
int LeadingDigits(uint64_t bytes) {
    const uint64_t marks = NonDigitBytes(bytes);
    return marks == 0 ? 8 : std::countr_zero(marks) / 8;
}

// The shift moves the `count` digits to the top bytes, so that zeros fill in below them as
// leading digits: byte k (bits 8k to 8k + 7) then holds digit d_k of the 8-digit number
// d_0 d_1 ... d_7 (d_0 the most significant, in the lowest byte), and the mask takes each ASCII
// digit to its value. Each multiplication by B * 2^w + 1 adds to every w-bit lane B times the
// lane below it, all lanes at once; no sum reaches 2^w, so no carry crosses a lane, and what
// would go past bit 63 falls off. The shift right by w then moves each sum down one lane:
// - 2561 = 10 * 2^8 + 1: byte k gets d_k + 10 d_(k-1), at most 99 < 2^8; after >> 8, bytes 0,
//   2, 4 and 6 (bits 0-7, 16-23, 32-39, 48-55) hold the pairs 10 d_0 + d_1, 10 d_2 + d_3,
//   10 d_4 + d_5 and 10 d_6 + d_7; the odd bytes hold leftovers, which the next mask clears.
// - 6553601 = 100 * 2^16 + 1: on those pairs p_0 .. p_3, one in each 16-bit lane, lane j gets
//   p_j + 100 p_(j-1), at most 9999 < 2^16; after >> 16, lanes 0 and 2 (bits 0-15 and 32-47)
//   hold the groups of four digits 100 p_0 + p_1 and 100 p_2 + p_3, lanes 1 and 3 leftovers.
// - 42949672960001 = 10000 * 2^32 + 1: on those groups q_0 and q_1, in bits 0-31 and 32-63,
//   bits 32-63 get q_1 + 10000 q_0, at most 99999999 < 2^32 (10000 q_1 falls off the top);
//   >> 32 leaves just that in bits 0-31: the value of all eight digits.
uint64_t DigitsValue(uint64_t bytes, int count) {
    if (count == 0) {
        return 0;
    }
    bytes = (bytes << (8 * (8 - count))) & 0x0F0F0F0F0F0F0F0Fu;
    bytes = (bytes * 2561) >> 8;
    bytes = ((bytes & 0x00FF00FF00FF00FFu) * 6553601) >> 16;
    return ((bytes & 0x0000FFFF0000FFFFu) * 42949672960001u) >> 32;
}

// digits / 10^fraction (digits below 10^7, fraction 0 to 7) rounded once to float, as the float
// division float(digits) / 10^fraction rounds it (both operands exact), but by one
// multiplication in double: the product lies within about two double ulps of the true quotient,
// so the two could round apart only where the quotient lies that close to a midpoint between
// two floats. None of these 8 x 10^7 quotients does: data_test compares every one of them
// with the float division, bit for bit.
float QuotientToFloat(uint64_t digits, int fraction) {
    static constexpr double Reciprocals[8] = {1e0, 1e-1, 1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7};
    return static_cast<float>(static_cast<double>(digits) * Reciprocals[fraction]);
}

namespace {

// The plain short field of nearly every file, read straight from the block: [sign] digits
// [. digits], at most 7 digits in all, within the 8 bytes after the sign (and a field end
// right after them). For x, y and z the value is below 10^7, so that digits / 10^fraction has
// exact operands and rounds correctly in one step, as in the exact path's ConvertShortReal. text
// must have QuickFieldBytes readable bytes. Returns the length of the field, or 0 when it is
// anything else, which the exact path then reads.
[[gnu::always_inline]] inline std::size_t ScanQuickField(const unsigned char* text, bool real,
                                                         float* value, int64_t* integer) {
    if constexpr (std::endian::native != std::endian::little) {
        return 0;  // the digit arithmetic takes the first character as the lowest byte
    }
    if (!real && IsDigit(text[0]) && FieldEnders[text[1]]) {
        *integer = text[0] - '0';  // the one-digit tag of most files
        return 1;
    }
    const bool negative = *text == '-';
    const unsigned char* const p = text + (*text == '-' || *text == '+' ? 1 : 0);
    uint64_t bytes = 0;
    std::memcpy(&bytes, p, sizeof bytes);
    const int whole = LeadingDigits(bytes);
    int count = whole;  // digits in all
    int fraction = 0;
    const unsigned char* end = p + whole;
    if (real && whole < 8 && p[whole] == '.') {
        // Drops the point: the bytes after it move down one place, so that the digits on
        // both sides form one run (ending at the latest at the zero byte shifted in on top).
        const uint64_t low = (uint64_t{1} << (8 * whole)) - 1;
        bytes = (bytes & low) | ((bytes >> 8) & ~low);
        count = LeadingDigits(bytes);
        fraction = count - whole;
        end = p + count + 1;
    }
    const uint64_t digits = DigitsValue(bytes, count);
    if (count == 0 || count == 8 || !FieldEnders[*end] ||
        digits >= (real ? 10000000u : 1000000000u)) {
        return 0;
    }
    if (real) {
        // The sign bit set without a branch: signs come at random in real data, and a branch
        // on them was mispredicted every other field.
        const uint32_t sign = static_cast<uint32_t>(negative) << 31;
        *value =
            std::bit_cast<float>(std::bit_cast<uint32_t>(QuotientToFloat(digits, fraction)) ^ sign);
    } else {
        *integer = negative ? -static_cast<int64_t>(digits) : static_cast<int64_t>(digits);
    }
    return static_cast<std::size_t>(end - text);
}

const Excerpt NoExcerpt{};  // for quick tags, which are never rejected

// The excerpt of a quick field, needed only when its value is rejected.
Excerpt QuickExcerpt(float value, const unsigned char* text, std::size_t length) {
    Excerpt excerpt;
    if (!HasCellKey(value)) {
        for (std::size_t at = 0; at < length && excerpt.characters <= ExcerptLimit; ++at) {
            AddToExcerpt(excerpt, text[at]);
        }
    }
    return excerpt;
}

// True when at least `count` unread bytes are buffered, refilling the buffer once if not.
bool HasBytesAhead(Reader& reader, std::size_t count) {
    if (reader.end - reader.position < count) {
        Refill(reader);
    }
    return reader.end - reader.position >= count;
}

}  // namespace

// The last few bytes of a file always take the exact path.
bool TakeQuickField(LoadState& state) {
    Reader& reader = state.reader;
    if (!HasBytesAhead(reader, QuickFieldBytes)) {
        return false;
    }
    const unsigned char* const text = reader.bytes + reader.position;
    const bool real = state.fieldCount < 3;
    float value = 0.0f;
    int64_t integer = 0;
    const std::size_t length = ScanQuickField(text, real, &value, &integer);
    if (length == 0) {
        return false;
    }
    reader.position += length;
    if (real) {
        TakeCoordinate(state, value, QuickExcerpt(value, text, length));
    } else {
        TakeTag(state, integer, NoExcerpt);
    }
    return true;
}

namespace {

// A whole record of four plain short fields apart by blanks, with QuickRecordBytes buffered:
// gives what taking the fields one by one gives, without a trip through the separator loop for
// each.
bool TakeOneQuickRecord(LoadState& state) {
    Reader& reader = state.reader;
    const unsigned char* const last = reader.bytes + reader.end;
    const unsigned char* starts[4];
    std::size_t lengths[4];
    float values[3];
    int64_t tag = 0;
    const unsigned char* p = reader.bytes + reader.position;
    // Scans field `field` at p (after the blanks before it); false if it is not a quick one.
    const auto scan = [&](std::size_t field, bool real, float* value) {
        while (field > 0 && p != last && Blanks[*p]) {
            ++p;
        }
        starts[field] = p;
        lengths[field] = last - p < static_cast<std::ptrdiff_t>(QuickFieldBytes)
                             ? 0
                             : ScanQuickField(p, real, value, &tag);
        p += lengths[field];
        return lengths[field] != 0;
    };
    if (!scan(0, true, &values[0]) || !scan(1, true, &values[1]) || !scan(2, true, &values[2]) ||
        !scan(3, false, nullptr)) {
        return false;
    }
    reader.position = static_cast<std::size_t>(p - reader.bytes);
    state.fieldLine = state.line;
    if (HasCellKey(values[0]) && HasCellKey(values[1]) && HasCellKey(values[2])) {
        // A sound record, completed as the fourth EndField would.
        std::copy(values, values + 3, state.coordinates);
        state.tag = static_cast<int32_t>(tag);
        ++state.passes;
        StoreRecord(state);
        return true;
    }
    for (std::size_t field = 0; field < 3; ++field) {
        TakeCoordinate(state, values[field],
                       QuickExcerpt(values[field], starts[field], lengths[field]));
    }
    TakeTag(state, tag, NoExcerpt);
    return true;
}

// Takes the line end (LF or CR LF) right after a record, counting the line, when a whole quick
// record's bytes are buffered after it: what the separator loop would do with it.
bool TakeLineEndBeforeRecord(LoadState& state) {
    Reader& reader = state.reader;
    if (reader.end - reader.position < 2 + QuickRecordBytes) {
        return false;
    }
    const unsigned char* const p = reader.bytes + reader.position;
    const std::size_t ending = p[0] == '\n' ? 1 : p[0] == '\r' && p[1] == '\n' ? 2 : 0;
    if (ending == 0) {
        return false;
    }
    reader.position += ending;
    ++state.line;
    return true;
}

}  // namespace

// Records usually follow one another a line each: they are read on, line end and all, for as
// long as they do, and the separator loop takes over at anything else.
bool TakeQuickRecord(LoadState& state) {
    if (!HasBytesAhead(state.reader, QuickRecordBytes) || !TakeOneQuickRecord(state)) {
        return false;
    }
    while (TakeLineEndBeforeRecord(state) && TakeOneQuickRecord(state)) {
    }
    return true;
}

}  // namespace loader
