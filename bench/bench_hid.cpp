// HID receive path against a plain hidraw-style read loop over the same fake HID layer, in one
// run: reports per second for a burst, and the time from the device's report to the child's
// ReceiveEvent for single reports.
//
//   bench_hid [reports=200000] [singles=2000]
//
// Each phase runs five times, alternating module and baseline; the figures are medians.

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "framework/codes.h"
#include "host/reference_host.h"
#include "platform/hid.h"
#include "tests/fakes/hid_fake.h"
#include "usb/hid_module.h"

namespace kyt::bench {
namespace {

constexpr uint32_t kInstance = 0;
// A vendor device with 64-byte input reports, report ID 1.
const std::string kDescriptor = {'\x06', '\x00', '\xFF', '\x09', '\x01', '\xA1', '\x01', '\x85',
                                 '\x01', '\x75', '\x08', '\x95', '\x40', '\x09', '\x01', '\x81',
                                 '\x02', '\x95', '\x40', '\x09', '\x01', '\x91', '\x02', '\xC0'};

std::string Report(bool stamp) {
  std::string report(65, 'r');
  report[0] = 1;
  if (stamp)
    WriteStamp(report.data() + 1);
  return report;
}

// Feeds a burst, or single stamped reports each after the previous one arrived.
void Feed(test::TFakeHidPlatform& fake, size_t count, bool singles) {
  for (size_t i = 0; i < count; ++i) {
    fake.SendInput(kInstance, Report(singles));
    if (singles)
      tally.WaitForBlocks(i + 1, std::chrono::seconds(10));
  }
}

// The baseline: a thread reading reports from the layer as plainly as it gets.
void PlainReadLoop(test::TFakeHidPlatform& fake, size_t until) {
  auto reader = fake.OpenReader("/dev/hidraw0");
  std::vector<uint8_t> report(65);
  for (size_t got = 0; got < until;) {
    auto result = reader->Read(report, std::chrono::milliseconds(100));
    if (result.Status != hid::TReadStatus::Report)
      continue;
    tally.Take(reinterpret_cast<const char*>(report.data()) + 1, result.Count - 1);
    ++got;
  }
}

double RunModule(host::TReferenceHost& host, test::TFakeHidPlatform& fake, size_t count,
                 bool singles) {
  tally.Reset(singles);
  host.StoreSetting(10, {"Settings"}, "Open", Variant(true));
  host.StoreSetting(10, {"Settings"}, "DeviceSerial", Variant("BENCH"));
  host.StoreSetting(10, {"Settings"}, "DeviceVendorID", Variant(0x1234));
  host.StoreSetting(10, {"Settings"}, "DeviceProductID", Variant(0x5678));
  host.CreateInstance("HID", 10);
  host.CreateInstance("COUNT", 11, 10);
  fake.WaitForReaders(kInstance, 1);
  auto start = Clock::now();
  std::thread feeder([&] { Feed(fake, count, singles); });
  tally.WaitForBlocks(count, std::chrono::minutes(5));
  double seconds = SecondsSince(start);
  feeder.join();
  host.DeleteAllInstances();
  return seconds;
}

double RunPlain(test::TFakeHidPlatform& fake, size_t count, bool singles) {
  tally.Reset(singles);
  std::thread reader([&] { PlainReadLoop(fake, count); });
  fake.WaitForReaders(kInstance, 1);
  auto start = Clock::now();
  std::thread feeder([&] { Feed(fake, count, singles); });
  reader.join();
  double seconds = SecondsSince(start);
  feeder.join();
  return seconds;
}

int Main(int argc, char** argv) {
  const size_t reports = CountArgument(argc, argv, 1, 200000);
  const size_t singles = CountArgument(argc, argv, 2, 2000);

  test::TFakeHidPlatform fake;
  test::TFakeHidDevice device;
  device.InstanceNumber = kInstance;
  device.VendorID = 0x1234;
  device.ProductID = 0x5678;
  device.Serial = "BENCH";
  device.ReportDescriptor = kDescriptor;
  fake.PlugQuietly(device);

  host::TReferenceHost host;
  // Measure the module, not the test host's memory of every debug entry.
  host.SetKeepEvents(false);
  host.RegisterModule(&TKYTHID::Class, &TypeInfoOf<IKYTHID>(), "HID");
  host.RegisterModule(&TCountingChild::Class, nullptr, "COUNT");

  constexpr int kRounds = 5;
  std::vector<double> plainBurst, moduleBurst;
  std::vector<Latency> plainLat, moduleLat;
  for (int round = 0; round < kRounds; ++round) {
    plainBurst.push_back(RunPlain(fake, reports, false));
    moduleBurst.push_back(RunModule(host, fake, reports, false));
    RunPlain(fake, singles, true);
    plainLat.push_back(tally.Latencies());
    RunModule(host, fake, singles, true);
    moduleLat.push_back(tally.Latencies());
  }
  const double plainRate = static_cast<double>(reports) / Median(plainBurst);
  const double moduleRate = static_cast<double>(reports) / Median(moduleBurst);
  const Latency plainLatency = Median(plainLat);
  const Latency moduleLatency = Median(moduleLat);
  std::printf("reports/s        plain %10.0f  module %10.0f  module/plain %.2f\n", plainRate,
              moduleRate, moduleRate / plainRate);
  std::printf("latency median   plain %8.1f us  module %8.1f us  module/plain %.2f\n",
              plainLatency.medianUs, moduleLatency.medianUs,
              moduleLatency.medianUs / plainLatency.medianUs);
  std::printf("latency p99      plain %8.1f us  module %8.1f us  module/plain %.2f\n",
              plainLatency.p99Us, moduleLatency.p99Us, moduleLatency.p99Us / plainLatency.p99Us);
  return 0;
}

}  // namespace
}  // namespace kyt::bench

int main(int argc, char** argv) {
  return kyt::bench::Main(argc, argv);
}
