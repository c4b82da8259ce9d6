// generate_test.cpp: galaxy-generate writes a deterministic, realistic file the loader reads whole.
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/loader_test.h"

namespace {

// Runs galaxy-generate with arguments; returns its exit code and what it wrote to stderr.
int Generate(const std::string& arguments, std::string* err = nullptr) {
    TempPath errFile;
    const std::string command =
        std::string(GALAXY_GENERATE) + " " + arguments + " 2>" + errFile.path.string();
    const int status = std::system(command.c_str());
    if (err != nullptr) {
        std::ifstream in(errFile.path);
        *err = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class GenerateTest : public testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directory(directory.path); }
    std::string File(const char* name) const { return (directory.path / name).string(); }
    TempPath directory;
};

TEST_F(GenerateTest, DefaultFileLoadsWholeWithoutDiagnostics) {
    const std::string file = File("galaxy.dat");
    ASSERT_EQ(Generate("--out " + file), 0);
    const LoadOutcome outcome = LoadPath(file);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.passes, 17224);
    EXPECT_EQ(CountStoredStars(), 17224);
    EXPECT_EQ(outcome.out.rfind("Sample galaxy: 17224 stars", 0), 0u);
    EXPECT_EQ(outcome.out.substr(outcome.out.size() - 2), "\n.");  // header line, one comment

    const std::string text = ReadAll(file);
    std::size_t bareLineFeeds = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        bareLineFeeds += text[at] == '\n' && (at == 0 || text[at - 1] != '\r') ? 1 : 0;
    }
    EXPECT_EQ(bareLineFeeds, 0u);
}

TEST_F(GenerateTest, RefusesToOverwriteWithoutForce) {
    const std::string file = File("galaxy.dat");
    WriteFile(file, "keep me");
    std::string err;
    EXPECT_NE(Generate("--stars 5 --out " + file, &err), 0);
    EXPECT_NE(err.find("exists; use --force"), std::string::npos) << err;
    EXPECT_EQ(ReadAll(file), "keep me");
    EXPECT_EQ(Generate("--stars 5 --force --out " + file), 0);
    EXPECT_EQ(LoadPath(file).passes, 5);
}

TEST_F(GenerateTest, SameSeedSameFileOtherSeedOtherFile) {
    ASSERT_EQ(Generate("--stars 300 --out " + File("a")), 0);
    ASSERT_EQ(Generate("--stars 300 --out " + File("b")), 0);
    ASSERT_EQ(Generate("--stars 300 --seed 7 --out " + File("c")), 0);
    EXPECT_EQ(ReadAll(File("a")), ReadAll(File("b")));
    EXPECT_NE(ReadAll(File("a")), ReadAll(File("c")));
}

TEST_F(GenerateTest, RejectsBadArguments) {
    std::string err;
    EXPECT_NE(Generate("--stars -1 --out " + File("x"), &err), 0);
    EXPECT_NE(Generate("--stars many --out " + File("x"), &err), 0);
    EXPECT_NE(Generate("--out " + File("missing/galaxy.dat"), &err), 0);
    EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(File("x")));
}

// The shape: a flattened bulge, two arms, a thin disk of about 8 units around the origin.
TEST_F(GenerateTest, StarsFormAThinDiskGalaxy) {
    const std::string file = File("galaxy.dat");
    ASSERT_EQ(Generate("--out " + file), 0);
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    std::getline(in, line);
    int counts[4] = {0, 0, 0, 0};
    int inside = 0;
    int records = 0;
    double heightSum = 0.0;
    double x = 0.0, y = 0.0, z = 0.0;
    int tag = 0;
    while (in >> x >> y >> z >> tag) {
        ++records;
        ASSERT_TRUE(tag >= 0 && tag <= 3);
        ++counts[tag];
        inside += std::hypot(x, y) < 8.5 ? 1 : 0;
        heightSum += std::fabs(z);
        EXPECT_LT(std::hypot(x, y), 12.0);
        EXPECT_LT(std::fabs(z), 4.0);
    }
    ASSERT_EQ(records, 17224);
    EXPECT_NEAR(counts[0] / 17224.0, 0.15, 0.02);
    EXPECT_NEAR(counts[1] / 17224.0, 0.30, 0.02);
    EXPECT_NEAR(counts[2] / 17224.0, 0.30, 0.02);
    EXPECT_GT(inside, 17224 * 98 / 100);
    EXPECT_LT(heightSum / records, 0.25);  // much thinner than wide
}

}  // namespace
