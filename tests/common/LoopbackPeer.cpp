#include "common/LoopbackPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace loopback {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> ArgvOf(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  for (const auto& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

bool Executable(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// True when one socket table of the kernel has a listener on that port.
bool ListeningIn(const char* table, int port) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // column titles
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (!(fields >> slot >> local >> remote >> state)) continue;
    if (state != "0A") continue;  // TCP_LISTEN
    auto colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    if (std::strtol(local.c_str() + colon + 1, nullptr, 16) == port) return true;
  }
  return false;
}

}  // namespace

std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return Executable(name) ? name : std::string();
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/local/sbin:/usr/sbin:/sbin";
  std::istringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + name;
    if (Executable(candidate)) return candidate;
  }
  return std::string();
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  int port = 0;
  socklen_t len = sizeof(a);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

int ListenLoopback(int* port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

bool PortListening(int port) { return ListeningIn("/proc/net/tcp", port) || ListeningIn("/proc/net/tcp6", port); }

TTempDir::TTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "evc-peer.XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) FPath = buf.data();
}

TTempDir::~TTempDir() {
  if (FPath.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(FPath, ec);
}

std::string TTempDir::Write(const std::string& name, const std::string& content, unsigned mode) const {
  std::string path = File(name);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
  }
  chmod(path.c_str(), mode);
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int RunProgram(const std::vector<std::string>& argv, std::string* output, int milliseconds) {
  if (argv.empty()) return -1;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  auto args = ArgvOf(argv);
  pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return -1;
  }
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    dup2(pipeFds[1], 1);
    dup2(pipeFds[1], 2);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pipeFds[1]);
  auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  bool timedOut = false;
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{pipeFds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    ssize_t n = read(pipeFds[0], buf, sizeof(buf));
    if (n <= 0) break;
    if (output) output->append(buf, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (timedOut || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool TLoopbackPeer::Start(const std::vector<std::string>& argv, const std::string& logPath) {
  Stop();
  if (argv.empty()) return false;
  FLogPath = logPath;
  auto args = ArgvOf(argv);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setpgid(0, 0);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (log >= 0) {
      dup2(log, 1);
      dup2(log, 2);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  // Set from both sides, so that the group exists whichever runs first.
  setpgid(pid, pid);
  FPid = pid;
  return true;
}

bool TLoopbackPeer::Running() {
  if (FPid <= 0) return false;
  int status = 0;
  if (waitpid(FPid, &status, WNOHANG) == FPid) {
    // Whatever it left behind in its group goes with it.
    kill(-FPid, SIGKILL);
    FPid = -1;
    return false;
  }
  return true;
}

bool TLoopbackPeer::WaitListening(int port, int milliseconds) {
  auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  // Bounded polling of the socket table: the daemon gives no other sign.
  while (Clock::now() < deadline) {
    if (!Running()) return false;
    if (PortListening(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void TLoopbackPeer::Stop() {
  if (FPid <= 0) return;
  pid_t pid = FPid;
  FPid = -1;
  kill(-pid, SIGTERM);
  kill(pid, SIGTERM);
  auto deadline = Clock::now() + std::chrono::milliseconds(2000);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Children that outlived their parent (daemons fork workers) go too.
  kill(-pid, SIGKILL);
}

}  // namespace loopback
