#pragma once

#include "braidmill.h"

#include <string>

// What the names on the command line open: "-" standard input or output,
// udp://, rtp:// and srt:// network inputs and outputs, anything else a file
// (a FIFO included). Console code, on the public interface only.

bool IsStdName(const char* name);     // "-"
bool IsSrtName(const char* name);     // srt://
// True when name is the file open on descriptor fd (the same device and
// inode), by whatever path: /dev/stdout, /proc/self/fd/1, a link.
bool IsSameFileAsFd(const char* name, int fd);
// An output that is standard output: "-", or its file by another name.
bool IsStdoutName(const char* name);
bool IsNetworkName(const char* name); // udp://, rtp:// or srt://
// True for names that can be read only once, as they arrive: no rate scan
// of their start before the run.
bool IsStreamName(const char* name);

// Opens the output. For standard output (IsStdoutName): the multiplex goes
// there through a descriptor of its own, and from here on whatever else the
// process writes to standard output (its own lines, the library's) lands on
// standard error; SIGPIPE is ignored, so a reader that goes away ends the
// run as a write error. Null with the reason in error, which names the output.
COutPutModuleBase* OpenOutputByName(const char* name, std::string& error);

// Opens an input and connects it to module (InitBuffer, SetRecvModule); the
// caller starts it (StartRead) and deletes it. Pipes, FIFOs and standard
// input read in chunks of at most kPipeReadBytes, so that a live pipe is
// not held back until nBufferSize bytes have come. "-" may be one input
// only. Null with the reason.
CSourceBase* OpenInputByName(const char* name, CInputModuleIface* module, int nBufferSize,
                             std::string& error);

// The output rate, for a network output's RTP timestamps or SRT bandwidth;
// other sinks ignore it. Before the run.
void SetOutputRate(COutPutModuleBase* sink, long long llBitsPerSecond);

// A BraidmillLogHandler that writes each line to standard error with the
// level prefix the console uses; LogToStderr installs it.
void StderrLogHandler(int nLevel, const char* szLine, void* pUser);
void LogToStderr();

inline constexpr int kPipeReadBytes = 350 * 188; // about 100 ms at 5 Mbit/s
