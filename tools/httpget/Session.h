// One run of httpget: a THttpCli set up from the options, the request
// driven through the thread's message loop, the document written as it
// arrives, and the outcome turned into an exit status.
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
constexpr int kExitTlsHandshake = 35;   // the handshake failed
constexpr int kExitTlsCertificate = 60; // the server's certificate was not accepted

class TSession {
 public:
  explicit TSession(const TOptions& options);
  ~TSession();
  // Runs the request to its end; prints the one-line failure on stderr.
  int Run();

 private:
  bool Prepare();
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
  TOutput FOutput;
  TProgress FProgress;
  bool FDone = false;
  evc::WORD FError = 0;
  std::string FFailure;      // set when the tool itself ends the request
  bool FHeaderSeen = false;  // a response header began (the server answered)
  int FResponseLines = 0;    // header lines written for the current response
  int FHeaderLines = 0;      // header lines received for the current response
  int FRelocations = 0;
  int64_t FDocumentBytes = 0;  // of the last response
};

}  // namespace httpget
