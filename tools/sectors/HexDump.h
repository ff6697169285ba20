// The hex dump the read command prints: 16 bytes a line, each line led by
// the byte offset on the drive, with the printable characters beside.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace sectors {

// Appends the lines for `size` bytes that lie at byte `offset` of the drive.
void AppendHexDump(std::string& out, uint64_t offset, const uint8_t* data, size_t size);

}  // namespace sectors
