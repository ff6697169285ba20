// THttpChunkDecoder: the chunked transfer coding of an HTTP/1.1 body, as a
// byte-driven state machine with no I/O of its own.
//
// Bytes go in as they arrive, cut anywhere; the document bytes come out
// through the sink in as few calls as the input allows (a chunk split over
// two reads gives two calls). Chunk extensions are read and dropped, trailer
// fields are handed over one line at a time without their line end. The
// decoder stops right after the empty line that closes the trailer: what
// follows in the input belongs to whatever comes next on the connection, and
// Feed says how much it used so that the caller can see it.
//
// Line ends are CR LF; a bare LF is taken too, as for header lines. Every
// line the decoder keeps (a size line with its extensions, a trailer line)
// is bounded, so no input can make it hold more than a few kilobytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace evc {

class THttpChunkDecoder {
 public:
  enum TStatus : uint8_t {
    csMore,         // the body goes on
    csDone,         // the last chunk and the trailer have been read
    csBadSize,      // a size line that is not hexadecimal digits [ext] CRLF
    csSizeOverflow, // a chunk size that does not fit in 64 bits
    csBadDataEnd,   // a chunk's data not followed by CRLF
    csBadTrailer,   // a trailer line that is too long or badly ended
  };

  class TSink {
   public:
    virtual ~TSink() = default;
    // Document bytes. Returns false to stop the decoding (the caller gave up
    // the response meanwhile); Feed then returns at once.
    virtual bool ChunkData(const char* data, size_t len) = 0;
    // One trailer field line, as received, without its line end.
    virtual void TrailerLine(const std::string& line) = 0;
  };

  // The longest size line (digits and extensions) or trailer line taken.
  static constexpr size_t kMaxLine = 8192;

  void Reset();
  // Decodes from the start of `data`; returns the number of bytes used.
  // Stops at csDone, at the first error, or when the sink asks to.
  size_t Feed(const char* data, size_t len, TSink& sink);

  TStatus Status() const { return FStatus; }
  bool Failed() const { return FStatus > csDone; }
  // Document bytes delivered since Reset.
  uint64_t DataBytes() const { return FDataBytes; }

 private:
  enum TPhase : uint8_t {
    phSize,       // hexadecimal digits of the size
    phSizeBlank,  // blanks after the digits
    phExtension,  // ";" and what follows up to the line end
    phSizeLf,     // CR seen after the size line
    phData,       // chunk data
    phDataCr,     // expecting CR (or LF) after the data
    phDataLf,     // CR seen after the data
    phTrailer,    // a trailer line (or the empty line that ends it all)
    phTrailerLf,  // CR seen after a trailer line
    phEnd,
  };
  bool Fail(TStatus s) {
    FStatus = s;
    FPhase = phEnd;
    return false;
  }
  // Handles one byte of a size line or trailer; false once decoding ended.
  bool Step(char c, TSink& sink);
  void EndOfSizeLine();

  TPhase FPhase = phSize;
  TStatus FStatus = csMore;
  uint64_t FSize = 0;     // size of the chunk being read
  uint64_t FLeft = 0;     // its data bytes still to come
  size_t FDigits = 0;     // digits of the size line seen
  size_t FLineLen = 0;    // bytes of the current size line
  std::string FLine;      // the trailer line being assembled
  uint64_t FDataBytes = 0;
};

}  // namespace evc
