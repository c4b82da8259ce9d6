// generate_test.cpp: galaxy-generate writes a deterministic, realistic file the loader reads whole.
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <tuple>

#include "tests/loader_test.h"

namespace {

class Generate : public testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directory(directory.path); }
    std::string File(const char* name) const { return (directory.path / name).string(); }
    // Runs galaxy-generate; returns its exit code, keeping its standard error in err.
    int Run(const std::string& arguments) {
        const std::string command = GALAXY_GENERATE " " + arguments + " 2>" + File("err");
        const int status = std::system(command.c_str());
        err = Read("err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Read(const char* name) const {
        std::ifstream in(File(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    TempPath directory;
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
    const LoadOutcome outcome = LoadPath(File("galaxy.dat"));
    EXPECT_EQ(std::tie(outcome.err, outcome.passes), std::make_tuple("", 17224));
    EXPECT_EQ(outcome.out.rfind("Sample galaxy: 17224 stars", 0), 0u);
    EXPECT_EQ(outcome.out.substr(outcome.out.size() - 2), "\n.");
    int counts[4] = {0, 0, 0, 0}, inside = 0;
    double heightSum = 0.0;
    for (int slot = 0; slot < 17224; ++slot) {
        const Star& star = StarArray[slot];
        ASSERT_LT(StarTag[slot], 4);
        ++counts[StarTag[slot]];
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

TEST_F(Generate, SeedsOverwritingAndBadArguments) {
    ASSERT_EQ(Run("--stars 300 --out " + File("a")), 0);
    ASSERT_EQ(Run("--stars 300 --out " + File("b")), 0);
    ASSERT_EQ(Run("--stars 300 --seed 7 --out " + File("c")), 0);
    EXPECT_EQ(Read("a"), Read("b"));
    EXPECT_NE(Read("a"), Read("c"));
    EXPECT_NE(Run("--stars 5 --out " + File("a")), 0);
    EXPECT_NE(err.find("exists; use --force"), std::string::npos) << err;
    EXPECT_EQ(Read("a"), Read("b"));
    EXPECT_EQ(Run("--stars 5 --force --out " + File("a")), 0);
    EXPECT_EQ(LoadPath(File("a")).passes, 5);
    EXPECT_NE(Run("--stars -1 --out " + File("x")), 0);
    EXPECT_NE(Run("--stars many --out " + File("x")), 0);
    EXPECT_FALSE(std::filesystem::exists(File("x")));
    EXPECT_NE(Run("--out " + File("missing/galaxy.dat")), 0);
    EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
}

}  // namespace
