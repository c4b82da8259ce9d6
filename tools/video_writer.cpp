// video_writer.cpp: runs ffmpeg with a pipe on its standard input and feeds it raw frames.
#include "tools/video_writer.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "tools/frame_output.h"

extern char** environ;

namespace {

bool EndsWith(const std::string& text, std::string_view ending) {
    return text.size() >= ending.size() &&
           text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

std::string ExitDescription(int status) {
    if (WIFEXITED(status)) {
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return std::string("killed by signal ") + strsignal(WTERMSIG(status));
    }
    return "ended abnormally";
}

// Waits for ffmpeg, retrying when a signal interrupts the wait; returns its status.
int WaitForProcess(pid_t process) {
    int status = 0;
    while (waitpid(process, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::vector<std::string> FfmpegArguments(const VideoOutput& video, int32_t width, int32_t height) {
    std::vector<std::string> arguments = {"ffmpeg",
                                          "-hide_banner",
                                          "-loglevel",
                                          "error",
                                          "-y",
                                          "-f",
                                          "rawvideo",
                                          "-pix_fmt",
                                          "rgb24",
                                          "-s",
                                          std::to_string(width) + "x" + std::to_string(height),
                                          "-r",
                                          "60",
                                          "-i",
                                          "-",
                                          "-an"};
    for (std::string& argument : VideoCodecArguments(video.File)) {
        arguments.push_back(std::move(argument));
    }
    arguments.push_back(video.File);
    return arguments;
}

// The full path of an executable program found on PATH, or "" if there is none.
std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string_view folders = path != nullptr ? path : "";
    while (!folders.empty()) {
        const size_t colon = std::min(folders.find(':'), folders.size());
        const std::string folder(folders.substr(0, colon));
        folders.remove_prefix(std::min(colon + 1, folders.size()));
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        struct stat status {};
        if (stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

}  // namespace

// Speed first: a whole orbit (12567 frames) should take about a minute on two cores. x264's
// "veryfast" needs about 115 s of CPU time for it, "superfast" 78 s, "ultrafast" 57 s (with
// files of 75, 140 and 250 MB). VP9 even in real-time mode is about twice as slow as "ultrafast".
std::vector<std::string> VideoCodecArguments(const std::string& file) {
    if (EndsWith(file, ".mp4")) {
        return {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"};
    }
    if (EndsWith(file, ".webm")) {
        return {"-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8",        "-row-mt",
                "1",    "-crf",       "32",        "-b:v",     "0",         "-pix_fmt", "yuv420p"};
    }
    return {};
}

bool StartVideo(VideoOutput& video, int32_t width, int32_t height, std::string& error) {
    const std::string ffmpeg = FindProgram("ffmpeg");
    if (ffmpeg.empty()) {
        error =
            "making a movie needs ffmpeg, which is not on the PATH (install the ffmpeg package)";
        return false;
    }
    std::vector<std::string> arguments = FfmpegArguments(video, width, height);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe to ffmpeg: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[0], STDIN_FILENO);  // dup2 clears CLOEXEC
    const int spawned =
        posix_spawn(&video.Process, ffmpeg.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[0]);
    if (spawned != 0) {
        close(ends[1]);
        video.Process = -1;
        error = "cannot run " + ffmpeg + ": " + std::strerror(spawned);
        return false;
    }
    std::signal(SIGPIPE, SIG_IGN);  // a write to a vanished ffmpeg fails with EPIPE instead
    video.Pipe = ends[1];
    video.Width = width;
    video.Height = height;
    video.Rgb.assign(size_t(width) * size_t(height) * 3, 0);
    return true;
}

bool WriteVideoFrame(VideoOutput& video, const uint8_t* pixels, int32_t pitch, std::string& error) {
    const size_t rowBytes = size_t(video.Width) * 3;
    for (int32_t row = 0; row < video.Height; ++row) {
        ConvertRowToRgb(pixels + std::ptrdiff_t(row) * pitch,
                        video.Rgb.data() + size_t(row) * rowBytes, video.Width);
    }
    if (WriteAll(video.Pipe, video.Rgb)) {
        return true;
    }
    error = errno == EPIPE ? "ffmpeg stopped reading frames"
                           : std::string("cannot send frames to ffmpeg: ") + std::strerror(errno);
    return false;
}

bool FinishVideo(VideoOutput& video, std::string& error) {
    if (video.Pipe >= 0) {
        close(video.Pipe);  // ffmpeg sees the end of its input and finishes the file
        video.Pipe = -1;
    }
    if (video.Process < 0) {
        return true;  // never started: nothing to wait for
    }
    const int status = WaitForProcess(video.Process);
    video.Process = -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return true;
    }
    error = "ffmpeg failed to make " + video.File + " (" + ExitDescription(status) +
            "; its messages are above)";
    return false;
}

void AbortVideo(VideoOutput& video) {
    if (video.Pipe >= 0) {
        close(video.Pipe);
        video.Pipe = -1;
    }
    if (video.Process < 0) {
        return;
    }
    kill(video.Process, SIGKILL);
    WaitForProcess(video.Process);  // only then is the file sure to be written no more
    video.Process = -1;
    unlink(video.File.c_str());
}
