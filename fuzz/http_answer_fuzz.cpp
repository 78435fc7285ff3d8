// The answer parser on arbitrary bytes: the first byte picks the piece size the source hands
// over, the rest is the server's stream. Heads and bodies are read until the stream or the
// parser gives up; only crashes, leaks and runaway sizes count as findings.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "network/http_answer.h"

namespace {

class TPieces : public kyt::THTTPByteSource {
 public:
  TPieces(const uint8_t* data, std::size_t size, std::size_t piece)
      : data_(reinterpret_cast<const char*>(data)), size_(size), piece_(piece) {}
  bool ReadMore(std::string& buffer) override {
    if (pos_ >= size_)
      return false;
    const std::size_t n = std::min(piece_, size_ - pos_);
    buffer.append(data_ + pos_, n);
    pos_ += n;
    return true;
  }

 private:
  const char* data_;
  std::size_t size_;
  std::size_t piece_;
  std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1)
    return 0;
  const std::size_t piece = 1 + data[0] % 64;
  TPieces source(data + 1, size - 1, piece);
  kyt::THTTPLimits limits;
  limits.Body = 1 << 20;  // keeps a fuzzed Content-Length from reserving a gigabyte
  kyt::THTTPAnswerReader reader(source, limits);
  try {
    for (int answers = 0; answers < 4; ++answers) {
      const kyt::THTTPAnswer answer = reader.ReadHead();
      const std::string body = reader.ReadBody(answer, answers % 2 == 0);
      if (body.size() > limits.Body)
        __builtin_trap();
      if (reader.EndedByClose())
        break;
    }
  } catch (const std::exception&) {
  }
  return 0;
}
