#include "platform/hid.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>

#include "platform/sockets.h"

namespace kyt::hid {

IHidPlatform& SystemPlatform();

namespace {
std::atomic<IHidPlatform*> installed{nullptr};
}  // namespace

HidError::HidError(int code, const std::string& call)
    : Exception(fmt::format("{}: {} ({})", call, ErrorText(code), code)), code_(code) {}

std::string ErrorText(int code) {
  return net::ErrorText(code);
}

bool IsDeviceGone(int code) {
#ifdef _WIN32
  // ERROR_FILE_NOT_FOUND, ERROR_BAD_COMMAND, ERROR_GEN_FAILURE, ERROR_OPERATION_ABORTED (the
  // driver ends pending reads when the device leaves), ERROR_DEVICE_NOT_CONNECTED; the fake
  // layer of the tests speaks errno.
  if (code == 2 || code == 22 || code == 31 || code == 995 || code == 1167)
    return true;
#endif
  return code == ENODEV || code == EIO || code == ENOENT || code == ENXIO;
}

IHidPlatform& Platform() {
  IHidPlatform* platform = installed.load();
  return platform ? *platform : SystemPlatform();
}

IHidPlatform* SetPlatform(IHidPlatform* platform) {
  return installed.exchange(platform);
}

// ---- Report descriptors --------------------------------------------------------------------

namespace {

enum ItemType : uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };
enum MainTag : uint8_t { kInput = 8, kOutput = 9, kFeature = 11 };
enum GlobalTag : uint8_t {
  kReportSize = 7,
  kReportID = 8,
  kReportCount = 9,
  kPush = 10,
  kPop = 11
};

struct GlobalState {
  uint32_t ReportSize = 0;
  uint32_t ReportCount = 0;
  uint32_t ReportID = 0;
};

// The kernel keeps four levels of Push; deeper nesting in a descriptor is a fault of its own,
// but a bound keeps a hostile one from growing memory.
constexpr std::size_t kMaxPushDepth = 16;
// Bits a report may hold before its length no longer fits the 16-bit caps fields.
constexpr uint64_t kMaxBits = uint64_t{0xFFFF} * 8;

uint16_t ByteLength(const std::map<uint32_t, uint64_t>& bits) {
  if (bits.empty())
    return 0;
  uint64_t longest = 0;
  for (const auto& [id, count] : bits) longest = std::max(longest, count);
  // Every report is delivered with its report ID byte in front, numbered or not.
  return static_cast<uint16_t>(std::min<uint64_t>((longest + 7) / 8 + 1, 0xFFFF));
}

}  // namespace

TReportLayout ParseReportDescriptor(const uint8_t* data, std::size_t size) {
  TReportLayout layout;
  GlobalState state;
  std::vector<GlobalState> stack;
  std::map<uint32_t, uint64_t> input, output, feature;

  std::size_t pos = 0;
  while (pos < size) {
    const uint8_t prefix = data[pos];
    if (prefix == 0xFE) {  // long item: size, tag, data; none of them matters for lengths
      if (pos + 2 >= size)
        break;
      pos += 3 + std::size_t{data[pos + 1]};
      continue;
    }
    const std::size_t length = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (pos + 1 + length > size)
      break;
    uint32_t value = 0;
    for (std::size_t i = 0; i < length; ++i) value |= uint32_t{data[pos + 1 + i]} << (8 * i);
    pos += 1 + length;

    const uint8_t type = (prefix >> 2) & 3;
    const uint8_t tag = prefix >> 4;
    if (type == kMain) {
      std::map<uint32_t, uint64_t>* kind = tag == kInput     ? &input
                                           : tag == kOutput  ? &output
                                           : tag == kFeature ? &feature
                                                             : nullptr;
      if (kind) {
        uint64_t& bits = (*kind)[state.ReportID];
        bits = std::min(kMaxBits, bits + uint64_t{state.ReportSize} * state.ReportCount);
      }
    } else if (type == kGlobal) {
      switch (tag) {
        case kReportSize:
          state.ReportSize = value;
          break;
        case kReportCount:
          state.ReportCount = value;
          break;
        case kReportID:
          state.ReportID = value;
          layout.Numbered = true;
          break;
        case kPush:
          if (stack.size() < kMaxPushDepth)
            stack.push_back(state);
          break;
        case kPop:
          if (!stack.empty()) {
            state = stack.back();
            stack.pop_back();
          }
          break;
        default:
          break;
      }
    }
  }
  layout.Caps.InputReportByteLength = ByteLength(input);
  layout.Caps.OutputReportByteLength = ByteLength(output);
  layout.Caps.FeatureReportByteLength = ByteLength(feature);
  return layout;
}

std::size_t ShapeReport(bool numbered, const uint8_t* raw, std::size_t size,
                        std::vector<uint8_t>& report) {
  const std::size_t count = numbered ? size : size + 1;
  if (report.size() < count)
    report.resize(count);
  if (numbered) {
    std::copy(raw, raw + size, report.begin());
  } else {
    report[0] = 0;
    std::copy(raw, raw + size, report.begin() + 1);
  }
  return report.size();
}

// ---- Texts ---------------------------------------------------------------------------------

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<uint8_t>(text[i]);
    const int extra = byte < 0x80         ? 0
                      : (byte >> 5) == 6  ? 1
                      : (byte >> 4) == 14 ? 2
                      : (byte >> 3) == 30 ? 3
                                          : -1;
    char32_t cp = extra == 0   ? byte
                  : extra == 1 ? byte & 0x1F
                  : extra == 2 ? byte & 0x0F
                               : byte & 0x07;
    bool valid = extra >= 0 && i + extra < text.size();
    for (int k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      valid = (next >> 6) == 2;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!valid || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace kyt::hid
