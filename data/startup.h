// startup.h: long start-up work (loading, grouping, the first projection) that a quit signal or
// a closed window can stop, and the progress line it shows on a terminal meanwhile.
#pragma once

#include <cstdint>

// Asks the start-up work to stop; safe in a signal handler. signal is the signal's number, or 0
// for a quit that came from the window.
void RequestStop(int signal);
bool StopRequested();
// The signal of the first stop request, 0 if none came or it came from the window.
int StopSignal();

// Brackets a start-up on the calling thread, which becomes the one that runs the poll and draws
// the progress line; label names what is read (the file).
void BeginStartup(const char* label);
// Erases the progress line, if one was shown.
void EndStartup();
// Something the start-up's thread runs every few milliseconds: the viewer reads its window's
// events there. nullptr for nothing.
void SetStartupPoll(void (*poll)());

// The size of what is being read, for the progress line; -1 when unknown.
void SetBytesToRead(int64_t bytes);
// Counts bytes read, from any thread.
void AddBytesRead(int64_t bytes);
// Called often by long loops on any thread: on the start-up's thread it runs the poll and
// redraws the progress line now and then. Returns false once a stop was requested.
bool KeepStarting();

// Clears the request, the counters and the poll, as at program start.
void ResetStartup();
