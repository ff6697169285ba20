// How wsock ends: the exit status, the one error line on standard error,
// and writing received bytes to standard output.
#pragma once
#include <cstddef>
#include <string>

namespace wsock {

// "wsock: TEXT (Error #CODE)".
std::string ErrorLine(const std::string& text, int code);
// The line for a component failure message. A failed library call reads
// "Error N in function LABEL", CR LF, TEXT; that becomes
// "wsock: LABEL: TEXT (Error #N)". Any other message is kept on one line.
std::string MessageLine(const std::string& message);

// Ends the run: prints `line` (when not empty) on standard error, keeps the
// status and stops the message loop. Only the first call counts.
void Finish(int status, const std::string& line = "");
// Prints a line on standard error without ending the run.
void Warn(const std::string& line);
bool Finished();
int ExitStatus();

// Writes all of data to fd, waiting for room when the descriptor is
// non-blocking. False with errno set on failure.
bool WriteAll(int fd, const char* data, size_t size);
// WriteAll to standard output; on failure ends the run with status 1.
bool WriteOutput(const char* data, size_t size);

}  // namespace wsock
