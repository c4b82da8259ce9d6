// loader_hostile_test.cpp: the loader on hostile files: marks, binary bytes, huge lines and
// numbers, unreadable paths. Large inputs are made here at run time, never stored.
#include <sys/stat.h>

#include <random>
#include <tuple>

#include "tests/loader_test.h"

namespace {

TEST(LoaderHostile, MarksNumbersAndCommentsInOddPlaces) {
    const std::string zeros(300, '0');
    const std::string tie = "1.000000059604644775390625" + std::string(900, '0');
    ExpectLoads({
        {"\xEF\xBB\xBF#abc\r\n1 2 3 4\r\n", "abc\n", "", 1, "1 2 3 4"},
        {"\xEF\xBB\xBF"
         "1 2 3 4",
         "", "", 1, "1 2 3 4"},
        {"\xEF\xBB"
         "1 2 3 4\r\n5 6 7 8\r\n",
         "", "galaxy.dat:1: unreadable bytes at the start of the file; line skipped\n", 1,
         "5 6 7 8"},
        {H + "1 2 # 3 4\r\n5 6 7 8\r\n1 2 3#4\r\n", "abc\n..",
         "galaxy.dat:2: record cut short by a comment after its y field\n"
         "galaxy.dat:4: record cut short by a comment after its z field\n",
         1, "5 6 7 8"},
        {H + "-0 -0.0 -0e5 -0\r\n", "abc\n", "", 1, "-0 -0 -0 0"},
        {H + "1e39 0 0 1\r\n0 -1e99999999999999999999999 0 2\r\n0 0 3.4028236e38 3\r\n"
             "3.4028235e38 0 0 4\r\n1e-400 -1e-99999999999999999999 1e-45 5\r\n",
         "abc\n",
         "galaxy.dat:2: x value \"1e39\" is too large for a float\n"
         "galaxy.dat:3: y value \"-1e999999999999999999999...\" is too large for a float\n"
         "galaxy.dat:4: z value \"3.4028236e38\" is too large for a float\n"
         "galaxy.dat:5: x value \"3.4028235e38\" is outside the range -21476 to 21475 "
         "(exclusive)\n",
         5, "0 -0 1e-45 5"},
        // A digit past the 900th decides one rounding; an exact tie rounds to even.
        {H + "1" + zeros + "e-300 0." + zeros + "5e301 3." + std::string(400, '1') + " 1\r\n" +
             tie + "1 " + tie + " 0." + zeros + "1 2\r\n1" + zeros + " 0 0 3\r\n",
         "abc\n",
         "galaxy.dat:4: x value \"100000000000000000000000...\" is too large for a float\n", 3,
         "1 5 3." + std::string(400, '1') + " 1|1.0000001 1 0 2"},
    });
}

TEST(LoaderHostile, NulBytesAndBinaryGarbageCostOnlyTheirLines) {
    std::string text = H + "1 2 3 4\r\n" + std::string("\0\0 1 2 3 4\r\n5 6\0 7 8\r\n", 22);
    std::mt19937 random(7);
    for (int byte = 0; byte < 4000; ++byte) {
        // Bytes that can start neither a number nor a comment, and some line ends.
        const auto value = static_cast<unsigned>(random() % 140);
        text += value < 128 ? static_cast<char>(0x80 + value) : value < 134 ? '\n' : '\r';
    }
    const LoadOutcome outcome = LoadBytes(text + "\r\n9 9 9 9\r\n");
    EXPECT_EQ(std::tie(outcome.out, outcome.passes), std::make_tuple("abc\n", 2));
    ExpectStored("1 2 3 4|9 9 9 9");
    EXPECT_EQ(outcome.err.find("galaxy.dat:3: x field \"\\x00\\x00\" is not a decimal number"), 0u);
    EXPECT_NE(outcome.err.find("galaxy.dat:4: y field \"6\\x00\" is not a decimal number"),
              std::string::npos);
    EXPECT_NE(outcome.err.find("more damaged lines not shown"), std::string::npos);
}

// Each file is the header, a record, a pattern repeated up to a size (written a mebibyte at a
// time), then a tail; each must load in one pass and report what it says after the file name.
TEST(LoaderHostile, HugeFilesEndInOnePass) {
    struct Huge {
        std::string pattern;
        std::size_t size;
        std::string tail, err;
        int32_t passes;
        double secondX, lastY;  // what slots 1 and MaxStars - 2 hold
    };
    const Huge cases[] = {
        {"garbage ", 50u << 20, "\r\n5 6 7 8\r\n",
         ":3: x field \"garbage\" is not a decimal number; line skipped\n", 2, 500000.0, 0.0},
        {"1234567890", 100u << 20, "",
         ":3: record cut short by the end of the file after its x field\n", 1, 0.0, 0.0},
        {"1 -2.5 0.125 7\r\n", 16000000, "",
         ": 982777 records not stored: 17225 slots hold only 17224 records\n", 1000001, 100000.0,
         -250000.0},
    };
    for (const Huge& c : cases) {
        TempPath file;
        std::string block;
        while (block.size() < (std::size_t{1} << 20)) {
            block += c.pattern;
        }
        std::ofstream stream(file.path, std::ios::binary);
        stream << H << "1 2 3 4\r\n";
        for (std::size_t left = c.size; left > 0; left -= std::min(left, block.size())) {
            stream.write(block.data(), static_cast<std::streamsize>(std::min(left, block.size())));
        }
        ASSERT_TRUE(stream << c.tail << std::flush);
        const LoadOutcome outcome = LoadPath(file.path);
        EXPECT_EQ(outcome.err, file.path.string() + c.err);
        EXPECT_EQ(outcome.passes, c.passes);
        EXPECT_EQ(StarArray[1].x, c.secondX);
        EXPECT_EQ(StarArray[MaxStars - 2].y, c.lastY);
    }
}

TEST(LoaderHostile, PathsThatCannotBeRead) {
    TempPath missing;
    EXPECT_EQ(LoadPath(missing.path).err,
              missing.path.string() + ": cannot open: No such file or directory\n");
    std::filesystem::create_directory(missing.path);
    const LoadOutcome directory = LoadPath(missing.path);
    EXPECT_EQ(directory.err, missing.path.string() + ":1: read error: Is a directory\n");
    EXPECT_EQ(std::tie(directory.passes, directory.out), std::make_tuple(0, ""));

    const std::filesystem::path file = missing.path / "galaxy.dat";
    WriteFile(file, H + "1 2 3 4\r\n");
    ASSERT_EQ(::chmod(file.c_str(), 0), 0);
    // Root reads anything, so as root the load runs under an unprivileged effective user.
    const bool root = ::geteuid() == 0;
    if (root && ::seteuid(65534) != 0) {
        GTEST_SKIP() << "cannot drop root privileges to test permissions";
    }
    const LoadOutcome locked = LoadPath(file);
    ASSERT_TRUE(!root || ::seteuid(0) == 0);
    EXPECT_EQ(locked.err, file.string() + ": cannot open: Permission denied\n");
    EXPECT_EQ(locked.passes, 0);
    ExpectStored("");
}

}  // namespace
