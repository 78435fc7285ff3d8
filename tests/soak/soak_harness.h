#pragma once

// What every soak and churn scenario shares: the seed, a process's footprint (descriptors,
// threads, resident memory) and the judgement of before against after, and tagged byte streams
// whose every byte says which stream it belongs to, so that a receiver fed by several senders at
// once (the relay merges its clients' blocks) can tell each byte's stream and position.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace kyt::soak {

// SOAK_SEED, or a fresh one; either way printed, so a failing run can be repeated.
uint64_t Seed(const std::string& scenario);
// SOAK_SECONDS: how long each gateway scenario carries traffic (default 45).
std::chrono::seconds GatewaySeconds();
// SOAK_CHURN_SCALE: the churn cycles are multiplied by it (default 1), for long runs by hand.
int ChurnScale();

struct TFootprint {
  long Fds = 0;
  long Threads = 0;
  long RssKb = 0;
};
TFootprint Footprint(pid_t pid);

// Resident memory may grow by a tolerance (descriptors and threads get none): the allocator
// keeps an arena per thread that once ran (glibc: up to eight per core) and, once its dynamic
// mmap threshold has risen, the freed large blocks in its heaps. For the gateways that is two
// of the largest block a Client Socket hands over at once (64 reads of 32 KiB: 2 MiB), the
// block and its copy on the way to the clients; for churn, where blocks are a byte, the arenas
// and the doubles' own records (the vendor doubles keep every session they opened, ~40 bytes).
constexpr long kGatewayRssToleranceKb = 4096;
constexpr long kChurnRssToleranceKb = 1024;

// Before/after, and whether after is within the tolerance.
std::string FootprintFields(const TFootprint& before, const TFootprint& after);
bool FootprintHeld(const TFootprint& before, const TFootprint& after, long rssToleranceKb);

// One sender's bytes for one connection epoch: byte i is the stream's 3-bit tag over 5 bits
// of a hash of (key, i), so any eight bytes in a row name their position with ~2^-40 doubt.
class TStream {
 public:
  TStream(uint64_t key, uint8_t tag) : key_(key), tag_(tag) {}
  uint8_t Tag() const { return tag_; }
  char At(uint64_t position) const;
  // The next `size` bytes after those sent; `Sent` counts what the socket took.
  std::string Next(size_t size) const;
  void Sent(size_t size) { sent_ += size; }
  uint64_t SentCount() const { return sent_; }
  // The farthest position any receiver got to.
  uint64_t Reach = 0;
  // Its sender's connection has ended: nothing more is sent.
  bool Ended = false;

 private:
  uint64_t key_;
  uint8_t tag_;
  uint64_t sent_ = 0;
};

struct TTally {
  uint64_t Bytes = 0;
  uint64_t Lost = 0;
  uint64_t Reordered = 0;
  uint64_t Corrupted = 0;
};

// Every stream of a scenario. A new stream never shares its tag with a stream still sending,
// and prefers one whose bytes have all arrived; among those, the tag unused the longest.
class TStreamSet {
 public:
  explicit TStreamSet(uint64_t seed) : random_(seed) {}
  TStream& NewStream();
  std::vector<TStream*> WithTag(uint8_t tag);
  // Bytes sent that no receiver got, at the end of every stream.
  uint64_t TailLoss() const;
  bool AllReached() const;

 private:
  std::mt19937_64 random_;
  std::vector<std::unique_ptr<TStream>> streams_;
};

// One destination (a client connection, or the far side across its reconnects): follows each
// stream it hears from, counting skipped bytes as lost, bytes from behind as reordered and
// bytes of no stream as corrupted.
class TReceiver {
 public:
  explicit TReceiver(TStreamSet& streams, TTally& tally) : streams_(streams), tally_(tally) {}
  ~TReceiver() { Finish(); }
  TReceiver(const TReceiver&) = delete;
  TReceiver& operator=(const TReceiver&) = delete;

  void Feed(const char* data, size_t size);
  // Settles bytes still waiting for a full window (the connection has ended).
  void Finish();

 private:
  struct TFollow {
    TStream* Stream = nullptr;
    uint64_t Position = 0;
    std::string Pending;
  };
  void Resolve(TFollow& follow, uint8_t tag);
  void Advance(TFollow& follow, TStream* stream, uint64_t position, size_t size);

  TStreamSet& streams_;
  TTally& tally_;
  TFollow follows_[8];
};

// "soak: NAME seed=S bytes=N epochs=E lost=L reordered=R corrupted=C fds=A/B threads=A/B
// rss_kb=A/B"
std::string SummaryLine(const std::string& name, uint64_t seed, const TTally& tally,
                        uint64_t epochs, const TFootprint& before, const TFootprint& after);

}  // namespace kyt::soak
