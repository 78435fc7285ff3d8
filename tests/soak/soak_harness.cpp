#include "tests/soak/soak_harness.h"

#include <dirent.h>

#include <algorithm>
#include <array>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace kyt::soak {

namespace {

// A window this long names a position; shorter runs are settled only when a connection ends.
constexpr size_t kWindow = 8;
// Past this many bytes of no stream, searching stops paying: the run has failed anyway.
constexpr uint64_t kSearchBudget = 4096;

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0')
    return fallback;
  return std::stoull(text);
}

long CountEntries(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr)
    throw std::runtime_error("cannot list " + folder);
  long count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.')
      ++count;
  }
  closedir(dir);
  return count;
}

// Positions where `bytes` follows in `stream`, searched from `from` up to what was sent; the
// stream's recent past first when `backwards`.
bool Locate(const TStream& stream, uint64_t from, uint64_t to, const std::string& bytes,
            bool backwards, uint64_t& found) {
  if (to < bytes.size() || to - bytes.size() < from)
    return false;
  const uint64_t last = to - bytes.size();
  auto matches = [&](uint64_t at) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (stream.At(at + i) != bytes[i])
        return false;
    }
    return true;
  };
  for (uint64_t n = 0; n <= last - from; ++n) {
    const uint64_t at = backwards ? last - n : from + n;
    if (matches(at)) {
      found = at;
      return true;
    }
  }
  return false;
}

}  // namespace

uint64_t Seed(const std::string& scenario) {
  const uint64_t seed = EnvNumber("SOAK_SEED", std::random_device{}());
  std::cout << "soak: " << scenario << " seed=" << seed << std::endl;
  return seed;
}

std::chrono::seconds GatewaySeconds() {
  return std::chrono::seconds(EnvNumber("SOAK_SECONDS", 45));
}

int ChurnScale() {
  return static_cast<int>(EnvNumber("SOAK_CHURN_SCALE", 1));
}

TFootprint Footprint(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  TFootprint footprint;
  footprint.Fds = CountEntries(proc + "/fd");
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (key == "Threads:")
      fields >> footprint.Threads;
    else if (key == "VmRSS:")
      fields >> footprint.RssKb;
  }
  return footprint;
}

std::string FootprintFields(const TFootprint& before, const TFootprint& after) {
  std::ostringstream text;
  text << "fds=" << before.Fds << "/" << after.Fds << " threads=" << before.Threads << "/"
       << after.Threads << " rss_kb=" << before.RssKb << "/" << after.RssKb;
  return text.str();
}

bool FootprintHeld(const TFootprint& before, const TFootprint& after, long rssToleranceKb) {
  return after.Fds <= before.Fds && after.Threads <= before.Threads &&
         after.RssKb <= before.RssKb + rssToleranceKb;
}

char TStream::At(uint64_t position) const {
  return static_cast<char>((tag_ << 5) | (Mix(key_ ^ Mix(position)) & 31));
}

std::string TStream::Next(size_t size) const {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = At(sent_ + i);
  return bytes;
}

TStream& TStreamSet::NewStream() {
  // Per tag: 2 while a stream sends, 1 while bytes of an ended one may still come, else 0;
  // then when it was last handed out.
  std::array<std::pair<int, size_t>, 8> use{};
  for (size_t i = 0; i < streams_.size(); ++i) {
    const TStream& stream = *streams_[i];
    auto& [busy, last] = use[stream.Tag()];
    busy = std::max(busy, !stream.Ended ? 2 : stream.Reach < stream.SentCount() ? 1 : 0);
    last = i + 1;
  }
  const auto tag = static_cast<uint8_t>(std::min_element(use.begin(), use.end()) - use.begin());
  streams_.push_back(std::make_unique<TStream>(random_(), tag));
  return *streams_.back();
}

std::vector<TStream*> TStreamSet::WithTag(uint8_t tag) {
  std::vector<TStream*> found;
  for (auto& stream : streams_) {
    if (stream->Tag() == tag)
      found.push_back(stream.get());
  }
  return found;
}

uint64_t TStreamSet::TailLoss() const {
  uint64_t lost = 0;
  for (const auto& stream : streams_) lost += stream->SentCount() - stream->Reach;
  return lost;
}

bool TStreamSet::AllReached() const {
  for (const auto& stream : streams_) {
    if (stream->Reach < stream->SentCount())
      return false;
  }
  return true;
}

void TReceiver::Feed(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<uint8_t>(data[i]);
    TFollow& follow = follows_[byte >> 5];
    if (follow.Pending.empty() && follow.Stream != nullptr &&
        follow.Position < follow.Stream->SentCount() &&
        static_cast<uint8_t>(follow.Stream->At(follow.Position)) == byte) {
      Advance(follow, follow.Stream, follow.Position, 1);
      continue;
    }
    follow.Pending.push_back(static_cast<char>(byte));
    if (follow.Pending.size() == kWindow)
      Resolve(follow, byte >> 5);
  }
}

void TReceiver::Finish() {
  for (uint8_t tag = 0; tag < 8; ++tag) {
    if (!follows_[tag].Pending.empty())
      Resolve(follows_[tag], tag);
  }
}

void TReceiver::Advance(TFollow& follow, TStream* stream, uint64_t position, size_t size) {
  follow.Stream = stream;
  follow.Position = position + size;
  tally_.Bytes += size;
  if (stream->Reach < follow.Position)
    stream->Reach = follow.Position;
}

void TReceiver::Resolve(TFollow& follow, uint8_t tag) {
  const std::string bytes = std::move(follow.Pending);
  follow.Pending.clear();
  if (tally_.Corrupted > kSearchBudget) {
    tally_.Corrupted += bytes.size();
    return;
  }
  uint64_t at = 0;
  // Onwards in the stream followed so far: what was skipped went missing.
  if (follow.Stream != nullptr &&
      Locate(*follow.Stream, follow.Position, follow.Stream->SentCount(), bytes, false, at)) {
    tally_.Lost += at - follow.Position;
    Advance(follow, follow.Stream, at, bytes.size());
    return;
  }
  // A younger stream with the same tag (a new epoch), joined wherever it is now.
  const std::vector<TStream*> candidates = streams_.WithTag(tag);
  bool younger = follow.Stream == nullptr;
  for (TStream* stream : candidates) {
    if (younger && Locate(*stream, 0, stream->SentCount(), bytes, true, at)) {
      Advance(follow, stream, at, bytes.size());
      return;
    }
    younger = younger || stream == follow.Stream;
  }
  // From behind: the stream followed, or an older one, again.
  for (TStream* stream : candidates) {
    const uint64_t end = stream == follow.Stream ? follow.Position : stream->SentCount();
    if (Locate(*stream, 0, end, bytes, true, at)) {
      tally_.Reordered += bytes.size();
      return;
    }
  }
  tally_.Corrupted += bytes.size();
}

std::string SummaryLine(const std::string& name, uint64_t seed, const TTally& tally,
                        uint64_t epochs, const TFootprint& before, const TFootprint& after) {
  std::ostringstream line;
  line << "soak: " << name << " seed=" << seed << " bytes=" << tally.Bytes << " epochs=" << epochs
       << " lost=" << tally.Lost << " reordered=" << tally.Reordered
       << " corrupted=" << tally.Corrupted << " " << FootprintFields(before, after);
  return line.str();
}

}  // namespace kyt::soak
