// TBuffer: one fixed-size block of a socket's send queue.
//
// Bytes are appended at WriteIndex and taken out at ReadIndex; the block is
// never compacted, and its front is reused only once everything in it has
// been taken out (both indices go back to 0 then). This keeps every byte
// copied exactly once on its way from the caller to the socket.
#pragma once
#include <cstdint>
#include <memory>

namespace evc {

class TBuffer {
 public:
  // A block of Size bytes (0 or less gives 1514, one Ethernet frame).
  explicit TBuffer(int32_t size);
  TBuffer(const TBuffer&) = delete;
  TBuffer& operator=(const TBuffer&) = delete;

  // Changes the capacity, keeping the first WriteIndex bytes when unread
  // bytes exist. The caller must not shrink a block below WriteIndex.
  void Resize(int32_t newSize);
  // Copies as much of Src as fits and returns that count (0 when full).
  int32_t Append(const void* src, int32_t len);
  // The unread bytes: their start, or nullptr with len 0 when there are none.
  const char* PeekData(int32_t& len) const;
  // Marks up to Len unread bytes as taken out and returns how many were.
  int32_t Consume(int32_t len);

  int32_t Capacity() const { return FCapacity; }
  int32_t WriteIndex() const { return FWriteIndex; }
  int32_t ReadIndex() const { return FReadIndex; }
  int32_t Unread() const { return FWriteIndex - FReadIndex; }
  const char* Data() const { return FData.get(); }

 private:
  std::unique_ptr<char[]> FData;
  int32_t FCapacity = 0;
  int32_t FWriteIndex = 0;
  int32_t FReadIndex = 0;
};

}  // namespace evc
