// loader_test.cpp: the galaxy file loader on well-formed, awkward and damaged files.
#include "tests/loader_test.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

const std::string Header = "#abc\r\n";

void ExpectStar(int slot, double x, double y, double z, int tag) {
    SCOPED_TRACE("slot " + std::to_string(slot));
    EXPECT_EQ(StarArray[slot].x, x);
    EXPECT_EQ(StarArray[slot].y, y);
    EXPECT_EQ(StarArray[slot].z, z);
    EXPECT_EQ(StarTag[slot], tag);
}

TEST(LoaderBasics, MissingFileLeavesEverythingAtOriginAndSaysWhy) {
    TempPath missing;
    const LoadOutcome outcome = LoadPath(missing.path);
    EXPECT_EQ(outcome.passes, 0);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, missing.path.string() + ": cannot open: No such file or directory\n");
    EXPECT_EQ(CountStoredStars(), 0);
}

TEST(LoaderBasics, EmptyFileAndHeaderOnly) {
    const LoadOutcome empty = LoadBytes("");
    EXPECT_EQ(empty.passes, 0);
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(empty.err, "");

    EXPECT_EQ(LoadBytes("#only a header\r\n").out, "only a header\n");
    const LoadOutcome unended = LoadBytes("#no line end");
    EXPECT_EQ(unended.out, "no line end\n");
    EXPECT_EQ(unended.err, "");
}

TEST(LoaderBasics, HeaderThenCommentDotsAndRecordValues) {
    const LoadOutcome outcome =
        LoadBytes("#abc\r\n#def\r\n1.5 -2 0.25 7\r\n1 1 1 300\r\n2 2 2 -1\r\n");
    EXPECT_EQ(outcome.out, "abc\n.");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.passes, 3);
    ExpectStar(0, 150000.0, -200000.0, 25000.0, 7);
    EXPECT_EQ(StarTag[1], 44);
    EXPECT_EQ(StarTag[2], 255);
    ExpectStar(3, 0.0, 0.0, 0.0, 0);  // nothing stored twice after the final line end
}

TEST(LoaderBasics, ValuesRoundOnceToFloatThenScaleInDouble) {
    LoadBytes(Header + "0.1 1.0000000596046447753906251 -0.1 0\r\n");
    EXPECT_EQ(StarArray[0].x, 10000.000149011612);
    // Just above a midpoint between two floats: rounding through double would land on the
    // midpoint and then round to even (1.0); the direct rounding goes up.
    EXPECT_EQ(StarArray[0].y, 1.0000001192092896 * 100000.0);
    EXPECT_EQ(StarArray[0].z, -10000.000149011612);
}

TEST(LoaderBasics, RealSyntaxVariantsAreAccepted) {
    const LoadOutcome outcome = LoadBytes(Header + "+1. .5 -.25e1 +12\r\n1E+1 2e-1 3.0E0 -0\r\n");
    EXPECT_EQ(outcome.err, "");
    ExpectStar(0, 100000.0, 50000.0, -250000.0, 12);
    ExpectStar(1, 1000000.0, static_cast<double>(0.2f) * 100000.0, 300000.0, 0);
}

TEST(LoaderRecords, FirstRecordKeptAndStrideSelectsFromIt) {
    std::string text = Header;
    for (int record = 0; record < 7; ++record) {
        text += std::to_string(record + 1) + " 0 0 " + std::to_string(record) + "\r\n";
    }
    EXPECT_EQ(LoadBytes(text).passes, 7);
    ExpectStar(0, 100000.0, 0.0, 0.0, 0);
    EXPECT_EQ(CountStoredStars(), 7);

    EXPECT_EQ(LoadBytes(text, MaxStars, 3).passes, 7);
    ExpectStar(0, 100000.0, 0.0, 0.0, 0);
    ExpectStar(1, 400000.0, 0.0, 0.0, 3);
    ExpectStar(2, 700000.0, 0.0, 0.0, 6);
    EXPECT_EQ(CountStoredStars(), 3);
}

TEST(LoaderRecords, LastRecordWithOrWithoutLineEnd) {
    EXPECT_EQ(LoadBytes(Header + "1 2 3 4").passes, 1);
    ExpectStar(0, 100000.0, 200000.0, 300000.0, 4);
    EXPECT_EQ(LoadBytes(Header + "1 2 3 4\r\n  \r\n# trailing\r\n").passes, 1);
    EXPECT_EQ(CountStoredStars(), 1);
}

TEST(LoaderRecords, LineEndStylesReadAlike) {
    for (const std::string end : {"\r\n", "\n", "\r"}) {
        SCOPED_TRACE("line end " + std::to_string(end.size()));
        const LoadOutcome outcome = LoadBytes("#abc" + end + "#def" + end + "1 2 3 4" + end +
                                              "# x" + end + "5 6 7 8" + end);
        EXPECT_EQ(outcome.out, "abc\n..");
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.passes, 2);
        ExpectStar(1, 500000.0, 600000.0, 700000.0, 8);
    }
}

TEST(LoaderRecords, AllWhiteSpaceSeparatesAndRecordsMaySpanLines) {
    const LoadOutcome outcome = LoadBytes(Header + "1\t2\v3\f4\t# note\r\n5\r\n6 7\r\n\t8\r\n");
    EXPECT_EQ(outcome.out, "abc\n.");
    EXPECT_EQ(outcome.err, "");
    ExpectStar(0, 100000.0, 200000.0, 300000.0, 4);
    ExpectStar(1, 500000.0, 600000.0, 700000.0, 8);
}

TEST(LoaderRecords, FirstCharacterIsNotLostWithoutHeaderOrAfterBareReturn) {
    EXPECT_EQ(LoadBytes("12 3 4 5\r\n").out, "");
    ExpectStar(0, 1200000.0, 300000.0, 400000.0, 5);
    EXPECT_EQ(LoadBytes("#h\r12 3 4 5\r\n").out, "h\n");
    ExpectStar(0, 1200000.0, 300000.0, 400000.0, 5);
}

TEST(LoaderRecords, LongHeaderIsCutAt254Characters) {
    const std::string text(300, 'h');
    const LoadOutcome outcome = LoadBytes("#" + text + "\r\n1 2 3 4\r\n");
    EXPECT_EQ(outcome.out, text.substr(0, 254) + "\n");
    EXPECT_EQ(outcome.passes, 1);
    ExpectStar(0, 100000.0, 200000.0, 300000.0, 4);
}

TEST(LoaderDamage, JunkLinesAreSkippedWithoutShiftingLaterRecords) {
    const LoadOutcome outcome = LoadBytes(Header +
                                          "1 1 1 1\r\n"
                                          "abc 2 2 2\r\n"
                                          "3 3 3 7.0 9 9\r\n"
                                          "4 1.5abc 4 4\r\n"
                                          "5 5 # cut\r\n"
                                          "6 6 6 6\r\n"
                                          "7 7\r\n\r\n");
    EXPECT_EQ(outcome.out, "abc\n.");
    EXPECT_EQ(outcome.err,
              "galaxy.dat:3: x field \"abc\" is not a decimal number; line skipped\n"
              "galaxy.dat:4: tag field \"7.0\" is not a decimal integer; line skipped\n"
              "galaxy.dat:5: y field \"1.5abc\" is not a decimal number; line skipped\n"
              "galaxy.dat:6: record cut short by a comment after its y field\n"
              "galaxy.dat:8: record cut short by the end of the file after its y field\n");
    EXPECT_EQ(outcome.passes, 2);
    ExpectStar(0, 100000.0, 100000.0, 100000.0, 1);
    ExpectStar(1, 600000.0, 600000.0, 600000.0, 6);
    EXPECT_EQ(CountStoredStars(), 2);
}

TEST(LoaderDamage, MalformedNumbersAreNotNumbers) {
    for (const char* field : {"nan", "inf", "-", "+", ".", "e5", "1e", "1e+", "1..2", "1e5.0",
                              "0x10", "1-2", "--1", "1e--2", "1,5"}) {
        SCOPED_TRACE(field);
        const LoadOutcome outcome = LoadBytes(Header + field + " 1 1 1\r\n2 2 2 2\r\n");
        EXPECT_EQ(outcome.err, "galaxy.dat:2: x field \"" + std::string(field) +
                                   "\" is not a decimal number; line skipped\n");
        ExpectStar(0, 200000.0, 200000.0, 200000.0, 2);
        EXPECT_EQ(outcome.passes, 1);
    }
}

TEST(LoaderDamage, ValuesWithoutCellKeyAreRejected) {
    const LoadOutcome outcome = LoadBytes(Header +
                                          "21475 0 0 1\r\n"
                                          "0 -21476 0 2\r\n"
                                          "0 0 1e39 3\r\n"
                                          "21474.998 -21475.99 0 4\r\n");
    EXPECT_EQ(outcome.err,
              "galaxy.dat:2: x value \"21475\" is outside the range -21476 to 21475 (exclusive)\n"
              "galaxy.dat:3: y value \"-21476\" is outside the range -21476 to 21475 (exclusive)\n"
              "galaxy.dat:4: z value \"1e39\" is too large for a float\n");
    EXPECT_EQ(outcome.passes, 4);  // rejected records were read all the same
    ExpectStar(0, static_cast<double>(21474.998f) * 100000.0,
               static_cast<double>(-21475.99f) * 100000.0, 0.0, 4);
    EXPECT_EQ(CountStoredStars(), 1);
}

TEST(LoaderDamage, TagsOutsideInt32AreRejected) {
    const LoadOutcome outcome = LoadBytes(Header +
                                          "1 1 1 2147483648\r\n"
                                          "2 2 2 -2147483649\r\n"
                                          "3 3 3 99999999999999999999999\r\n"
                                          "4 4 4 2147483647\r\n"
                                          "5 5 5 -2147483648\r\n"
                                          "6 6 6 +0000000000000000000000000000042\r\n");
    EXPECT_EQ(
        outcome.err,
        "galaxy.dat:2: tag value \"2147483648\" does not fit in a 32-bit integer\n"
        "galaxy.dat:3: tag value \"-2147483649\" does not fit in a 32-bit integer\n"
        "galaxy.dat:4: tag value \"99999999999999999999999\" does not fit in a 32-bit integer\n");
    ExpectStar(0, 400000.0, 400000.0, 400000.0, 255);
    ExpectStar(1, 500000.0, 500000.0, 500000.0, 0);
    ExpectStar(2, 600000.0, 600000.0, 600000.0, 42);
}

TEST(LoaderDamage, AtMostTwentyDamagedLinesAreListed) {
    std::string text = Header;
    for (int line = 0; line < 25; ++line) {
        text += "bad\r\n";
    }
    const LoadOutcome outcome = LoadBytes(text + "1 2 3 4\r\n");
    EXPECT_NE(outcome.err.find("galaxy.dat:21: x field"), std::string::npos);
    EXPECT_EQ(outcome.err.find("galaxy.dat:22:"), std::string::npos);
    EXPECT_NE(outcome.err.find("galaxy.dat: 5 more damaged lines not shown\n"), std::string::npos);
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 21);
    EXPECT_EQ(outcome.passes, 1);
}

TEST(LoaderCapacity, LastSlotReturnsToOriginWhenFull) {
    std::string text = Header;
    for (int record = 1; record <= MaxStars + 2; ++record) {
        text += "1 2 3 " + std::to_string(record) + "\r\n";
    }
    const LoadOutcome outcome = LoadBytes(text);
    EXPECT_EQ(outcome.passes, MaxStars + 2);
    EXPECT_EQ(outcome.err,
              "galaxy.dat: 3 records not stored: 17225 slots hold only 17224 records\n");
    ExpectStar(MaxStars - 2, 100000.0, 200000.0, 300000.0, (MaxStars - 1) & 0xFF);
    ExpectStar(MaxStars - 1, 0.0, 0.0, 0.0, MaxStars & 0xFF);  // the tag stays
    EXPECT_EQ(CountStoredStars(), MaxStars - 1);
}

TEST(LoaderCapacity, ExactlyCapacityRecordsDropsOne) {
    const LoadOutcome outcome = LoadBytes(Header + "1 1 1 1\r\n2 2 2 2\r\n3 3 3 3\r\n", 3);
    EXPECT_EQ(outcome.err, "galaxy.dat: 1 record not stored: 3 slots hold only 2 records\n");
    ExpectStar(1, 200000.0, 200000.0, 200000.0, 2);
    ExpectStar(2, 0.0, 0.0, 0.0, 3);
    EXPECT_EQ(LoadBytes(Header + "1 1 1 1\r\n2 2 2 2\r\n", 3).err, "");
}

// Short numbers take a quicker path than long ones; both must round like the C library.
TEST(LoaderRounding, RandomDecimalsMatchTheCLibrary) {
    std::mt19937_64 random(11);
    // A decimal of 1 to 11 digits with a point somewhere and sometimes an exponent.
    const auto randomDecimal = [&random] {
        std::string digits = std::to_string(random() % 100000000000ull);
        digits.resize(1 + random() % digits.size());
        const std::size_t point = random() % (digits.size() + 1);
        std::string field =
            (random() % 2 ? "-" : "") + digits.substr(0, point) + "." + digits.substr(point);
        if (random() % 4 == 0) {
            field += "e" + std::to_string(static_cast<int>(random() % 25) - 16);
        }
        return field;
    };
    std::string text = Header;
    std::vector<std::string> fields;
    for (int record = 0; record < 3000; ++record) {
        for (int axis = 0; axis < 3; ++axis) {
            std::string field = randomDecimal();
            while (std::fabs(std::strtof(field.c_str(), nullptr)) >= 21475.0f) {
                field = randomDecimal();
            }
            fields.push_back(field);
            text += field + " ";
        }
        text += "0\r\n";
    }
    LoadBytes(text);
    for (std::size_t field = 0; field < fields.size(); ++field) {
        const float expected = std::strtof(fields[field].c_str(), nullptr);
        const Star& star = StarArray[field / 3];
        const double actual = field % 3 == 0 ? star.x : field % 3 == 1 ? star.y : star.z;
        ASSERT_EQ(actual, static_cast<double>(expected) * 100000.0) << fields[field];
    }
}

// A small file in the on-disk format, kept in the repository as a reference sample.
TEST(LoaderBasics, SampleFileInRepository) {
    const LoadOutcome outcome = LoadPath(GALAXY_SOURCE_DIR "/tests/data/loader-sample.dat");
    EXPECT_EQ(outcome.out, "abc\n...");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.passes, 3);
    ExpectStar(0, 150000.0, -200000.0, 25000.0, 7);
    ExpectStar(1, 10000.000149011612, static_cast<double>(0.2f) * 100000.0,
               static_cast<double>(0.3f) * 100000.0, 44);
    ExpectStar(2, -1000000.0, 25000.0, 50000.0, 255);
    EXPECT_EQ(CountStoredStars(), 3);
}

}  // namespace
