#include "network/http_answer.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

#include <fmt/printf.h>
#include "runtime/exception.h"

namespace kyt {

namespace {

constexpr std::size_t kBlankLinesBeforeStatus = 4;
// Unused bytes ahead of the read position are dropped once they pass this size.
constexpr std::size_t kCompactAt = 64 * 1024;

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

int HexDigit(char c) {
  if (IsDigit(c))
    return c - '0';
  const char lower = LowerAscii(c);
  if (lower >= 'a' && lower <= 'f')
    return lower - 'a' + 10;
  return -1;
}

[[noreturn]] void Raise(const char* text) {
  throw Exception(std::string(text));
}

[[noreturn]] void RaiseClosed() {
  Raise("Connection Closed Gracefully.");
}

// "HTTP/1.1 200 OK": the version, a space, three digits, then a space and the reason (which
// may be empty, and some servers leave out the space before it).
bool ParseStatusLine(const std::string& line, THTTPAnswer& answer) {
  if (line.size() < 12 || line.compare(0, 5, "HTTP/") != 0 || !IsDigit(line[5]) || line[6] != '.' ||
      !IsDigit(line[7]) || line[8] != ' ') {
    return false;
  }
  if (!IsDigit(line[9]) || !IsDigit(line[10]) || !IsDigit(line[11]))
    return false;
  if (line.size() > 12 && line[12] != ' ')
    return false;
  if (line[5] != '1')
    return false;
  answer.MinorVersion = line[7] - '0';
  answer.Code = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
  answer.StatusLine = line;
  return answer.Code >= 100;
}

// Digits only, no sign, no overflow.
bool ParseDecimal(std::string_view text, uint64_t& value) {
  if (text.empty())
    return false;
  value = 0;
  for (const char c : text) {
    if (!IsDigit(c))
      return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10)
      return false;
    value = value * 10 + digit;
  }
  return true;
}

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return LowerAscii(x) == LowerAscii(y);
         });
}

std::vector<std::string> THTTPAnswer::Values(std::string_view name) const {
  std::vector<std::string> out;
  for (const auto& header : Headers) {
    if (EqualsIgnoringCase(header.Name, name))
      out.push_back(header.Value);
  }
  return out;
}

std::string THTTPAnswer::Value(std::string_view name) const {
  for (const auto& header : Headers) {
    if (EqualsIgnoringCase(header.Name, name))
      return header.Value;
  }
  return {};
}

bool THTTPAnswer::HasToken(std::string_view name, std::string_view token) const {
  for (const auto& value : Values(name)) {
    std::string_view rest = value;
    while (!rest.empty()) {
      const std::size_t comma = rest.find(',');
      if (EqualsIgnoringCase(Trim(rest.substr(0, comma)), token))
        return true;
      if (comma == std::string_view::npos)
        break;
      rest.remove_prefix(comma + 1);
    }
  }
  return false;
}

bool THTTPAnswer::HasBody() const {
  return Code >= 200 && Code != 204 && Code != 304;
}

// Only a final "chunked" coding frames the body; with any other coding the body runs until the
// server closes.
bool THTTPAnswer::IsChunked() const {
  const std::vector<std::string> codings = Values("Transfer-Encoding");
  if (codings.empty())
    return false;
  std::string_view last = codings.back();
  const std::size_t comma = last.rfind(',');
  if (comma != std::string_view::npos)
    last.remove_prefix(comma + 1);
  return EqualsIgnoringCase(Trim(last), "chunked");
}

THTTPAnswerReader::THTTPAnswerReader(THTTPByteSource& source, THTTPLimits limits)
    : source_(source), limits_(limits) {}

bool THTTPAnswerReader::Fill() {
  if (pos_ >= kCompactAt) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  return source_.ReadMore(buffer_);
}

void THTTPAnswerReader::FillOrClosed() {
  if (!Fill())
    RaiseClosed();
}

std::string THTTPAnswerReader::ReadLine(std::size_t limit, const char* tooLong) {
  std::size_t searched = pos_;
  for (;;) {
    const std::size_t end = buffer_.find('\n', searched);
    if (end != std::string::npos) {
      if (end - pos_ > limit)
        Raise(tooLong);
      std::string line = buffer_.substr(pos_, end - pos_);
      pos_ = end + 1;
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      return line;
    }
    if (buffer_.size() - pos_ > limit)
      Raise(tooLong);
    searched = buffer_.size();
    const std::size_t offset = searched - pos_;
    FillOrClosed();
    searched = pos_ + offset;
  }
}

THTTPAnswer THTTPAnswerReader::ReadHead() {
  for (std::size_t interim = 0;; ++interim) {
    THTTPAnswer answer = ReadOneHead();
    if (answer.Code >= 200 || answer.Code == 101)
      return answer;
    if (interim + 1 >= limits_.InterimAnswers)
      Raise("Too many interim HTTP answers.");
  }
}

THTTPAnswer THTTPAnswerReader::ReadOneHead() {
  endedByClose_ = false;
  THTTPAnswer answer;
  std::string line;
  for (std::size_t blank = 0;; ++blank) {
    line = ReadLine(limits_.StatusLine, "HTTP status line too long.");
    if (!line.empty() || blank >= kBlankLinesBeforeStatus)
      break;
  }
  if (!ParseStatusLine(line, answer))
    Raise("Invalid HTTP status line.");
  std::size_t count = 0;
  ReadHeaderLines(answer.Headers, count);
  return answer;
}

void THTTPAnswerReader::ReadHeaderLines(std::vector<THTTPHeader>& headers, std::size_t& count) {
  for (;;) {
    std::string line = ReadLine(limits_.HeaderLine, "HTTP header line too long.");
    if (line.empty())
      return;
    if (++count > limits_.HeaderCount)
      Raise("Too many HTTP header lines.");
    if (line[0] == ' ' || line[0] == '\t') {
      // A folded line continues the header before it.
      if (!headers.empty()) {
        headers.back().Value += ' ';
        headers.back().Value += Trim(line);
      }
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0)
      continue;  // no header; nothing to keep
    const std::string_view view(line);
    headers.push_back(
        {std::string(Trim(view.substr(0, colon))), std::string(Trim(view.substr(colon + 1)))});
  }
}

void THTTPAnswerReader::CheckBodySize(uint64_t size) const {
  if (size > limits_.Body) {
    throw Exception(fmt::sprintf("Page exceeds the size limit of %d bytes.",
                                 static_cast<unsigned long long>(limits_.Body)));
  }
}

uint64_t THTTPAnswerReader::ContentLength(const THTTPAnswer& answer) const {
  // Several Content-Length headers (or one listing several values) must all agree; otherwise
  // the answer cannot be framed safely.
  std::optional<uint64_t> length;
  for (const auto& value : answer.Values("Content-Length")) {
    std::string_view rest = value;
    for (;;) {
      const std::size_t comma = rest.find(',');
      uint64_t parsed = 0;
      if (!ParseDecimal(Trim(rest.substr(0, comma)), parsed) || (length && *length != parsed)) {
        Raise("Invalid Content-Length.");
      }
      length = parsed;
      if (comma == std::string_view::npos)
        break;
      rest.remove_prefix(comma + 1);
    }
  }
  return *length;
}

std::string THTTPAnswerReader::ReadBody(const THTTPAnswer& answer, bool keep) {
  std::string body;
  if (!answer.HasBody())
    return body;
  if (answer.IsChunked()) {
    ReadChunked(body, keep);
  } else if (!answer.Values("Content-Length").empty()) {
    const uint64_t length = ContentLength(answer);
    CheckBodySize(length);
    if (keep)
      body.reserve(static_cast<std::size_t>(std::min<uint64_t>(length, limits_.BodyReserve)));
    ReadCounted(length, body, keep);
  } else {
    ReadUntilClose(body, keep);
  }
  return body;
}

void THTTPAnswerReader::ReadCounted(uint64_t length, std::string& body, bool keep) {
  const std::size_t buffered =
      static_cast<std::size_t>(std::min<uint64_t>(length, buffer_.size() - pos_));
  if (keep)
    body.append(buffer_, pos_, buffered);
  pos_ += buffered;
  uint64_t left = length - buffered;
  while (left > 0) {
    buffer_.clear();
    pos_ = 0;
    // Large bodies go from the source straight into the page, without passing the buffer;
    // whatever came beyond this body goes back to the buffer.
    std::string& target = keep ? body : buffer_;
    const std::size_t before = target.size();
    if (!source_.ReadMore(target))
      RaiseClosed();
    const uint64_t got = target.size() - before;
    if (got > left) {
      const std::size_t end = before + static_cast<std::size_t>(left);
      if (keep) {
        buffer_.assign(body, end, std::string::npos);
        body.resize(end);
      } else {
        pos_ = end;
      }
      return;
    }
    left -= got;
    if (!keep)
      buffer_.clear();
  }
}

void THTTPAnswerReader::ReadChunked(std::string& body, bool keep) {
  uint64_t total = 0;
  for (;;) {
    const std::string line = ReadLine(limits_.ChunkLine, "Invalid chunk size.");
    std::size_t digits = 0;
    uint64_t size = 0;
    while (digits < line.size() && HexDigit(line[digits]) >= 0) {
      if (digits == limits_.ChunkSizeDigits)
        Raise("Invalid chunk size.");
      size = size * 16 + static_cast<uint64_t>(HexDigit(line[digits]));
      ++digits;
    }
    const char after = digits < line.size() ? line[digits] : ';';
    if (digits == 0 || (after != ';' && after != ' ' && after != '\t')) {
      Raise("Invalid chunk size.");
    }
    if (size == 0)
      break;
    // Compared by subtraction: the sum of a hostile size and the total could wrap.
    if (size > limits_.Body - total)
      CheckBodySize(std::numeric_limits<uint64_t>::max());
    total += size;
    ReadCounted(size, body, keep);
    if (!ReadLine(limits_.ChunkLine, "Invalid chunk size.").empty())
      Raise("Invalid chunk size.");
  }
  std::vector<THTTPHeader> trailers;
  std::size_t count = 0;
  ReadHeaderLines(trailers, count);
}

void THTTPAnswerReader::ReadUntilClose(std::string& body, bool keep) {
  uint64_t total = buffer_.size() - pos_;
  CheckBodySize(total);
  if (keep)
    body.append(buffer_, pos_, std::string::npos);
  buffer_.clear();
  pos_ = 0;
  std::string& target = keep ? body : buffer_;
  for (;;) {
    const std::size_t before = target.size();
    if (!source_.ReadMore(target))
      break;
    total += target.size() - before;
    CheckBodySize(total);
    if (!keep)
      target.clear();
  }
  endedByClose_ = true;
}

}  // namespace kyt
