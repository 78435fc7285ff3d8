// D2XX's promises asked of our double. The test machine asks the same of our libftdi1 library
// on QEMU's FT232 (tests/vm/ftdi_test.cpp, D2XXPromisesHoldOnTheChip); both must answer
// kD2XXPromises, so a D2XX behaviour that the double got wrong shows here.

#include "tests/usb/d2xx_promises.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/usb/vendor_fake.h"

namespace kyt::test {
namespace {

constexpr const char* kSerial = "FT4XK2QA";

// The far end of the double's line. Bytes go in from another thread, as a chip's arrive: the
// sequence holds the event's mutex until it waits, and the double signals under it.
class TDoubleFarEnd : public TD2XXFarEnd {
 public:
  explicit TDoubleFarEnd(TFakeVendor& fake) : fake_(fake) {}
  ~TDoubleFarEnd() override { Settle(); }
  void Send(const std::string& bytes) override {
    Settle();
    sender_ = std::thread([this, bytes] { fake_.Inject(kSerial, bytes); });
  }
  std::string Receive(size_t count) override {
    Settle();
    std::string part = fake_.Written(kSerial).substr(taken_, count);
    taken_ += part.size();
    return part;
  }

 private:
  void Settle() {
    if (sender_.joinable())
      sender_.join();
  }
  TFakeVendor& fake_;
  std::thread sender_;
  size_t taken_ = 0;
};

TEST(D2XXPromisesTest, TheDoubleKeepsWhatTheChipKeeps) {
  TFakeVendor fake("libftd2xx.so", "KYT_FTD2XX_LIBRARY");
  fake.AddDevice(kSerial, "FT232R USB UART");
  // The same shared object, so the same state as the double's control interface.
  TDynamicLibrary library(FakeVendorLibrary("libftd2xx.so"));
  TDoubleFarEnd far(fake);
  EXPECT_EQ(RunD2XXPromises([&](const char* name) { return library.Symbol(name); }, kSerial, far),
            kD2XXPromises);
}

}  // namespace
}  // namespace kyt::test
