// An nginx of our own on 127.0.0.1: a temporary directory with its
// configuration and document root, the server started in the foreground as
// our child and stopped (by its process id) when the object goes away, or
// by the kernel when the thread that started it ends first.
// Shared by the HTTP benchmarks and the httpget tool tests, so it is
// header-only and depends on nothing but POSIX.
#pragma once
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

namespace evcpeer {

// The nginx program, or an empty text when it is not installed.
inline std::string NginxProgram() {
  for (const char* p : {"/usr/sbin/nginx", "/usr/bin/nginx", "/usr/local/sbin/nginx"})
    if (access(p, X_OK) == 0) return p;
  return {};
}

// A port on 127.0.0.1 that was free a moment ago (bound, read, closed).
inline int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// True once something accepts connections on 127.0.0.1:port.
inline bool LoopbackPortAnswers(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

class TLoopbackNginx {
 public:
  // `serverConfig` is added inside the server block (locations, options);
  // in it @PORT@ and @TLSPORT@ stand for the ports chosen at Start.
  explicit TLoopbackNginx(std::string serverConfig = {}) : FServerConfig(std::move(serverConfig)) {
    char tmpl[] = "/tmp/evc-nginx-XXXXXX";
    if (!mkdtemp(tmpl)) {
      FError = std::string("mkdtemp: ") + std::strerror(errno);
      return;
    }
    FDir = tmpl;
    // The workers run as an unprivileged user and must read the documents.
    chmod(FDir.c_str(), 0755);
    mkdir((FDir + "/www").c_str(), 0755);
    mkdir((FDir + "/tmp").c_str(), 0755);
  }
  ~TLoopbackNginx() {
    Stop();
    if (!FDir.empty()) {
      std::string cmd = "rm -rf '" + FDir + "'";
      if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", FDir.c_str());
    }
  }
  TLoopbackNginx(const TLoopbackNginx&) = delete;
  TLoopbackNginx& operator=(const TLoopbackNginx&) = delete;

  // Serves https too, on a second port, with this certificate (PEM files).
  void EnableTls(const std::string& certFile, const std::string& keyFile) {
    FTlsCert = certFile;
    FTlsKey = keyFile;
  }
  int TlsPort() const { return FTlsPort; }
  std::string TlsUrl(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(FTlsPort) + path;
  }

  const std::string& Root() const { return FDir; }
  std::string DocumentRoot() const { return FDir + "/www"; }
  int Port() const { return FPort; }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(FPort) + path; }
  // Why Start failed (empty after a successful start).
  const std::string& Error() const { return FError; }

  // Writes a document under the root (name relative, such as "/a.txt").
  bool WriteDocument(const std::string& name, const std::string& bytes) const {
    std::ofstream f(DocumentRoot() + name, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    f.close();
    chmod((DocumentRoot() + name).c_str(), 0644);
    return static_cast<bool>(f);
  }
  // A document of `size` zero bytes that takes no disk space.
  bool WriteSparseDocument(const std::string& name, off_t size) const {
    int fd = open((DocumentRoot() + name).c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0) return false;
    bool ok = ftruncate(fd, size) == 0;
    close(fd);
    return ok;
  }

  // Starts nginx on a free port and waits (at most 10 s) until it answers.
  bool Start() {
    if (FDir.empty()) return false;
    std::string program = NginxProgram();
    if (program.empty()) {
      FError = "nginx is not installed";
      return false;
    }
    // Another program may take the free port before nginx binds it: retry.
    for (int attempt = 0; attempt < 5; ++attempt) {
      FPort = FreeLoopbackPort();
      FTlsPort = FTlsCert.empty() ? 0 : FreeLoopbackPort();
      if (FPort == 0 || (!FTlsCert.empty() && (FTlsPort == 0 || FTlsPort == FPort))) continue;
      if (!WriteConfig()) {
        FError = "cannot write the nginx configuration";
        return false;
      }
      if (Launch(program)) {
        FError.clear();
        return true;
      }
    }
    return false;
  }

  // Stops our nginx (SIGTERM to the master we started, SIGKILL after 5 s).
  void Stop() {
    if (FPid <= 0) return;
    kill(FPid, SIGTERM);
    if (!WaitExit(5000)) {
      kill(FPid, SIGKILL);
      WaitExit(5000);
    }
    FPid = -1;
  }

 private:
  bool WriteConfig() const {
    std::ofstream c(FDir + "/nginx.conf");
    const std::string t = FDir + "/tmp";
    c << "worker_processes 1;\n"
      << "pid " << FDir << "/nginx.pid;\n"
      << "error_log " << FDir << "/error.log warn;\n"
      << "events { worker_connections 512; }\n"
      << "http {\n"
      << "  access_log off;\n"
      << "  client_body_temp_path " << t << "/body;\n"
      << "  proxy_temp_path " << t << "/proxy;\n"
      << "  fastcgi_temp_path " << t << "/fastcgi;\n"
      << "  uwsgi_temp_path " << t << "/uwsgi;\n"
      << "  scgi_temp_path " << t << "/scgi;\n"
      << "  default_type application/octet-stream;\n"
      << "  sendfile on;\n"
      << "  server {\n"
      << "    listen 127.0.0.1:" << FPort << ";\n"
      << "    server_name localhost;\n"
      << "    root " << FDir << "/www;\n";
    if (!FTlsCert.empty())
      c << "    listen 127.0.0.1:" << FTlsPort << " ssl;\n"
        << "    ssl_certificate " << FTlsCert << ";\n"
        << "    ssl_certificate_key " << FTlsKey << ";\n"
        // Older nginx offers no TLS 1.3 unless told to.
        << "    ssl_protocols TLSv1.2 TLSv1.3;\n";
    c << Substituted(FServerConfig) << "\n"
      << "  }\n"
      << "}\n";
    return static_cast<bool>(c);
  }

  std::string Substituted(std::string text) const {
    for (auto [mark, port] : {std::pair<std::string, int>{"@PORT@", FPort}, {"@TLSPORT@", FTlsPort}})
      for (size_t p; (p = text.find(mark)) != std::string::npos;) text.replace(p, mark.size(), std::to_string(port));
    return text;
  }

  bool Launch(const std::string& program) {
    const std::string log = FDir + "/stderr.log";
    const std::string conf = FDir + "/nginx.conf";
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
      FError = std::string("fork: ") + std::strerror(errno);
      return false;
    }
    if (pid == 0) {
      // A program that dies without running its destructors (an abort, a
      // sanitizer report, a kill) must not leave its nginx behind: the
      // master is told to stop when the thread that started it ends.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
      int fd = open(log.c_str(), O_CREAT | O_WRONLY | O_APPEND, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
      }
      execl(program.c_str(), program.c_str(), "-p", FDir.c_str(), "-c", conf.c_str(), "-g", "daemon off;",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    FPid = pid;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (LoopbackPortAnswers(FPort) && (FTlsPort == 0 || LoopbackPortAnswers(FTlsPort))) return true;
      int status = 0;
      if (waitpid(FPid, &status, WNOHANG) == FPid) {  // it gave up (port taken, bad config)
        FPid = -1;
        std::ifstream in(log);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        FError = "nginx exited: " + text;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FError = "nginx did not answer within 10 s";
    Stop();
    return false;
  }

  bool WaitExit(int milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      pid_t r = waitpid(FPid, &status, WNOHANG);
      if (r == FPid || (r < 0 && errno == ECHILD)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string FServerConfig;
  std::string FDir;
  std::string FError;
  std::string FTlsCert, FTlsKey;
  int FPort = 0;
  int FTlsPort = 0;
  pid_t FPid = -1;
};

}  // namespace evcpeer
