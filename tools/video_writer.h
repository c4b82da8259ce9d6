// video_writer.h: frames piped as raw RGB to an ffmpeg process that encodes a movie.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// A running ffmpeg and the pipe to its standard input.
struct VideoOutput {
    std::string File;    // the movie being made
    pid_t Process = -1;  // ffmpeg, or -1
    int Pipe = -1;       // writing end of ffmpeg's standard input, or -1
    int32_t Width = 0;   // frame size in pixels
    int32_t Height = 0;
    std::vector<uint8_t> Rgb;  // one frame packed as R, G, B, made once
};

// The codec arguments for a movie file, by its extension (.mp4 or .webm); empty for any other.
std::vector<std::string> VideoCodecArguments(const std::string& file);

// Starts ffmpeg encoding width x height frames at 60 per second into video.File. SIGPIPE is
// ignored from then on, so a vanished ffmpeg shows up as a write error.
bool StartVideo(VideoOutput& video, int32_t width, int32_t height, std::string& error);

// Sends one frame (4 bytes a pixel: B, G, R, unused; pitch bytes from row to row).
bool WriteVideoFrame(VideoOutput& video, const uint8_t* pixels, int32_t pitch, std::string& error);

// Closes the pipe and waits for ffmpeg; false if it did not exit with status 0.
bool FinishVideo(VideoOutput& video, std::string& error);

// Ends ffmpeg at once, if it runs, and removes the movie it was making.
void AbortVideo(VideoOutput& video);
