// loader_hostile_test.cpp: the loader on hostile files: marks, binary bytes, huge lines and
// numbers, unreadable paths. Large inputs are made here at run time, never stored.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "tests/loader_test.h"

namespace {

const std::string Header = "#abc\r\n";

// Writes header, then size bytes repeating pattern, then tail, without holding it all in memory.
void WriteLargeFile(const std::filesystem::path& path, const std::string& header,
                    const std::string& pattern, std::size_t size, const std::string& tail) {
    std::string chunk;
    while (chunk.size() < (std::size_t{1} << 20)) {
        chunk += pattern;
    }
    chunk.resize((std::size_t{1} << 20) / pattern.size() * pattern.size());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(header.data(), 1, header.size(), file);
    for (std::size_t left = size; left > 0;) {
        const std::size_t part = std::min(left, chunk.size());
        ASSERT_EQ(std::fwrite(chunk.data(), 1, part, file), part);
        left -= part;
    }
    std::fwrite(tail.data(), 1, tail.size(), file);
    ASSERT_EQ(std::fclose(file), 0);
}

TEST(LoaderHostile, ByteOrderMarkIsSkipped) {
    const LoadOutcome withHeader = LoadBytes("\xEF\xBB\xBF#abc\r\n1 2 3 4\r\n");
    EXPECT_EQ(withHeader.out, "abc\n");
    EXPECT_EQ(withHeader.err, "");
    EXPECT_EQ(StarArray[0].x, 100000.0);

    EXPECT_EQ(LoadBytes("\xEF\xBB\xBF"
                        "1 2 3 4")
                  .passes,
              1);
    EXPECT_EQ(StarArray[0].x, 100000.0);

    const LoadOutcome broken = LoadBytes(
        "\xEF\xBB"
        "1 2 3 4\r\n5 6 7 8\r\n");
    EXPECT_EQ(broken.err,
              "galaxy.dat:1: unreadable bytes at the start of the file; line skipped\n");
    EXPECT_EQ(broken.passes, 1);
    EXPECT_EQ(StarArray[0].x, 500000.0);
}

TEST(LoaderHostile, NulBytesAndBinaryGarbageCostOnlyTheirLines) {
    std::string text = Header + "1 2 3 4\r\n" + std::string("\0\0 1 2 3 4\r\n", 12) +
                       std::string("5 6\0 7 8\r\n", 10);
    std::mt19937 random(7);
    for (int byte = 0; byte < 4000; ++byte) {
        // Bytes that can neither start a number nor a comment, and some line ends.
        const auto value = static_cast<unsigned>(random() % 140);
        text += value < 128 ? static_cast<char>(0x80 + value) : value < 134 ? '\n' : '\r';
    }
    const LoadOutcome outcome = LoadBytes(text + "\r\n9 9 9 9\r\n");
    EXPECT_EQ(outcome.out, "abc\n");
    EXPECT_EQ(outcome.passes, 2);
    EXPECT_EQ(StarArray[0].x, 100000.0);
    EXPECT_EQ(StarArray[1].x, 900000.0);
    EXPECT_EQ(CountStoredStars(), 2);
    EXPECT_EQ(outcome.err.find("galaxy.dat:3: x field \"\\x00\\x00\" is not a decimal number"), 0u);
    EXPECT_NE(outcome.err.find("galaxy.dat:4: y field \"6\\x00\" is not a decimal number"),
              std::string::npos);
    EXPECT_NE(outcome.err.find("more damaged lines not shown"), std::string::npos);
}

TEST(LoaderHostile, FiftyMegabyteLineIsSkippedInOnePass) {
    TempPath file;
    WriteLargeFile(file.path, Header + "1 2 3 4\r\nx", "garbage ", 50u << 20, "\r\n5 6 7 8\r\n");
    const LoadOutcome outcome = LoadPath(file.path);
    EXPECT_EQ(outcome.err, file.path.string() +
                               ":3: x field \"xgarbage\" is not a decimal number; line skipped\n");
    EXPECT_EQ(outcome.passes, 2);
    EXPECT_EQ(StarArray[1].x, 500000.0);
}

TEST(LoaderHostile, HundredMegabytesOfDigitsEndAsOneCutRecord) {
    TempPath file;
    WriteLargeFile(file.path, Header + "1 2 3 4\r\n", "1234567890", 100u << 20, "");
    const LoadOutcome outcome = LoadPath(file.path);
    EXPECT_EQ(outcome.err, file.path.string() +
                               ":3: record cut short by the end of the file after its x field\n");
    EXPECT_EQ(outcome.passes, 1);
    EXPECT_EQ(CountStoredStars(), 1);
}

TEST(LoaderHostile, MillionRecordLinesFillEverySlot) {
    TempPath file;
    std::FILE* stream = std::fopen(file.path.c_str(), "wb");
    ASSERT_NE(stream, nullptr);
    std::fputs(Header.c_str(), stream);
    for (int record = 0; record < 1000000; ++record) {
        std::fprintf(stream, "%d -2.5 0.125 %d\r\n", record % 1000, record);
    }
    ASSERT_EQ(std::fclose(stream), 0);
    const LoadOutcome outcome = LoadPath(file.path);
    EXPECT_EQ(outcome.passes, 1000000);
    EXPECT_EQ(
        outcome.err,
        file.path.string() + ": 982776 records not stored: 17225 slots hold only 17224 records\n");
    EXPECT_EQ(StarArray[MaxStars - 2].x, 223.0 * 100000.0);
    EXPECT_EQ(StarArray[MaxStars - 2].y, -250000.0);
    EXPECT_EQ(StarTag[MaxStars - 1], (MaxStars - 1) & 0xFF);
}

TEST(LoaderHostile, NumbersWithHundredsOfDigitsRoundCorrectly) {
    const std::string zeros(300, '0');
    const std::string midpoint = "1.000000059604644775390625";  // halfway between two floats
    const std::string pi400 = "3." + std::string(400, '1');
    const LoadOutcome outcome =
        LoadBytes(Header +                                                        //
                  "1" + zeros + "e-300 0." + zeros + "5e301 " +                   //
                  pi400 + " 1\r\n" +                                              //
                  midpoint + std::string(900, '0') + "1 " +                       //
                  midpoint + std::string(900, '0') + " 0." + zeros + "1 2\r\n" +  //
                  "1" + zeros + " 0 0 3\r\n");
    EXPECT_EQ(StarArray[0].x, 100000.0);
    EXPECT_EQ(StarArray[0].y, 500000.0);
    EXPECT_EQ(StarArray[0].z, static_cast<double>(std::strtof(pi400.c_str(), nullptr)) * 100000.0);
    EXPECT_EQ(StarArray[1].x, 1.0000001192092896 * 100000.0);  // a digit past 900 decides
    EXPECT_EQ(StarArray[1].y, 100000.0);                       // an exact tie rounds to even
    EXPECT_EQ(StarArray[1].z, 0.0);
    EXPECT_EQ(outcome.err,
              "galaxy.dat:4: x value \"100000000000000000000000...\" is too large "
              "for a float\n");
}

TEST(LoaderHostile, ExponentsBeyondFloatRangeBecomeInfinityOrZero) {
    const LoadOutcome outcome = LoadBytes(Header +
                                          "1e39 0 0 1\r\n"
                                          "0 -1e99999999999999999999999 0 2\r\n"
                                          "0 0 3.4028236e38 3\r\n"
                                          "3.4028235e38 0 0 4\r\n"
                                          "1e-400 -1e-99999999999999999999 1e-45 5\r\n");
    EXPECT_EQ(outcome.err,
              "galaxy.dat:2: x value \"1e39\" is too large for a float\n"
              "galaxy.dat:3: y value \"-1e999999999999999999999...\" is too large for a float\n"
              "galaxy.dat:4: z value \"3.4028236e38\" is too large for a float\n"
              "galaxy.dat:5: x value \"3.4028235e38\" is outside the range -21476 to 21475 "
              "(exclusive)\n");
    EXPECT_EQ(outcome.passes, 5);
    EXPECT_EQ(StarTag[0], 5);
    EXPECT_EQ(StarArray[0].x, 0.0);
    EXPECT_TRUE(std::signbit(StarArray[0].y));
    EXPECT_EQ(StarArray[0].z, static_cast<double>(std::nextafter(0.0f, 1.0f)) * 100000.0);
}

TEST(LoaderHostile, NegativeZeroIsKeptAsNegativeZero) {
    const LoadOutcome outcome = LoadBytes(Header + "-0 -0.0 -0e5 -0\r\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.passes, 1);
    EXPECT_TRUE(std::signbit(StarArray[0].x));
    EXPECT_TRUE(std::signbit(StarArray[0].y));
    EXPECT_TRUE(std::signbit(StarArray[0].z));
    EXPECT_EQ(StarArray[0].x, 0.0);
}

TEST(LoaderHostile, CommentBetweenFieldsCutsTheRecord) {
    const LoadOutcome outcome = LoadBytes(Header + "1 2 # 3 4\r\n5 6 7 8\r\n1 2 3#4\r\n");
    EXPECT_EQ(outcome.out, "abc\n..");
    EXPECT_EQ(outcome.err,
              "galaxy.dat:2: record cut short by a comment after its y field\n"
              "galaxy.dat:4: record cut short by a comment after its z field\n");
    EXPECT_EQ(outcome.passes, 1);
    EXPECT_EQ(StarArray[0].x, 500000.0);
    EXPECT_EQ(CountStoredStars(), 1);
}

TEST(LoaderHostile, DirectoryIsReportedAsUnreadable) {
    TempPath directory;
    std::filesystem::create_directory(directory.path);
    const LoadOutcome outcome = LoadPath(directory.path);
    EXPECT_EQ(outcome.passes, 0);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, directory.path.string() + ":1: read error: Is a directory\n");
    EXPECT_EQ(CountStoredStars(), 0);
}

TEST(LoaderHostile, FileWithoutReadPermissionCannotBeOpened) {
    TempPath file;
    WriteFile(file.path, Header + "1 2 3 4\r\n");
    ASSERT_EQ(::chmod(file.path.c_str(), 0), 0);
    // Root reads anything, so as root the load runs under an unprivileged effective user.
    const bool root = ::geteuid() == 0;
    if (root && ::seteuid(65534) != 0) {
        GTEST_SKIP() << "cannot drop root privileges to test permissions";
    }
    const LoadOutcome outcome = LoadPath(file.path);
    if (root) {
        ASSERT_EQ(::seteuid(0), 0);
    }
    EXPECT_EQ(outcome.passes, 0);
    EXPECT_EQ(outcome.err, file.path.string() + ": cannot open: Permission denied\n");
    EXPECT_EQ(CountStoredStars(), 0);
}

}  // namespace
