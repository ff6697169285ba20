#include "sectors_tool/ToolRunner.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace evc::test {

std::string SectorsTool() { return EVC_BINARY_DIR "/bin/sectors"; }

namespace {

constexpr auto kLimit = std::chrono::seconds(30);

void Pipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

[[noreturn]] void Exec(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  _exit(127);
}

// Collects the child's pipes (and the terminal master, if any) until all
// close and the child exits, typing `answer` when the question appears.
TToolRun Collect(pid_t pid, int out, int err, int master, const std::string* stdinData, int in,
                 const std::string& answer) {
  TToolRun r;
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  size_t fed = 0;
  bool answered = false;
  if (in >= 0 && (!stdinData || stdinData->empty())) {
    ::close(in);
    in = -1;
  }
  while (out >= 0 || err >= 0 || in >= 0 || master >= 0) {
    pollfd p[4];
    int n = 0;
    int ids[4];
    auto add = [&](int fd, short ev, int id) {
      if (fd >= 0) {
        p[n] = {fd, ev, 0};
        ids[n++] = id;
      }
    };
    add(out, POLLIN, 0);
    add(err, POLLIN, 1);
    add(in, POLLOUT, 2);
    add(master, POLLIN, 3);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(p, n, static_cast<int>(left.count())) < 0) continue;
    for (int i = 0; i < n; ++i) {
      if (!p[i].revents) continue;
      if (ids[i] == 2) {
        ssize_t w = ::write(in, stdinData->data() + fed, stdinData->size() - fed);
        if (w > 0) fed += static_cast<size_t>(w);
        if (w < 0 || fed == stdinData->size()) {
          ::close(in);
          in = -1;
        }
        continue;
      }
      char buf[65536];
      int& fd = ids[i] == 0 ? out : ids[i] == 1 ? err : master;
      ssize_t got = ::read(fd, buf, sizeof buf);
      if (got <= 0) {
        ::close(fd);
        fd = -1;
        continue;
      }
      std::string& sink = ids[i] == 0 ? r.Out : ids[i] == 1 ? r.Err : r.Terminal;
      sink.append(buf, static_cast<size_t>(got));
      if (ids[i] == 3 && !answered && r.Terminal.find("[y/N] ") != std::string::npos) {
        std::string line = answer + "\n";
        if (::write(master, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
          throw std::runtime_error("cannot type on the terminal");
        answered = true;
      }
    }
    // Once the child has gone, its terminal may stay readable with nothing
    // left; only pipes decide the end.
    if (master >= 0 && out < 0 && err < 0) {
      ::close(master);
      master = -1;
    }
  }
  for (int fd : {out, err, in, master})
    if (fd >= 0) ::close(fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TToolRun Run(const std::string& program, const std::vector<std::string>& args, const std::string* input,
             bool terminal, const std::string& answer, long asId = -1) {
  int out[2], err[2], in[2] = {-1, -1};
  Pipe(out);
  Pipe(err);
  if (input) Pipe(in);
  int master = -1, parentSlave = -1;
  std::string slave;
  if (terminal) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("no pty");
    slave = ::ptsname(master);
    // Held open here until the end, so that the master never reads a hang-up
    // while the child is still on its way to the terminal.
    parentSlave = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (parentSlave < 0) throw std::runtime_error("cannot open " + slave);
  }
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // A session of its own has no controlling terminal, so the write
    // warning can never wait on the terminal of whoever runs the tests.
    ::setsid();
    if (terminal) {
      // The first terminal a session leader opens becomes its controlling one.
      // It stays open (and is inherited) for the life of the tool.
      if (::open(slave.c_str(), O_RDWR) < 0) _exit(126);
    }
    if (asId >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(asId)) != 0 ||
                      ::setuid(static_cast<uid_t>(asId)) != 0))
      _exit(125);
    int nul = ::open("/dev/null", O_RDONLY);
    ::dup2(input ? in[0] : nul, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    Exec(program, args);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (input) ::close(in[0]);
  TToolRun r = Collect(pid, out[0], err[0], master, input, input ? in[1] : -1, answer);
  if (parentSlave >= 0) ::close(parentSlave);
  return r;
}

}  // namespace

TToolRun RunTool(const std::vector<std::string>& args, const std::string* input, const std::string& program) {
  return Run(program, args, input, false, std::string());
}

TToolRun RunToolAs(unsigned id, const std::vector<std::string>& args) {
  // The build tree may lie below a directory only its owner can enter (a
  // private temporary clone), so the other user runs a copy of the tool and
  // of the library from a directory anyone can read.
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/evc-sectors-as.XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  const fs::path dir = pattern;
  fs::copy_file(SectorsTool(), dir / "sectors");
  fs::copy_file(EVC_BINARY_DIR "/libevcomp.so.0", dir / "libevcomp.so.0");
  ::chmod(pattern, 0755);
  const char* old = std::getenv("LD_LIBRARY_PATH");
  const std::string saved = old ? old : "";
  ::setenv("LD_LIBRARY_PATH", pattern, 1);
  TToolRun r;
  try {
    r = Run((dir / "sectors").string(), args, nullptr, false, std::string(), static_cast<long>(id));
  } catch (...) {
    old ? ::setenv("LD_LIBRARY_PATH", saved.c_str(), 1) : ::unsetenv("LD_LIBRARY_PATH");
    fs::remove_all(dir);
    throw;
  }
  old ? ::setenv("LD_LIBRARY_PATH", saved.c_str(), 1) : ::unsetenv("LD_LIBRARY_PATH");
  fs::remove_all(dir);
  return r;
}

TToolRun RunOnTerminal(const std::vector<std::string>& args, const std::string& answer) {
  return Run(SectorsTool(), args, nullptr, true, answer);
}

TScratchDir::TScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/evc-sectors-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back(0);
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  FPath = buf.data();
}

TScratchDir::~TScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(FPath, ec);
}

void PutFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> GetFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<uint8_t> DdSectors(const std::string& path, uint64_t skip, uint64_t count) {
  TToolRun r = RunTool({"if=" + path, "bs=512", "skip=" + std::to_string(skip), "count=" + std::to_string(count),
                        "status=none"},
                       nullptr, "/bin/dd");
  if (r.Status != 0) throw std::runtime_error("dd failed: " + r.Err);
  return std::vector<uint8_t>(r.Out.begin(), r.Out.end());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace evc::test
