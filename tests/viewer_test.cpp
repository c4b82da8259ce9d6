// viewer_test.cpp: the real galaxy-viewer binary, run headless (dummy video) and in a real
// X window under Xvfb: what it prints, that it draws, and how it ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto ViewerTimeout = std::chrono::seconds(60);  // generous: sanitizers, busy machine
constexpr const char* TestGalaxy = GALAXY_SOURCE_DIR "/tests/data/viewer-galaxy.dat";
constexpr const char* TestGalaxyEcho = "Viewer test galaxy\n..";  // its header and two comments

struct ViewerLaunch {
    fs::path Folder;                   // working directory
    std::vector<std::string> Setting;  // NAME=value, over the test's own environment
    int SignalAfterFirstFrame = 0;     // sent once the viewer says it drew its first frame
    bool IgnoreSigint = false;         // start with SIGINT ignored, as a background job would
};

struct ViewerResult {
    bool TimedOut = false;
    bool Exited = false;
    int ExitCode = -1;
    int Signal = 0;
    std::string Out;
    std::string Err;
};

// Settings for a headless run: SDL's dummy video driver, set here so the run never depends on
// the caller's environment, then the given ones.
std::vector<std::string> Headless(std::vector<std::string> settings) {
    settings.insert(settings.begin(), "SDL_VIDEODRIVER=dummy");
    return settings;
}

// The environment for a child: ours, with the given NAME=value settings in place; a bare NAME
// removes that variable.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& settings) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        bool replaced = false;
        for (const std::string& setting : settings) {
            std::string name = setting.substr(0, setting.find('=')) + '=';
            replaced = replaced || text.compare(0, name.size(), name) == 0;
        }
        if (!replaced) {
            result.push_back(text);
        }
    }
    for (const std::string& setting : settings) {
        if (setting.find('=') != std::string::npos) {
            result.push_back(setting);
        }
    }
    return result;
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& text : strings) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

// Reads what is there from a pipe; false once it is closed.
bool Drain(int fd, std::string& into) {
    char buffer[4096];
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count > 0) {
        into.append(buffer, static_cast<size_t>(count));
        return true;
    }
    return count < 0 && errno == EINTR;
}

void CollectOutput(pid_t pid, int outFd, int errFd, const ViewerLaunch& launch,
                   ViewerResult& result) {
    Clock::time_point deadline = Clock::now() + ViewerTimeout;
    bool outOpen = true;
    bool errOpen = true;
    bool signalled = false;
    while ((outOpen || errOpen) && Clock::now() < deadline) {
        pollfd fds[2] = {{outOpen ? outFd : -1, POLLIN, 0}, {errOpen ? errFd : -1, POLLIN, 0}};
        if (poll(fds, 2, 100) > 0) {
            outOpen = outOpen && (fds[0].revents == 0 || Drain(outFd, result.Out));
            errOpen = errOpen && (fds[1].revents == 0 || Drain(errFd, result.Err));
        }
        if (launch.SignalAfterFirstFrame != 0 && !signalled &&
            result.Err.find("first frame drawn") != std::string::npos) {
            kill(pid, launch.SignalAfterFirstFrame);
            signalled = true;
        }
    }
    result.TimedOut = outOpen || errOpen;
}

void AwaitExit(pid_t pid, ViewerResult& result) {
    if (result.TimedOut) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.Exited = WIFEXITED(status);
    result.ExitCode = result.Exited ? WEXITSTATUS(status) : -1;
    result.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// Runs the viewer to its end (or kills it after the time-out) and gathers what it wrote.
ViewerResult RunViewer(const ViewerLaunch& launch) {
    std::vector<std::string> environment = ChildEnvironment(launch.Setting);
    std::vector<char*> envp = CStrings(environment);
    std::string program = GALAXY_VIEWER;
    char* argv[] = {program.data(), nullptr};
    int out[2];
    int err[2];
    ViewerResult result;
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return result;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (launch.IgnoreSigint) {
            signal(SIGINT, SIG_IGN);
        }
        if (chdir(launch.Folder.c_str()) == 0) {
            execve(argv[0], argv, envp.data());
        }
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    CollectOutput(pid, out[0], err[0], launch, result);
    close(out[0]);
    close(err[0]);
    AwaitExit(pid, result);
    return result;
}

// A fresh working folder, removed with the test.
class ViewerFolder {
  public:
    ViewerFolder() {
        std::string pattern = (fs::temp_directory_path() / "viewer-test-XXXXXX").string();
        Path = mkdtemp(pattern.data()) != nullptr ? fs::path(pattern) : fs::path();
    }
    ~ViewerFolder() {
        std::error_code ignored;
        fs::remove_all(Path, ignored);
    }
    void AddGalaxy() const { fs::copy_file(TestGalaxy, Path / "galaxy.dat"); }
    fs::path Path;
};

TEST(Viewer, EchoesTheGalaxyFileAndDrawsFrames) {
    ViewerFolder folder;
    folder.AddGalaxy();
    ViewerResult run = RunViewer({folder.Path, Headless({"GALAXY_VIEWER_FRAMES=5"})});
    ASSERT_FALSE(run.TimedOut) << run.Err;
    EXPECT_TRUE(run.Exited);
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, TestGalaxyEcho);
    EXPECT_NE(run.Err.find("galaxy-viewer: 5 frames drawn\n"), std::string::npos) << run.Err;
}

TEST(Viewer, RunsWithoutAGalaxyFile) {
    ViewerFolder folder;
    ViewerResult run = RunViewer({folder.Path, Headless({"GALAXY_VIEWER_FRAMES=2"})});
    ASSERT_FALSE(run.TimedOut) << run.Err;
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "");
    EXPECT_NE(run.Err.find("2 frames drawn"), std::string::npos) << run.Err;
}

TEST(Viewer, SigtermEndsItCleanly) {
    ViewerFolder folder;
    folder.AddGalaxy();
    ViewerResult run = RunViewer({folder.Path, Headless({"GALAXY_VIEWER_FRAMES=0"}), SIGTERM});
    ASSERT_FALSE(run.TimedOut) << run.Err;
    EXPECT_TRUE(run.Exited) << "killed by signal " << run.Signal;
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, TestGalaxyEcho);
    EXPECT_NE(run.Err.find(" frames drawn\n"), std::string::npos) << run.Err;
}

TEST(Viewer, SigintEndsItCleanlyEvenWhenStartedIgnored) {
    ViewerFolder folder;
    folder.AddGalaxy();
    for (bool ignored : {false, true}) {
        ViewerResult run =
            RunViewer({folder.Path, Headless({"GALAXY_VIEWER_FRAMES=0"}), SIGINT, ignored});
        ASSERT_FALSE(run.TimedOut) << run.Err;
        EXPECT_TRUE(run.Exited) << "ignored " << ignored << ", killed by " << run.Signal;
        EXPECT_EQ(run.ExitCode, 0) << run.Err;
    }
}

TEST(Viewer, NoDisplayExitsOneWithOneLineAndReadsNothing) {
    ViewerFolder folder;
    folder.AddGalaxy();
    ViewerResult run = RunViewer({folder.Path, {"SDL_VIDEODRIVER=nonexistent"}});
    ASSERT_FALSE(run.TimedOut) << run.Err;
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Out, "");  // the galaxy file was never read
    ASSERT_FALSE(run.Err.empty());
    EXPECT_EQ(run.Err.rfind("galaxy-viewer: ", 0), 0u) << run.Err;
    EXPECT_EQ(run.Err.find('\n'), run.Err.size() - 1) << run.Err;
}

TEST(Viewer, NoDisplayAtAllIsNotMistakenForAnInvisibleOne) {
    ViewerFolder folder;
    folder.AddGalaxy();
    ViewerResult run = RunViewer({folder.Path,
                                  {"SDL_VIDEODRIVER", "DISPLAY", "WAYLAND_DISPLAY",
                                   "XDG_RUNTIME_DIR", "GALAXY_VIEWER_FRAMES=3"}});
    ASSERT_FALSE(run.TimedOut) << run.Err;
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    EXPECT_EQ(run.Out, "");
    EXPECT_NE(run.Err.find("galaxy-viewer: cannot open the window: no display found"),
              std::string::npos)
        << run.Err;
}

TEST(Viewer, RejectsAMalformedFrameCount) {
    ViewerFolder folder;
    ViewerResult run = RunViewer({folder.Path, Headless({"GALAXY_VIEWER_FRAMES=lots"})});
    ASSERT_FALSE(run.TimedOut);
    EXPECT_EQ(run.ExitCode, 2);
    EXPECT_NE(run.Err.find("GALAXY_VIEWER_FRAMES"), std::string::npos) << run.Err;
}

// An X server of its own on a free display number, 800 x 600 like the frame; stopped with
// the test.
class XvfbServer {
  public:
    XvfbServer() {
        std::string program = FindXvfb();
        int ready[2];
        if (program.empty() || pipe2(ready, O_CLOEXEC) != 0) {
            return;
        }
        Pid = fork();
        if (Pid == 0) {
            fcntl(ready[1], F_SETFD, 0);  // Xvfb writes its display number here when ready
            int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
            std::string fd = std::to_string(ready[1]);
            execl(program.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24",
                  "-nolisten", "tcp", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(ready[1]);
        ReadDisplayNumber(ready[0]);
        close(ready[0]);
    }
    ~XvfbServer() {
        if (Pid > 0) {
            kill(Pid, SIGTERM);
            waitpid(Pid, nullptr, 0);
        }
    }
    static std::string FindXvfb() {
        const char* path = std::getenv("PATH");
        std::string folders = path != nullptr ? path : "/usr/bin";
        for (size_t start = 0; start <= folders.size();) {
            size_t end = std::min(folders.find(':', start), folders.size());
            fs::path candidate = fs::path(folders.substr(start, end - start)) / "Xvfb";
            if (access(candidate.c_str(), X_OK) == 0) {
                return candidate.string();
            }
            start = end + 1;
        }
        return "";
    }
    std::string Display;  // ":N" once the server is up, else empty

  private:
    void ReadDisplayNumber(int fd) {
        std::string text;
        Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
        while (text.find('\n') == std::string::npos && Clock::now() < deadline) {
            pollfd ready = {fd, POLLIN, 0};
            if (poll(&ready, 1, 100) > 0 && !Drain(fd, text)) {
                break;
            }
        }
        if (text.find('\n') != std::string::npos) {
            Display = ":" + text.substr(0, text.find('\n'));
        }
    }
    pid_t Pid = -1;
};

class ViewerOnXvfb : public ::testing::Test {
  protected:
    void SetUp() override {
        if (XvfbServer::FindXvfb().empty()) {
            GTEST_SKIP() << "Xvfb is not installed";
        }
    }
};

TEST_F(ViewerOnXvfb, DrawsInARealWindowAndEndsCleanly) {
    XvfbServer server;
    ASSERT_FALSE(server.Display.empty()) << "Xvfb did not start";
    ViewerFolder folder;
    folder.AddGalaxy();
    // Mesa's GL driver, loaded for the renderer, keeps a few bytes and is unloaded at exit, so
    // LeakSanitizer can neither name nor suppress them; the headless runs keep the leak check.
    std::vector<std::string> settings = {"SDL_VIDEODRIVER=x11", "DISPLAY=" + server.Display,
                                         "ASAN_OPTIONS=detect_leaks=0", "GALAXY_VIEWER_FRAMES=30"};
    ViewerResult run = RunViewer({folder.Path, settings});
    ASSERT_FALSE(run.TimedOut) << run.Err;
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(run.Err.find("galaxy-viewer: 30 frames drawn\n"), std::string::npos) << run.Err;

    settings.back() = "GALAXY_VIEWER_FRAMES=0";
    run = RunViewer({folder.Path, settings, SIGTERM});
    ASSERT_FALSE(run.TimedOut) << run.Err;
    EXPECT_TRUE(run.Exited) << "killed by signal " << run.Signal;
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
}

}  // namespace
