// loader_field.cpp: the loader's exact field reader: one field byte by byte, the "%f" and "%d"
// syntax, correct rounding however long the number, and the excerpt quoted when it is bad.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "data/loader_internal.h"

namespace loader {

namespace {

constexpr std::size_t KeptDigits = 800;    // significant digits kept, far more than a float needs
constexpr int64_t ExponentLimit = 100000;  // past this, any kept mantissa is 0 or infinite
constexpr int64_t PositionLimit = int64_t{1} << 60;  // saturation bound of digit counters

bool EndsField(int c) {
    return c == EOF || FieldEnders[static_cast<unsigned char>(c)];
}

// value * 10 + digit, held at PositionLimit once it gets there.
int64_t AppendDigit(int64_t value, int c) {
    return value >= PositionLimit / 10 ? PositionLimit : value * 10 + (c - '0');
}

// Streaming recogniser of the "%f" syntax: [sign] digits [. digits] [e [sign] digits], with at
// least one mantissa digit. Keeps the leading significant digits and whether any non-zero digit
// was dropped, which is enough to round correctly however long the number is.
struct RealScanner {
    char text[KeptDigits + 32];  // "0." and the kept digits; the exponent is added at the end
    std::size_t keptCount = 0;
    bool droppedNonZero = false;
    int64_t pointPosition = 0;  // value = 0.kept x 10^(pointPosition + exponent)
    int64_t exponent = 0;
    int64_t position = 0;
    bool negative = false;
    bool exponentNegative = false;
    bool anyDigit = false;
    bool inFraction = false;
    bool inExponent = false;
    bool anyExponentDigit = false;
    bool afterExponentMark = false;
};

void AddMantissaDigit(RealScanner& scan, int c) {
    scan.anyDigit = true;
    if (scan.keptCount == 0 && c == '0') {
        if (scan.inFraction && scan.pointPosition > -PositionLimit) {
            --scan.pointPosition;  // a leading zero after the point shifts the value down
        }
        return;
    }
    if (!scan.inFraction && scan.pointPosition < PositionLimit) {
        ++scan.pointPosition;
    }
    if (scan.keptCount < KeptDigits) {
        scan.text[2 + scan.keptCount++] = static_cast<char>(c);
    } else if (c != '0') {
        scan.droppedNonZero = true;
    }
}

// Takes one character of the field; false when it breaks the syntax.
bool StepReal(RealScanner& scan, int c) {
    const bool first = scan.position++ == 0;
    const bool afterMark = scan.afterExponentMark;
    scan.afterExponentMark = false;
    if (IsDigit(c) && scan.inExponent) {
        scan.exponent = AppendDigit(scan.exponent, c);
        scan.anyExponentDigit = true;
    } else if (IsDigit(c)) {
        AddMantissaDigit(scan, c);
    } else if ((c == '+' || c == '-') && (first || afterMark)) {
        (first ? scan.negative : scan.exponentNegative) = c == '-';
    } else if (c == '.' && !scan.inFraction && !scan.inExponent) {
        scan.inFraction = true;
    } else if ((c == 'e' || c == 'E') && scan.anyDigit && !scan.inExponent) {
        scan.inExponent = true;
        scan.afterExponentMark = true;
    } else {
        return false;
    }
    return true;
}

// The common short number without building text: a mantissa of at most 7 digits and a power
// of ten up to 10^10 are both exact floats, so one float multiplication or division rounds
// correctly. False when the number is outside that range.
bool ConvertShortReal(const RealScanner& scan, int64_t power, float* magnitude) {
    static constexpr float PowersOfTen[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                              1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    const int64_t scale = power - static_cast<int64_t>(scan.keptCount);
    if (scan.keptCount > 7 || scan.droppedNonZero || scale < -10 || scale > 10) {
        return false;
    }
    int32_t mantissa = 0;
    for (std::size_t digit = 0; digit < scan.keptCount; ++digit) {
        mantissa = mantissa * 10 + (scan.text[2 + digit] - '0');
    }
    const float exact = static_cast<float>(mantissa);
    *magnitude = scale < 0 ? exact / PowersOfTen[-scale] : exact * PowersOfTen[scale];
    return true;
}

// Any other number: rounds the text "0.<kept digits>e<power>", built in the scanner, with the
// library's correctly rounding conversion.
float ConvertLongReal(RealScanner& scan, int64_t power) {
    char* const text = scan.text;
    text[0] = '0';
    text[1] = '.';
    std::size_t length = 2 + scan.keptCount;
    if (scan.droppedNonZero) {
        text[length++] = '1';  // stands for the dropped digits: keeps ties from looking exact
    }
    text[length++] = 'e';
    length = static_cast<std::size_t>(
        std::to_chars(text + length, text + sizeof scan.text, power).ptr - text);
    float magnitude = 0.0f;
    if (std::from_chars(text, text + length, magnitude).ec == std::errc::result_out_of_range) {
        magnitude = power > 0 ? HUGE_VALF : 0.0f;  // 0.d...e(power) < 1 exactly when power <= 0
    }
    return magnitude;
}

// Rounds the scanned number straight to the nearest float; false when the syntax is incomplete.
bool FinishReal(RealScanner& scan, float* value) {
    if (!scan.anyDigit || (scan.inExponent && !scan.anyExponentDigit)) {
        return false;
    }
    float magnitude = 0.0f;
    if (scan.keptCount > 0) {
        const int64_t power = std::clamp<int64_t>(
            scan.pointPosition + (scan.exponentNegative ? -scan.exponent : scan.exponent),
            -ExponentLimit, ExponentLimit);
        if (!ConvertShortReal(scan, power, &magnitude)) {
            magnitude = ConvertLongReal(scan, power);
        }
    }
    *value = scan.negative ? -magnitude : magnitude;
    return true;
}

// Streaming recogniser of the "%d" syntax: [sign] digits.
struct IntegerScanner {
    int64_t magnitude = 0;
    int64_t position = 0;
    bool negative = false;
    bool anyDigit = false;
};

bool StepInteger(IntegerScanner& scan, int c) {
    const bool first = scan.position++ == 0;
    if (IsDigit(c)) {
        scan.magnitude = AppendDigit(scan.magnitude, c);
        scan.anyDigit = true;
        return true;
    }
    if ((c == '+' || c == '-') && first) {
        scan.negative = c == '-';
        return true;
    }
    return false;
}

bool Step(RealScanner& scan, int c) {
    return StepReal(scan, c);
}
bool Step(IntegerScanner& scan, int c) {
    return StepInteger(scan, c);
}

// Reads one field, from its first character up to the character that ends it, which stays
// unread. False when the field breaks its syntax; the whole field is consumed either way.
template <typename Scanner>
bool ReadField(Reader& reader, int c, Scanner& scan, Excerpt& excerpt) {
    bool wellFormed = true;
    while (!EndsField(c)) {
        if (excerpt.characters <= ExcerptLimit) {
            AddToExcerpt(excerpt, c);
        }
        wellFormed = wellFormed && Step(scan, c);
        c = Next(reader);
    }
    if (c != EOF) {
        PutBack(reader);
    }
    return wellFormed;
}

}  // namespace

void AddToExcerpt(Excerpt& excerpt, int c) {
    if (excerpt.characters == ExcerptLimit) {
        std::memcpy(excerpt.text + excerpt.length, "...", 3);
        excerpt.length += 3;
    }
    if (excerpt.characters++ >= ExcerptLimit) {
        return;
    }
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
        excerpt.text[excerpt.length++] = static_cast<char>(c);
        return;
    }
    constexpr const char* HexDigits = "0123456789ABCDEF";
    const char escaped[4] = {'\\', 'x', HexDigits[(c >> 4) & 0xF], HexDigits[c & 0xF]};
    std::memcpy(excerpt.text + excerpt.length, escaped, sizeof escaped);
    excerpt.length += sizeof escaped;
}

bool ReadRealField(Reader& reader, int c, Excerpt& excerpt, float* value) {
    RealScanner scan;
    return ReadField(reader, c, scan, excerpt) && FinishReal(scan, value);
}

bool ReadIntegerField(Reader& reader, int c, Excerpt& excerpt, int64_t* value) {
    IntegerScanner scan;
    if (!ReadField(reader, c, scan, excerpt) || !scan.anyDigit) {
        return false;
    }
    *value = scan.negative ? -scan.magnitude : scan.magnitude;
    return true;
}

}  // namespace loader
