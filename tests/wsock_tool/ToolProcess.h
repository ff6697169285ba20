// Runs the built wsock program with pipes, feeding standard input and
// collecting both outputs through one poll loop, so that a tool writing
// while we write never deadlocks the test. Every wait is bounded.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace wsocktest {

std::string ToolPath();

struct TToolResult {
  int Status = -1;  // exit status, or -1 when killed or timed out
  bool TimedOut = false;
  std::string Out;
  std::string Err;
};

class TToolProcess {
 public:
  // stdinFile: empty for a pipe, else a path opened as standard input.
  explicit TToolProcess(const std::vector<std::string>& args, const std::string& stdinFile = "");
  ~TToolProcess();
  TToolProcess(const TToolProcess&) = delete;
  TToolProcess& operator=(const TToolProcess&) = delete;

  pid_t Pid() const { return FPid; }
  // Reads the outputs until standard error holds `text`; false on timeout
  // or when the tool ended first.
  bool WaitForStderr(const std::string& text, int timeoutMs);
  // Reads the outputs until standard output holds `text`.
  bool WaitForStdout(const std::string& text, int timeoutMs);
  // The port of the "listening on ADDR:PORT" line, or 0 when none came.
  int WaitForListening(int timeoutMs = 5000);
  // Writes to standard input while reading the outputs.
  bool Write(const std::string& data, int timeoutMs = 10000);
  void CloseStdin();
  // Writes `input`, closes standard input and collects everything until
  // the tool exits; kills it after timeoutMs.
  TToolResult Finish(const std::string& input = "", int timeoutMs = 20000);
  // Kills the tool and collects what it wrote.
  TToolResult Kill();
  const std::string& Out() const { return FOut; }
  const std::string& Err() const { return FErr; }
  bool Exited();
  int StdinFd() const { return FIn; }

 private:
  // One round of the poll loop: writes from `pending` when given, reads
  // whatever is ready. Returns false when nothing can happen any more.
  bool Step(const std::string* pending, size_t* written, int timeoutMs);
  bool Reap(int timeoutMs);

  pid_t FPid = -1;
  int FIn = -1, FOutFd = -1, FErrFd = -1;
  std::string FOut, FErr;
  bool FReaped = false;
  int FStatus = -1;
};

// Runs the tool to completion with `input` on standard input.
TToolResult RunTool(const std::vector<std::string>& args, const std::string& input = "", int timeoutMs = 20000);

// A port on 127.0.0.1 that nothing listens on (bound and released).
int UnusedPort(bool udp = false);
// Random bytes, reproducible from the seed.
std::string RandomBytes(size_t size, unsigned seed);

}  // namespace wsocktest
