// The chunked transfer coding, one byte at a time outside the chunk data and
// in whole runs inside it.
#include "http/HttpChunked.h"

namespace evc {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

void THttpChunkDecoder::Reset() {
  FPhase = phSize;
  FStatus = csMore;
  FSize = FLeft = 0;
  FDigits = FLineLen = 0;
  FLine.clear();
  FDataBytes = 0;
}

void THttpChunkDecoder::EndOfSizeLine() {
  FLineLen = 0;
  FDigits = 0;
  if (FSize == 0) {
    FPhase = phTrailer;
    FLine.clear();
  } else {
    FLeft = FSize;
    FPhase = phData;
  }
  FSize = 0;
}

bool THttpChunkDecoder::Step(char c, TSink& sink) {
  switch (FPhase) {
    case phSize: {
      if (++FLineLen > kMaxLine) return Fail(csBadSize);
      int v = HexValue(c);
      if (v >= 0) {
        // Leading zeros are harmless; a value that needs more than 64 bits is not.
        if (FSize > (UINT64_MAX >> 4)) return Fail(csSizeOverflow);
        FSize = (FSize << 4) | static_cast<uint64_t>(v);
        ++FDigits;
        return true;
      }
      if (FDigits == 0) return Fail(csBadSize);
      if (c == ';') FPhase = phExtension;
      else if (IsBlank(c)) FPhase = phSizeBlank;
      else if (c == '\r') FPhase = phSizeLf;
      else if (c == '\n') EndOfSizeLine();
      else return Fail(csBadSize);
      return true;
    }
    case phSizeBlank:
      if (++FLineLen > kMaxLine) return Fail(csBadSize);
      if (c == ';') FPhase = phExtension;
      else if (c == '\r') FPhase = phSizeLf;
      else if (c == '\n') EndOfSizeLine();
      else if (!IsBlank(c)) return Fail(csBadSize);
      return true;
    case phExtension:
      // Extensions mean nothing to this client; they are only bounded.
      if (++FLineLen > kMaxLine) return Fail(csBadSize);
      if (c == '\r') FPhase = phSizeLf;
      else if (c == '\n') EndOfSizeLine();
      return true;
    case phSizeLf:
      if (c != '\n') return Fail(csBadSize);
      EndOfSizeLine();
      return true;
    case phDataCr:
      if (c == '\r') FPhase = phDataLf;
      else if (c == '\n') FPhase = phSize;
      else return Fail(csBadDataEnd);
      return true;
    case phDataLf:
      if (c != '\n') return Fail(csBadDataEnd);
      FPhase = phSize;
      return true;
    case phTrailer:
      if (c == '\r') {
        FPhase = phTrailerLf;
        return true;
      }
      if (c != '\n') {
        if (FLine.size() >= kMaxLine) return Fail(csBadTrailer);
        FLine.push_back(c);
        return true;
      }
      break;  // a bare LF ends the line
    case phTrailerLf:
      if (c != '\n') return Fail(csBadTrailer);
      break;
    case phData:
    case phEnd:
      return false;
  }
  // The end of a trailer line: an empty one ends the body.
  if (FLine.empty()) {
    FStatus = csDone;
    FPhase = phEnd;
    return false;
  }
  sink.TrailerLine(FLine);
  FLine.clear();
  FPhase = phTrailer;
  return true;
}

size_t THttpChunkDecoder::Feed(const char* data, size_t len, TSink& sink) {
  size_t i = 0;
  while (i < len && FPhase != phEnd) {
    if (FPhase == phData) {
      size_t run = len - i;
      if (run > FLeft) run = static_cast<size_t>(FLeft);
      FLeft -= run;
      FDataBytes += run;
      if (FLeft == 0) FPhase = phDataCr;
      const char* at = data + i;
      i += run;
      if (!sink.ChunkData(at, run)) return i;
      continue;
    }
    char c = data[i++];
    if (!Step(c, sink)) break;
  }
  return i;
}

}  // namespace evc
