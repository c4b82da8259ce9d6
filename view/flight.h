// flight.h: recorded flights, the camera of every frame the viewer drew, as a text file.
//
// The file is plain ASCII, one line per frame after a header line:
//
//   # galaxy-viewer flight 1
//   1 -1000500 0 0 0.8778221649518688 -0.4789866874133497 0 0 0 1 1000
//   2 -1000061.0889175241 -239.49334370667486 0 0.8780615485578283 -0.47854771647582706 0 ...
//
// Each frame line holds 11 fields: the frame number, then the camera's Position x y z,
// Direction x y z, Up x y z and FocalDistance. Frames are numbered as the viewer and
// galaxy-render count them, 1, 2, 3, ... with no gap, so frame k of a replay has the camera of
// the k-th frame the viewer drew. Numbers are written in the shortest decimal form that reads
// back to the same double, bit for bit (-0 included); infinities and NaN are refused on writing
// and on reading, as no camera the viewer draws with holds one.
//
// Reading is strict, since a replay must either match the recording or say why it cannot:
// fields are separated by spaces or tabs, a line may end in CR LF, and nothing else is
// tolerated: no blank or comment lines, and the last line must end in a line end too, as a
// recording cut short (a full disk, a killed viewer) may end inside a number that still reads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "data/star.h"
#include "view/camera.h"

inline constexpr const char* FlightHeader = "# galaxy-viewer flight 1";

// What a flight records of a camera: everything a frame's picture depends on. OrbitAngle only
// steers the next step, and a replay places each frame's camera instead of stepping to it.
struct FlightCamera {
    Vec3 Position;
    Vec3 Direction;
    Vec3 Up;
    double FocalDistance;
};

FlightCamera RecordedCamera(const CameraState& camera);
// Puts a recorded camera in place; OrbitAngle is left as it was.
void PlaceCamera(const FlightCamera& recorded, CameraState& camera);

// Writes a flight one frame at a time, numbering the frames itself from 1. Nothing is allocated
// per frame: each line is formatted into a fixed buffer and handed to stdio. The first failure
// is kept as the error and every later call does nothing but return false.
class FlightWriter {
  public:
    FlightWriter() = default;
    FlightWriter(const FlightWriter&) = delete;
    FlightWriter& operator=(const FlightWriter&) = delete;
    ~FlightWriter();  // closes an open file without reporting; call Close to learn of errors

    // Creates or empties the file and writes the header.
    bool Open(const std::string& path);
    // Appends the next frame's camera.
    bool Append(const CameraState& camera);
    bool Append(const FlightCamera& camera);
    // Writes out what is buffered and closes the file; false if any write failed.
    bool Close();

    int64_t FramesWritten() const { return FramesWritten_; }
    // "PATH: what went wrong", empty while all is well.
    const std::string& Error() const { return Error_; }

  private:
    bool Fail(const char* what, int errorNumber);

    std::FILE* File_ = nullptr;
    std::string Path_;
    std::string Error_;
    int64_t FramesWritten_ = 0;
    char Line_[512] = {};  // 11 fields of at most 24 characters each, with room to spare
};

// Reads a whole flight file: frame k's camera ends up in cameras[k - 1]. On failure returns
// false, leaves cameras empty and sets error to "PATH:LINE: what was wrong" ("PATH: ..." when
// the file cannot be opened or read). A header without frames is a valid, empty flight.
bool ReadFlight(const std::string& path, std::vector<FlightCamera>& cameras, std::string& error);
