#include "socket/WSockBuf.h"

#include <algorithm>
#include <cstring>

namespace evc {

namespace {
constexpr int32_t kDefaultBlockSize = 1514;
}

TBuffer::TBuffer(int32_t size) { Resize(size); }

void TBuffer::Resize(int32_t newSize) {
  if (newSize <= 0) newSize = kDefaultBlockSize;
  if (newSize == FCapacity && FData) return;
  if (FWriteIndex == FReadIndex) {
    FData.reset(new char[static_cast<size_t>(newSize)]);
  } else {
    std::unique_ptr<char[]> block(new char[static_cast<size_t>(newSize)]);
    std::memcpy(block.get(), FData.get(), static_cast<size_t>(std::min(FWriteIndex, newSize)));
    FData = std::move(block);
  }
  FCapacity = newSize;
}

int32_t TBuffer::Append(const void* src, int32_t len) {
  int32_t room = FCapacity - FWriteIndex;
  if (room <= 0 || len <= 0) return 0;
  int32_t n = std::min(len, room);
  std::memcpy(FData.get() + FWriteIndex, src, static_cast<size_t>(n));
  FWriteIndex += n;
  return n;
}

const char* TBuffer::PeekData(int32_t& len) const {
  if (FWriteIndex - FReadIndex <= 0) {
    len = 0;
    return nullptr;
  }
  len = FWriteIndex - FReadIndex;
  return FData.get() + FReadIndex;
}

int32_t TBuffer::Consume(int32_t len) {
  int32_t unread = FWriteIndex - FReadIndex;
  if (unread <= 0 || len <= 0) return 0;
  int32_t count = std::min(len, unread);
  FReadIndex += count;
  if (FReadIndex >= FWriteIndex) {
    FReadIndex = 0;
    FWriteIndex = 0;
  }
  return count;
}

}  // namespace evc
