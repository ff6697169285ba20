#include "base/Streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/Exception.h"

namespace evc {

int64_t TStream::Size() const {
  auto* self = const_cast<TStream*>(this);
  int64_t pos = self->Seek(0, soCurrent);
  int64_t end = self->Seek(0, soEnd);
  self->Seek(pos, soBeginning);
  return end;
}

void TStream::SetSize(int64_t) {}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  auto* p = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    int64_t n = Read(p + done, count - done);
    if (n <= 0) throw EReadError("Stream read error");
    done += n;
  }
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  auto* p = static_cast<const uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    int64_t n = Write(p + done, count - done);
    if (n <= 0) throw EWriteError("Stream write error");
    done += n;
  }
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  constexpr int64_t kChunk = 64 * 1024;
  std::vector<uint8_t> buf(static_cast<size_t>(std::min(count, kChunk) > 0 ? std::min(count, kChunk) : 1));
  int64_t left = count;
  while (left > 0) {
    int64_t n = std::min<int64_t>(left, static_cast<int64_t>(buf.size()));
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    left -= n;
  }
  return count;
}

// --- TMemoryStream ---
int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || FPosition >= Size()) return 0;
  int64_t n = std::min(count, Size() - FPosition);
  std::memcpy(buffer, FData.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end = FPosition + count;
  if (end > Size()) FData.resize(static_cast<size_t>(end));
  std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
  FPosition = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? FPosition : Size();
  int64_t pos = base + offset;
  if (pos < 0) return -1;
  FPosition = pos;  // past the end is allowed: the next write fills the gap with zeros
  return FPosition;
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0) size = 0;
  FData.resize(static_cast<size_t>(size));
  if (FPosition > size) FPosition = size;
}

void TMemoryStream::Clear() {
  FData.clear();
  FData.shrink_to_fit();
  FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& stream) {
  stream.SetPosition(0);
  int64_t n = stream.Size();
  SetSize(n);
  if (n > 0) stream.ReadBuffer(FData.data(), n);
  FPosition = 0;
}

void TMemoryStream::SaveToStream(TStream& stream) const {
  if (!FData.empty()) stream.WriteBuffer(FData.data(), Size());
}

void TMemoryStream::LoadFromFile(const std::string& path) {
  TFileStream f(path, fmOpenRead);
  LoadFromStream(f);
}

void TMemoryStream::SaveToFile(const std::string& path) const {
  TFileStream f(path, fmCreate);
  SaveToStream(f);
}

// --- TFileStream ---
TFileStream::TFileStream(const std::string& path, uint16_t mode) : FFileName(path) {
  if (mode == fmCreate) {
    FHandle = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (FHandle < 0)
      throw EFCreateError("Cannot create file \"" + path + "\". " + std::strerror(errno));
    return;
  }
  int flags = (mode & 3) == fmOpenWrite ? O_WRONLY : (mode & 3) == fmOpenReadWrite ? O_RDWR : O_RDONLY;
  FHandle = ::open(path.c_str(), flags | O_CLOEXEC);
  if (FHandle < 0) throw EFOpenError("Cannot open file \"" + path + "\". " + std::strerror(errno));
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do {
    n = ::read(FHandle, buffer, static_cast<size_t>(count));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : n;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do {
    n = ::write(FHandle, buffer, static_cast<size_t>(count));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : n;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  return ::lseek(FHandle, offset, whence);
}

void TFileStream::SetSize(int64_t size) {
  if (::ftruncate(FHandle, size) != 0) throw EStreamError(std::string("Stream size error: ") + std::strerror(errno));
  if (Position() > size) Seek(size, soBeginning);
}

}  // namespace evc
