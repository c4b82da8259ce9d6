// loader_hostile_test.cpp: LoadGalaxy on hostile files: huge ones, made here at run time and
// never stored, and paths that cannot be read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "data/loader.h"

namespace {

// A fresh temporary path, removed with all it holds when the owner goes.
struct TempPath {
    static inline int counter = 0;
    std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("loader-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    ~TempPath() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

struct Outcome {
    int32_t passes;
    std::string out, err;
};

// LoadGalaxy on a file into the program's arrays, cleared first, capturing both output streams.
Outcome LoadPath(const std::filesystem::path& path) {
    ResetStars();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int32_t passes = LoadGalaxy(StarArray.data(), StarTag.data(), path.c_str(), MaxStars, 1);
    std::string out = testing::internal::GetCapturedStdout();
    return {passes, out, testing::internal::GetCapturedStderr()};
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
        stream << "#abc\r\n1 2 3 4\r\n";
        for (std::size_t left = c.size; left > 0; left -= std::min(left, block.size())) {
            stream.write(block.data(), static_cast<std::streamsize>(std::min(left, block.size())));
        }
        ASSERT_TRUE(stream << c.tail << std::flush);
        const Outcome outcome = LoadPath(file.path);
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
    const Outcome directory = LoadPath(missing.path);
    EXPECT_EQ(directory.err, missing.path.string() + ":1: read error: Is a directory\n");
    EXPECT_EQ(std::tie(directory.passes, directory.out), std::make_tuple(0, ""));

    const std::filesystem::path file = missing.path / "galaxy.dat";
    ASSERT_TRUE(std::ofstream(file) << "#abc\r\n1 2 3 4\r\n");
    ASSERT_EQ(::chmod(file.c_str(), 0), 0);
    // Root reads anything, so as root the load runs under an unprivileged effective user.
    const bool root = ::geteuid() == 0;
    if (root && ::seteuid(65534) != 0) {
        GTEST_SKIP() << "cannot drop root privileges to test permissions";
    }
    const Outcome locked = LoadPath(file);
    ASSERT_TRUE(!root || ::seteuid(0) == 0);
    EXPECT_EQ(locked.err, file.string() + ": cannot open: Permission denied\n");
    EXPECT_EQ(locked.passes, 0);
}

}  // namespace
