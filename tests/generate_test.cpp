// generate_test.cpp: galaxy-generate writes a deterministic, realistic file the loader reads whole.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "tests/loader_test.h"

namespace {

namespace fs = std::filesystem;

class Generate : public testing::Test {
  protected:
    void SetUp() override { fs::create_directories(folder); }
    void TearDown() override { fs::remove_all(folder); }
    std::string File(const char* name) const { return (folder / name).string(); }
    std::string Read(const char* name) const {
        std::ifstream in(File(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Runs galaxy-generate; returns its exit code, keeping its standard error in err.
    int Run(const std::string& arguments) {
        const std::string command = GALAXY_GENERATE " " + arguments + " 2>" + File("err");
        const int status = std::system(command.c_str());
        err = Read("err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const fs::path folder = fs::temp_directory_path() / ("generate-" + std::to_string(getpid()));
    std::string err;
};

// The default: CR LF lines the loader reads whole, shaped as a thin disk of about 8 units with
// a bulge (tag 0), two arms (1, 2) and a disk (3).
TEST_F(Generate, DefaultFileIsAThinDiskGalaxyTheLoaderReadsWhole) {
    ASSERT_EQ(Run("--out " + File("galaxy.dat")), 0);
    const std::string text = Read("galaxy.dat");
    for (auto at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        ASSERT_TRUE(at > 0 && text[at - 1] == '\r') << "bare line feed at " << at;
    }
    const LoadRun run = RunLoader(text, MaxStars, 1, false);
    EXPECT_EQ(std::tie(run.err, run.passes), std::make_tuple("", 17224));
    EXPECT_EQ(run.out.rfind("Sample galaxy: 17224 stars", 0), 0u);
    EXPECT_EQ(run.out.substr(run.out.size() - 2), "\n.");
    int counts[4] = {0, 0, 0, 0}, inside = 0;
    double heightSum = 0.0;
    for (size_t slot = 0; slot < 17224; ++slot) {
        const Star& star = run.stars[slot];
        ASSERT_LT(run.tags[slot], 4);
        ++counts[run.tags[slot]];
        inside += std::hypot(star.x, star.y) < 8.5e5 ? 1 : 0;
        heightSum += std::fabs(star.z);
        EXPECT_TRUE(std::hypot(star.x, star.y) < 12e5 && std::fabs(star.z) < 4e5) << slot;
    }
    EXPECT_NEAR(counts[0] / 17224.0, 0.15, 0.02);
    EXPECT_NEAR(counts[1] / 17224.0, 0.30, 0.02);
    EXPECT_NEAR(counts[2] / 17224.0, 0.30, 0.02);
    EXPECT_GT(inside, 17224 * 98 / 100);
    EXPECT_LT(heightSum / 17224, 0.25e5);
}

// One seed, one file; a file is never overwritten without --force; bad arguments write nothing.
TEST_F(Generate, SeedsOverwritingAndBadArguments) {
    ASSERT_EQ(Run("--stars 300 --out " + File("a")), 0);
    ASSERT_EQ(Run("--stars 300 --out " + File("b")), 0);
    ASSERT_EQ(Run("--stars 300 --seed 7 --out " + File("c")), 0);
    EXPECT_EQ(Read("a"), Read("b"));
    const std::string a = Read("a"), c = Read("c");  // the header names the seed: skip it
    EXPECT_NE(a.substr(a.find('\n')), c.substr(c.find('\n')));
    EXPECT_NE(Run("--stars 5 --out " + File("a")), 0);
    EXPECT_NE(err.find("exists; use --force"), std::string::npos) << err;
    EXPECT_EQ(Read("a"), Read("b"));
    EXPECT_EQ(Run("--stars 5 --force --out " + File("a")), 0);
    EXPECT_EQ(RunLoader(Read("a"), MaxStars, 1, false).passes, 5);
    EXPECT_NE(Run("--stars -1 --out " + File("x")), 0);
    EXPECT_NE(Run("--stars many --out " + File("x")), 0);
    EXPECT_FALSE(fs::exists(File("x")));
    EXPECT_NE(Run("--out " + File("missing/galaxy.dat")), 0);
    EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
}

}  // namespace
