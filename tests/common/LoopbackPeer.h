// Real server programs started by tests on 127.0.0.1: a scratch directory
// for their configuration, free ports, a child process that is waited for
// until its port listens and stopped (with everything it forked) at the end.
// Nothing here knows about any particular program.
#pragma once
#include <string>
#include <vector>

namespace loopback {

// The full path of an installed program (searched on PATH, then in the
// system binary folders that an ordinary PATH may lack), or "" when absent.
std::string FindProgram(const std::string& name);

// A TCP port on 127.0.0.1 that was free a moment ago (bound, then released).
int FreePort();

// A TCP socket listening on 127.0.0.1 at a port the system chose, which goes
// to *port; -1 when any step fails.
int ListenLoopback(int* port, int backlog = 16);

// True when something listens on 127.0.0.1:port (or on any address at that
// port), read from the kernel's socket table without connecting to it.
bool PortListening(int port);

// A fresh directory under the system's temporary folder, removed with its
// contents when the object goes.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return FPath; }
  // Path of a file in the directory.
  std::string File(const std::string& name) const { return FPath + "/" + name; }
  // Writes a file (replacing it) and returns its path; `mode` as for chmod.
  std::string Write(const std::string& name, const std::string& content, unsigned mode = 0600) const;

 private:
  std::string FPath;
};

// Reads a whole file; "" when it cannot be read.
std::string ReadFile(const std::string& path);

// Runs a program to its end (stdin from /dev/null, output into `output`)
// and returns its exit status, or -1 when it could not run or ran past the
// time limit (it is then killed).
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr, int milliseconds = 20000);

// One daemon started by a test. It runs in a process group of its own, so
// that Stop also ends the processes it forked; its output goes to a log
// file that failures can show.
class TLoopbackPeer {
 public:
  TLoopbackPeer() = default;
  ~TLoopbackPeer() { Stop(); }
  TLoopbackPeer(const TLoopbackPeer&) = delete;
  TLoopbackPeer& operator=(const TLoopbackPeer&) = delete;

  // Starts argv[0] (a full path) with its output appended to logPath.
  // False when the process could not be started.
  bool Start(const std::vector<std::string>& argv, const std::string& logPath);
  // Waits until the port listens, the process ends or the time passes;
  // true only in the first case.
  bool WaitListening(int port, int milliseconds = 10000);
  // Whether the process is still running.
  bool Running();
  // SIGTERM to the group, then SIGKILL after a grace period; reaps it.
  void Stop();

  int Pid() const { return FPid; }
  // What the process has written so far.
  std::string Log() const { return ReadFile(FLogPath); }

 private:
  int FPid = -1;
  std::string FLogPath;
};

}  // namespace loopback
