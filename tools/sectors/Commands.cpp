#include "Commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Drive.h"
#include "Files.h"
#include "HexDump.h"
#include "Progress.h"

namespace sectors {

using namespace evc;

namespace {

// Sectors moved per component call: about a mebibyte, so that a long
// transfer neither holds the whole drive in memory nor pays a volume open
// per sector.
uint32_t ChunkSectors(uint32_t bytesPerSector) {
  const uint32_t n = (1u << 20) / (bytesPerSector ? bytesPerSector : 1);
  return n ? n : 1;
}

std::string Span(uint64_t first, uint64_t count) {
  return count == 1 ? "sector " + std::to_string(first)
                    : "sectors " + std::to_string(first) + " to " + std::to_string(first + count - 1);
}

void Configure(TDirDisk& disk, const TOptions& o) {
  disk.SetNeedDiskLock(o.Lock);
  disk.SetRetries(static_cast<TRetries>(o.Retries));
}

std::vector<uint8_t> Buffer(uint64_t bytes) {
  try {
    return std::vector<uint8_t>(static_cast<size_t>(bytes));
  } catch (const std::bad_alloc&) {
    throw TFailure("not enough memory for a transfer of " + std::to_string(bytes) + " bytes");
  }
}

// Whether the warning had a terminal to ask on, only to word the refusal:
// /dev/tty opens only for a process with a controlling terminal.
bool HaveTerminal() {
  int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

void PutStdout(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
    throw TFailure("cannot write to standard output");
}

}  // namespace

int RunInfo(const TOptions& options) {
  TDrive drive(options);
  std::printf("drive:               %c: (%s)\n", drive.Letter(), drive.Path().c_str());
  std::printf("drive valid:         %s\n", drive.Valid() ? "yes" : "no");
  if (drive.Valid()) {
    const uint64_t bytes = drive.SizeInSectors() * drive.BytesPerSector();
    std::printf("bytes per sector:    %u\n", drive.BytesPerSector());
    std::printf("size:                %llu sectors, %llu bytes (%.1f MiB)\n",
                static_cast<unsigned long long>(drive.SizeInSectors()), static_cast<unsigned long long>(bytes),
                static_cast<double>(bytes) / (1 << 20));
    std::printf("sectors per cluster: %u\n", drive.Disk().SectorsPerCluster());
    std::printf("total clusters:      %u\n", drive.Disk().TotalClusters());
  }
  std::fflush(stdout);
  // A drive that cannot be used is a failure, with its reason, even though
  // the report above was printed.
  if (!drive.Valid()) throw TFailure("cannot use " + drive.Name() + ": " + drive.WhyInvalid());
  return 0;
}

int RunRead(const TOptions& options) {
  TDrive drive(options);
  drive.RequireRange(options.First, options.Count);
  std::unique_ptr<TRawOutput> output;
  if (!options.Output.empty()) {
    RefuseMappedFile(options.Output, options.Maps, "output");
    output = std::make_unique<TRawOutput>(options.Output);
  }
  TDirDisk& disk = drive.Disk();
  Configure(disk, options);

  const uint32_t bps = drive.BytesPerSector();
  const uint32_t chunk = ChunkSectors(bps);
  std::vector<uint8_t> buffer = Buffer(uint64_t(std::min<uint32_t>(chunk, options.Count)) * bps);
  TProgress progress("reading", uint64_t(options.Count) * bps, !output && isatty(STDOUT_FILENO));
  std::string text;
  for (uint64_t done = 0; done < options.Count;) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(chunk, options.Count - done));
    const uint64_t first = options.First + done;
    const size_t bytes = size_t(n) * bps;
    disk.SetFirstSector(static_cast<uint32_t>(first));
    disk.SetSectors(n);
    drive.Trace().Reset();
    if (!disk.ReadSectors(buffer.data(), bytes)) {
      progress.Finish();
      std::fflush(stdout);
      throw TFailure("reading " + Span(first, n) + " of " + drive.Name() + " failed: " + drive.TransferFailure());
    }
    if (output) {
      output->Write(buffer.data(), bytes);
    } else {
      text.clear();
      AppendHexDump(text, first * bps, buffer.data(), bytes);
      PutStdout(text);
    }
    done += n;
    progress.Update(done * bps);
  }
  progress.Finish();
  if (output) output->Commit();
  if (std::fflush(stdout) != 0) throw TFailure("cannot write to standard output");
  return 0;
}

int RunWrite(const TOptions& options) {
  TDrive drive(options);
  if (!drive.Valid()) throw TFailure("cannot use " + drive.Name() + ": " + drive.WhyInvalid());
  const uint32_t bps = drive.BytesPerSector();
  const std::string inputName = options.Input == "-" ? "standard input" : "input " + options.Input;

  // Everything is checked and the whole input is in memory before the first
  // sector is written: a short or oversized input never leaves the drive
  // half written.
  uint64_t count = options.Count;
  std::vector<uint8_t> data;
  if (options.HasCount) {
    drive.RequireRange(options.First, count);
    data = ReadInput(options.Input, count * bps, 0);
  } else {
    const uint64_t room = options.First < drive.SizeInSectors() ? drive.SizeInSectors() - options.First : 0;
    data = ReadInput(options.Input, 0, room * bps);
    if (data.empty()) throw TFailure(inputName + " is empty");
    if (data.size() > room * bps)
      throw TFailure(inputName + " does not fit: from sector " + std::to_string(options.First) +
                     " it runs past the end of " + drive.Name() + ", which has " +
                     std::to_string(drive.SizeInSectors()) + " sectors");
    if (data.size() % bps != 0)
      throw TFailure(inputName + " holds " + std::to_string(data.size()) + " bytes, not a whole number of " +
                     std::to_string(bps) + "-byte sectors (give --count to write part of it)");
    count = data.size() / bps;
    drive.RequireRange(options.First, count);
  }

  TDirDisk& disk = drive.Disk();
  Configure(disk, options);
  disk.SetNeedWriteWarn(!options.Yes);
  const uint32_t chunk = ChunkSectors(bps);
  TProgress progress("writing", count * bps, false);
  for (uint64_t done = 0; done < count;) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(chunk, count - done));
    const uint64_t first = options.First + done;
    disk.SetFirstSector(static_cast<uint32_t>(first));
    disk.SetSectors(n);
    drive.Trace().Reset();
    const bool ok = disk.WriteSectors(data.data() + done * bps, size_t(n) * bps);
    // The warning is the component's and comes with its first write; once
    // the user said Yes for this drive, the rest of the same transfer goes
    // without asking again.
    if (!ok && drive.Trace().WarningShown() && drive.Trace().WarningAnswer() != IDYES) {
      progress.Finish();
      const bool terminal = HaveTerminal();
      throw TFailure("write to " + drive.Name() + " refused: " +
                     (terminal ? std::string("the warning was not answered Yes")
                               : std::string("no terminal to confirm on (give --yes to write without asking)")) +
                     "; nothing written");
    }
    if (!ok) {
      progress.Finish();
      std::string written = done ? "; " + Span(options.First, done) + " already written" : "; nothing written";
      throw TFailure("writing " + Span(first, n) + " of " + drive.Name() + " failed: " + drive.TransferFailure() +
                     written);
    }
    disk.SetNeedWriteWarn(false);
    done += n;
    progress.Update(done * bps);
  }
  progress.Finish();
  std::printf("wrote %s of drive %c: (%llu bytes)\n", Span(options.First, count).c_str(), drive.Letter(),
              static_cast<unsigned long long>(count * bps));
  return 0;
}

}  // namespace sectors
