// One run of httpget: a THttpCli set up from the options, each URL's
// request driven in turn through the thread's message loop (with 1.1 on
// the connection the previous one left open), each document written as it
// arrives, and the outcomes turned into an exit status.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "Options.h"
#include "Output.h"
#include "Progress.h"
#include "base/Streams.h"
#include "ssl/HttpsCli.h"

namespace httpget {

// Exit statuses, as curl uses them where they overlap.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitPartial = 18;        // the TLS stream ended without close_notify
constexpr int kExitHttpError = 22;
constexpr int kExitTimeout = 28;
constexpr int kExitTlsHandshake = 35;   // the handshake failed
constexpr int kExitTlsCertificate = 60; // the server's certificate was not accepted

class TSession {
 public:
  explicit TSession(const TOptions& options);
  ~TSession();
  // Runs the requests to their end; prints a one-line failure on stderr
  // for each that fails. The status is that of the last one that failed.
  int Run();

 private:
  bool Prepare();
  // One URL: the request, its wait (within the time limits) and its status.
  int Transfer(size_t index);
  // Waits for the request's end or the first time limit that passes.
  void Wait();
  void HookEvents();
  void Trace(const std::string& line) const;
  void Verbose(const std::string& line) const;
  void ReportTls(evc::WORD error) const;
  void WriteHeaderLine(const std::string& line);
  void Fail(const std::string& text);
  int Outcome();

  const TOptions& FOptions;
  std::unique_ptr<evc::THttpsCli> FClient;
  std::unique_ptr<evc::TStream> FPostStream;
  std::unique_ptr<TOutput> FOutput;
  TProgress FProgress;
  bool FDone = false;
  evc::WORD FError = 0;
  std::string FFailure;      // set when the tool itself ends the request
  bool FHeaderSeen = false;  // a response header began (the server answered)
  int FResponseLines = 0;    // header lines written for the current response
  int FHeaderLines = 0;      // header lines received for the current response
  int FRelocations = 0;
  int64_t FDocumentBytes = 0;  // of the last response
  bool FSessionUp = false;     // connected (or on a kept connection)
  bool FTimedOut = false;
};

}  // namespace httpget
