// Report lengths and report shapes as the HID layer derives them.

#include <gtest/gtest.h>

#include "platform/hid.h"
#include "tests/usb/hid_descriptors.h"

namespace kyt {
namespace {

using test::Bytes;

hid::TReportLayout Parse(const std::string& descriptor) {
  return hid::ParseReportDescriptor(reinterpret_cast<const uint8_t*>(descriptor.data()),
                                    descriptor.size());
}

TEST(ReportDescriptorTest, LengthsCountTheReportIDByteAndTheLongestReport) {
  auto keyboard = Parse(test::kBootKeyboard);
  EXPECT_EQ(keyboard.Caps.InputReportByteLength, 9);
  EXPECT_EQ(keyboard.Caps.OutputReportByteLength, 2);
  EXPECT_EQ(keyboard.Caps.FeatureReportByteLength, 0);
  EXPECT_FALSE(keyboard.Numbered);

  auto mouse = Parse(test::kBootMouse);
  EXPECT_EQ(mouse.Caps.InputReportByteLength, 5);
  EXPECT_EQ(mouse.Caps.OutputReportByteLength, 0);

  auto vendor = Parse(test::kNumberedVendor);
  EXPECT_TRUE(vendor.Numbered);
  EXPECT_EQ(vendor.Caps.InputReportByteLength, 9);
  EXPECT_EQ(vendor.Caps.OutputReportByteLength, 5);
  EXPECT_EQ(Parse(test::kLongOutput).Caps.OutputReportByteLength, 101);
}

TEST(ReportDescriptorTest, PushAndPopRestoreSizesAndLongItemsAreSkipped) {
  // Size 8 count 2, Push, size 16 count 4: Input (64 bits), Pop, Input (16 bits) = 10 bytes;
  // a long item between them carries bytes that look like a huge Input.
  auto layout = Parse(Bytes({0x75, 0x08, 0x95, 0x02, 0xA4, 0x75, 0x10, 0x95, 0x04, 0x81,
                             0x02, 0xFE, 0x03, 0x01, 0x95, 0xFF, 0x81, 0xB4, 0x81, 0x02}));
  EXPECT_EQ(layout.Caps.InputReportByteLength, 11);
  // A Pop with nothing pushed changes nothing.
  EXPECT_EQ(Parse(Bytes({0x75, 0x08, 0x95, 0x01, 0xB4, 0x81, 0x02})).Caps.InputReportByteLength, 2);
}

TEST(ReportDescriptorTest, ReportsThatAreNotWholeBytesRoundUp) {
  struct {
    std::string Descriptor;
    int Input, Output;
  } cases[] = {
      // Three 1-bit buttons: one byte, plus the ID byte.
      {Bytes({0x75, 0x01, 0x95, 0x03, 0x81, 0x02}), 2, 0},
      // Three 4-bit fields: 12 bits, two bytes.
      {Bytes({0x75, 0x04, 0x95, 0x03, 0x81, 0x02}), 3, 0},
      // Nine 1-bit LEDs out, one bit past a byte.
      {Bytes({0x75, 0x01, 0x95, 0x09, 0x91, 0x02}), 0, 3},
      // Whole bytes stay as they are.
      {Bytes({0x75, 0x01, 0x95, 0x10, 0x81, 0x02}), 3, 0},
  };
  for (const auto& c : cases) {
    const auto caps = Parse(c.Descriptor).Caps;
    EXPECT_EQ(caps.InputReportByteLength, c.Input);
    EXPECT_EQ(caps.OutputReportByteLength, c.Output);
  }
}

TEST(ReportDescriptorTest, MalformedDescriptorsYieldWhatCameBeforeTheFault) {
  // Cut inside the LED usage range: the input reports are complete, the outputs are not.
  auto cut = Parse(test::kBootKeyboard.substr(0, 37));
  EXPECT_EQ(cut.Caps.InputReportByteLength, 3);
  EXPECT_EQ(cut.Caps.OutputReportByteLength, 0);
  EXPECT_EQ(Parse("").Caps.InputReportByteLength, 0);
  // Report sizes that multiply beyond any real report stop at the 16-bit field's limit.
  auto huge = Parse(
      Bytes({0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02, 0x81, 0x02}));
  EXPECT_EQ(huge.Caps.InputReportByteLength, 0xFFFF);
}

TEST(ReportDescriptorTest, ReportsTakeOneShapeWhetherNumberedOrNot) {
  std::vector<uint8_t> report(9, 0xEE);
  // A keyboard's report comes without an ID byte: it gets 0 in front.
  const std::string key = Bytes({0, 0, 4, 0, 0, 0, 0, 0});
  EXPECT_EQ(
      hid::ShapeReport(false, reinterpret_cast<const uint8_t*>(key.data()), key.size(), report),
      9u);
  EXPECT_EQ(report, (std::vector<uint8_t>{0, 0, 0, 4, 0, 0, 0, 0, 0}));

  // A shorter numbered report keeps the device's full length; the caller zeroed the rest.
  report.assign(9, 0);
  const std::string shortOne = Bytes({1, 'x', 'y', 'z'});
  EXPECT_EQ(hid::ShapeReport(true, reinterpret_cast<const uint8_t*>(shortOne.data()), 4, report),
            9u);
  EXPECT_EQ(report, (std::vector<uint8_t>{1, 'x', 'y', 'z', 0, 0, 0, 0, 0}));

  // A report longer than the descriptor said is delivered whole, not cut.
  report.assign(2, 0);
  const std::string longer = Bytes({5, 1, 2, 3});
  EXPECT_EQ(hid::ShapeReport(true, reinterpret_cast<const uint8_t*>(longer.data()), 4, report), 4u);
  EXPECT_EQ(report, (std::vector<uint8_t>{5, 1, 2, 3}));
}

TEST(HidTextTest, Utf16RoundTripsAndBadInputBecomesReplacementCharacters) {
  const std::string text =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xF0\x9F\x98\x80";
  const std::u16string units = hid::Utf8ToUtf16(text);
  EXPECT_EQ(units.size(), 10u);  // the emoji takes a surrogate pair
  EXPECT_EQ(hid::Utf16ToUtf8(units), text);
  EXPECT_EQ(hid::Utf8ToUtf16("a\xFF"
                             "b"),
            u"a\uFFFDb");
  EXPECT_EQ(hid::Utf8ToUtf16("\xE2\x82"), u"\uFFFD\uFFFD");
  EXPECT_EQ(hid::Utf16ToUtf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace kyt
