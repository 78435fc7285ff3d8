#pragma once

// Reading HTTP/1.1 answers: the status line, the header lines and the body in its three
// framings (chunked, Content-Length, until close). Every size a server states or sends is
// checked against a limit, so a hostile answer costs bounded memory and ends in a clear error.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kyt {

// Where answer bytes come from: a connection, or memory in tests and fuzzing.
class THTTPByteSource {
 public:
  virtual ~THTTPByteSource() = default;
  // Appends at least one byte to `buffer` and returns true, or returns false when the peer
  // ended the stream. Raises on a time-out or a socket error.
  virtual bool ReadMore(std::string& buffer) = 0;
};

struct THTTPLimits {
  std::size_t StatusLine = 8 * 1024;
  std::size_t HeaderLine = 64 * 1024;
  // Header lines of one answer (folded continuation lines and chunked trailers count too).
  std::size_t HeaderCount = 256;
  // Hex digits of one chunk size, leading zeros included; 16 digits still fit 64 bits.
  std::size_t ChunkSizeDigits = 16;
  // A chunk-size line with its extensions.
  std::size_t ChunkLine = 4 * 1024;
  // Interim (1xx) answers before the final one.
  std::size_t InterimAnswers = 16;
  // The body of one answer; far beyond any web page, small enough to keep a host alive.
  uint64_t Body = uint64_t{1} << 30;
  // Reserved for a body up front, whatever length the server states; past it memory grows
  // with the bytes that arrive.
  std::size_t BodyReserve = std::size_t{1} << 20;
};

struct THTTPHeader {
  std::string Name;
  std::string Value;
};

struct THTTPAnswer {
  std::string StatusLine;  // as the server sent it, without the line end
  int Code = 0;
  int MinorVersion = 1;  // HTTP/1.<minor>
  std::vector<THTTPHeader> Headers;

  // Values of every header of that name (compared without letter case), in order.
  std::vector<std::string> Values(std::string_view name) const;
  // The first value of that name, empty when there is none.
  std::string Value(std::string_view name) const;
  // Whether a header's comma-separated list holds `token` (letter case ignored).
  bool HasToken(std::string_view name, std::string_view token) const;
  // 1xx, 204 and 304 answers carry no body.
  bool HasBody() const;
  bool IsChunked() const;
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b);

class THTTPAnswerReader {
 public:
  explicit THTTPAnswerReader(THTTPByteSource& source, THTTPLimits limits = {});

  // The next final answer's head; interim 1xx answers are skipped.
  THTTPAnswer ReadHead();
  // The body of `answer`. With `keep` false the bytes are read and dropped (still counted
  // against the limit), as for a redirect whose body no one wants.
  std::string ReadBody(const THTTPAnswer& answer, bool keep = true);
  // True when the last body ran until the server closed: the connection is over.
  bool EndedByClose() const { return endedByClose_; }
  // Bytes read past the last answer.
  bool HasUnreadBytes() const { return pos_ < buffer_.size(); }

 private:
  THTTPAnswer ReadOneHead();
  void ReadHeaderLines(std::vector<THTTPHeader>& headers, std::size_t& count);
  std::string ReadLine(std::size_t limit, const char* tooLong);
  bool Fill();
  void FillOrClosed();
  void ReadCounted(uint64_t length, std::string& body, bool keep);
  void ReadChunked(std::string& body, bool keep);
  void ReadUntilClose(std::string& body, bool keep);
  void CheckBodySize(uint64_t size) const;
  uint64_t ContentLength(const THTTPAnswer& answer) const;

  THTTPByteSource& source_;
  THTTPLimits limits_;
  std::string buffer_;
  std::size_t pos_ = 0;
  bool endedByClose_ = false;
};

}  // namespace kyt
