// The answer parser on bytes from memory, handed over in pieces of every size, as a slow or
// eager server would send them.

#include "network/http_answer.h"

#include <gtest/gtest.h>

#include "runtime/exception.h"

namespace kyt {
namespace {

class TPieces : public THTTPByteSource {
 public:
  TPieces(std::string data, std::size_t piece) : data_(std::move(data)), piece_(piece) {}
  bool ReadMore(std::string& buffer) override {
    if (pos_ >= data_.size())
      return false;
    const std::size_t n = std::min(piece_, data_.size() - pos_);
    buffer.append(data_, pos_, n);
    pos_ += n;
    return true;
  }

 private:
  std::string data_;
  std::size_t piece_;
  std::size_t pos_ = 0;
};

TEST(HTTPAnswerTest, SameResultWhateverThePieceSize) {
  const std::string wire =
      "\r\nHTTP/1.1 200 Fine Thanks\r\nX-A: 1\r\nX-Folded: one\r\n\ttwo\r\nno colon here\r\n"
      "Transfer-Encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n1;x=y\r\nd\r\n0\r\n\r\n"
      "HTTP/1.1 404 Gone Away\nContent-Length: 4\n\nwxyz";
  for (std::size_t piece : {1u, 2u, 3u, 7u, 64u, 4096u}) {
    TPieces source(wire, piece);
    THTTPAnswerReader reader(source);
    const THTTPAnswer first = reader.ReadHead();
    EXPECT_EQ(first.StatusLine, "HTTP/1.1 200 Fine Thanks");
    EXPECT_EQ(first.Code, 200);
    EXPECT_EQ(first.Value("x-folded"), "one two");
    EXPECT_EQ(first.Headers.size(), 3u);
    EXPECT_TRUE(first.IsChunked());
    EXPECT_EQ(reader.ReadBody(first), "abcd");
    const THTTPAnswer second = reader.ReadHead();
    EXPECT_EQ(second.StatusLine, "HTTP/1.1 404 Gone Away");
    EXPECT_EQ(reader.ReadBody(second), "wxyz");
    EXPECT_FALSE(reader.HasUnreadBytes());
    EXPECT_FALSE(reader.EndedByClose());
  }
}

TEST(HTTPAnswerTest, FramingRules) {
  THTTPAnswer answer;
  answer.Headers = {{"Transfer-Encoding", "chunked, gzip"}, {"Connection", "Keep-Alive, x"}};
  EXPECT_FALSE(answer.IsChunked());
  EXPECT_TRUE(answer.HasToken("connection", "keep-alive"));
  for (int code : {100, 204, 304}) {
    answer.Code = code;
    EXPECT_FALSE(answer.HasBody()) << code;
  }
  answer.Code = 200;
  EXPECT_TRUE(answer.HasBody());
}

TEST(HTTPAnswerTest, DiscardedBodiesStillEndWhereTheyEnd) {
  TPieces source(
      "HTTP/1.1 302 Moved\r\nContent-Length: 5\r\n\r\nhelloHTTP/1.1 200 OK\r\n"
      "Transfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n",
      5);
  THTTPAnswerReader reader(source);
  EXPECT_EQ(reader.ReadBody(reader.ReadHead(), false), "");
  const THTTPAnswer second = reader.ReadHead();
  EXPECT_EQ(second.Code, 200);
  EXPECT_EQ(reader.ReadBody(second, false), "");
  EXPECT_FALSE(reader.HasUnreadBytes());
}

// A server may state any length up to the body limit and then send almost nothing.
TEST(HTTPAnswerTest, MemoryFollowsTheBytesNotTheStatedLength) {
  class TWatchingSource : public TPieces {
   public:
    using TPieces::TPieces;
    bool ReadMore(std::string& buffer) override {
      Largest = std::max(Largest, buffer.capacity());
      return TPieces::ReadMore(buffer);
    }
    std::size_t Largest = 0;
  };
  TWatchingSource source("HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\nonly this", 4);
  THTTPAnswerReader reader(source);
  const THTTPAnswer answer = reader.ReadHead();
  EXPECT_THROW(reader.ReadBody(answer), Exception);
  EXPECT_LE(source.Largest, THTTPLimits{}.BodyReserve * 2);
}

TEST(HTTPAnswerTest, StatusLineShapes) {
  for (const std::string good : {"HTTP/1.1 200", "HTTP/1.0 200 ", "HTTP/1.1 599 X"}) {
    TPieces source(good + "\r\n\r\n", 100);
    THTTPAnswerReader reader(source);
    EXPECT_EQ(reader.ReadHead().StatusLine, good);
  }
  for (const std::string bad : {"HTTP/2 200 OK", "HTTP/1.1 20 OK", "HTTP/1.1 2000 OK",
                                "HTTP/1.1 099 Low", "ICY 200 OK", "HTTP/1.1 abc"}) {
    TPieces source(bad + "\r\n\r\n", 100);
    THTTPAnswerReader reader(source);
    EXPECT_THROW(reader.ReadHead(), Exception) << bad;
  }
}

}  // namespace
}  // namespace kyt
