// FTDI and USBXpress receive paths on their vendor doubles, in one run: the time from a byte
// block entering the device to the child's ReceiveData (median, p99), and the throughput of a
// bulk stream. The FTDI module runs twice, waking on the driver's event and polling only (the
// 100 ms poll of a watch thread that ignores the event), so the two stand side by side; the
// USBXpress library has no event and always polls.
// The send path: the caller's time per 32-byte send and the throughput of a bulk stream, through
// the modules' queue and writer thread, beside the controller's own write on the caller's thread
// (what a send cost when it wrote there).
//
//   bench_vendor_usb [megabytes=32] [messages=400] [polled-messages=30]
//
// The doubles are looked for in tests/fakes/vendor beside this program.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "framework/codes.h"
#include "host/reference_host.h"
#include "platform/dynlib.h"
#include "usb/ftdi_controller.h"
#include "usb/ftdi_module.h"
#include "usb/usbxp_module.h"

namespace kyt::bench {
namespace {

constexpr size_t kMessage = 32;
constexpr TInstanceID kModule = 10;
constexpr TInstanceID kChild = 11;
// How long one block or one bulk stream may take before it counts as lost.
constexpr std::chrono::minutes kArrivalLimit{2};

// One double, driven through its control interface.
class TDouble {
 public:
  TDouble(const std::string& path, const char* variable) : library_(path) {
    setenv(variable, path.c_str(), 1);
    Fn<void()>("FakeVendor_Reset")();
    Fn<void(const char*, const char*, int)>("FakeVendor_AddDevice")("BENCH01", "bench", 0);
  }
  // Forgets what was written, and every handle.
  void Restart() {
    Fn<void()>("FakeVendor_Reset")();
    Fn<void(const char*, const char*, int)>("FakeVendor_AddDevice")("BENCH01", "bench", 0);
  }
  size_t WrittenSize() {
    return Fn<size_t(const char*, char*, size_t)>("FakeVendor_Written")("BENCH01", nullptr, 0);
  }
  void Inject(const std::string& bytes) {
    Fn<void(const char*, const char*, size_t)>("FakeVendor_Inject")("BENCH01", bytes.data(),
                                                                    bytes.size());
  }

 private:
  template <class F>
  F* Fn(const char* name) {
    return reinterpret_cast<F*>(library_.RequireSymbol(name));
  }
  TDynamicLibrary library_;
};

struct TSetup {
  const char* Label;
  const char* Module;
  bool WakeOnData;
};

struct Result {
  double MegabytesPerSecond = 0;
  double MedianUs = 0;
  double P99Us = 0;
};

void Open(host::TReferenceHost& host, const TSetup& variant) {
  TVendorController::Defaults() = {std::chrono::milliseconds(100), variant.WakeOnData};
  host.StoreSetting(kModule, {"Settings"}, "Open", Variant(true));
  host.StoreSetting(kModule, {"Settings"}, "Port", Variant(std::string("BENCH01")));
  host.CreateInstance(variant.Module, kModule);
  host.CreateInstance("COUNT", kChild, kModule);
  if (host.Status(kModule) != IS_ACTIVE)
    throw Exception("the device did not open");
}

void Close(host::TReferenceHost& host) {
  host.DeleteInstance(kChild);
  host.DeleteInstance(kModule);
}

// Stamped blocks, each injected after the previous one arrived.
void MeasureLatency(host::TReferenceHost& host, TDouble& device, const TSetup& variant,
                    size_t messages, Result& result) {
  Open(host, variant);
  tally.Reset(true);
  std::string message(kMessage, 'm');
  for (size_t i = 0; i < messages; ++i) {
    WriteStamp(message.data());
    device.Inject(message);
    if (!tally.WaitForBytes((i + 1) * kMessage, kArrivalLimit))
      throw Exception("a block went missing");
  }
  Close(host);
  const Latency latency = tally.Latencies();
  result.MedianUs = latency.medianUs;
  result.P99Us = latency.p99Us;
}

// Chunks injected back to back; the clock stops when the child has them all.
void MeasureThroughput(host::TReferenceHost& host, TDouble& device, const TSetup& variant,
                       size_t total, Result& result) {
  Open(host, variant);
  tally.Reset(false);
  const std::string chunk(kChunk, 'x');
  const auto start = Clock::now();
  for (size_t sent = 0; sent < total; sent += kChunk) device.Inject(chunk);
  if (!tally.WaitForBytes(total, kArrivalLimit))
    throw Exception("bytes went missing");
  const double seconds = SecondsSince(start);
  Close(host);
  result.MegabytesPerSecond = static_cast<double>(total) / (1 << 20) / seconds;
}

struct SendResult {
  Latency Call;  // the caller's time per send
  double MegabytesPerSecond = 0;
};

// `send` hands one block on; the clock of the bulk stream stops when the device has it all.
SendResult MeasureSend(TDouble& device, size_t messages, size_t total,
                       const std::function<void(const std::string&)>& send) {
  SendResult result;
  std::vector<double> callUs;
  const std::string message(kMessage, 'm');
  for (size_t i = 0; i < messages; ++i) {
    const auto start = Clock::now();
    send(message);
    callUs.push_back(SecondsSince(start) * 1e6);
  }
  result.Call = {Percentile(callUs, 0.5), Percentile(callUs, 0.99)};
  const size_t before = device.WrittenSize() == messages * kMessage ? messages * kMessage : 0;
  const std::string chunk(kChunk, 'x');
  const auto start = Clock::now();
  for (size_t sent = 0; sent < total; sent += kChunk) {
    // A queue that is full refuses the block; the sender tries again once it has room.
    for (;;) {
      try {
        send(chunk);
        break;
      } catch (const Exception&) {
        std::this_thread::yield();
      }
    }
  }
  const auto deadline = Clock::now() + kArrivalLimit;
  while (device.WrittenSize() < before + total) {
    if (Clock::now() > deadline)
      throw Exception("written bytes went missing");
    std::this_thread::yield();
  }
  result.MegabytesPerSecond = static_cast<double>(total) / (1 << 20) / SecondsSince(start);
  return result;
}

void PrintSends(size_t messages, size_t total, TDouble& d2xx, TDouble& usbxp,
                host::TReferenceHost& host) {
  struct TRow {
    const char* Label;
    SendResult Result;
  };
  std::vector<TRow> rows;
  {
    d2xx.Restart();
    TD2XXController controller;
    controller.Open("BENCH01");
    rows.push_back({"FTDI controller's Write (baseline)",
                    MeasureSend(d2xx, messages, total,
                                [&](const std::string& block) { controller.Write(block); })});
  }
  for (const TSetup setup : {TSetup{"FTDI module, queued", "FTDI", true},
                             TSetup{"USBXpress module, queued", "USBXp", false}}) {
    TDouble& device = std::string(setup.Module) == "FTDI" ? d2xx : usbxp;
    device.Restart();
    Open(host, setup);
    const auto sender = Supports<IKYTSendData>(host.Instance(kModule));
    rows.push_back({setup.Label, MeasureSend(device, messages, total,
                                             [&](const std::string& b) { sender->SendData(b); })});
    Close(host);
  }
  std::printf("\nSending: %zu sends of %zu bytes, then %zu MB in %zu KiB blocks\n", messages,
              kMessage, total >> 20, kChunk >> 10);
  std::printf("%-36s %12s %12s %12s\n", "", "call med us", "call p99 us", "MB/s");
  for (const auto& row : rows) {
    std::printf("%-36s %12.2f %12.2f %12.1f\n", row.Label, row.Result.Call.medianUs,
                row.Result.Call.p99Us, row.Result.MegabytesPerSecond);
  }
}

int Main(int argc, char** argv) {
  const size_t total = CountArgument(argc, argv, 1, 32) << 20;
  const size_t messages = CountArgument(argc, argv, 2, 400);
  const size_t polledMessages = CountArgument(argc, argv, 3, 30);
  const std::string fakes = ProgramFolder(argv[0]) + "/tests/fakes/vendor";

  TDouble d2xx(fakes + "/libftd2xx.so", "KYT_FTD2XX_LIBRARY");
  TDouble usbxp(fakes + "/libSiUSBXp.so", "KYT_SIUSBXP_LIBRARY");
  host::TReferenceHost host;
  host.SetKeepEvents(false);
  host.RegisterModule(&TKYTFTDI::Class, &TypeInfoOf<IKYTFTDI>(), "FTDI");
  host.RegisterModule(&TKYTUSBXp::Class, &TypeInfoOf<IKYTUSBXp>(), "USBXp");
  host.RegisterModule(&TCountingChild::Class, nullptr, "COUNT");

  const std::vector<TSetup> variants = {
      {"FTDI, wakes on the driver's event", "FTDI", true},
      {"FTDI, 100 ms poll only (baseline)", "FTDI", false},
      {"USBXpress, 100 ms poll (no event)", "USBXp", false},
  };
  std::vector<Result> results(variants.size());
  // Alternating the variants spreads a noisy moment of the machine over all of them.
  for (size_t i = 0; i < variants.size(); ++i) {
    TDouble& device = std::string(variants[i].Module) == "FTDI" ? d2xx : usbxp;
    MeasureLatency(host, device, variants[i], variants[i].WakeOnData ? messages : polledMessages,
                   results[i]);
  }
  for (size_t i = 0; i < variants.size(); ++i) {
    TDouble& device = std::string(variants[i].Module) == "FTDI" ? d2xx : usbxp;
    MeasureThroughput(host, device, variants[i], total, results[i]);
  }

  std::printf("%-36s %12s %12s %12s\n", "", "median us", "p99 us", "MB/s");
  for (size_t i = 0; i < variants.size(); ++i) {
    std::printf("%-36s %12.1f %12.1f %12.1f\n", variants[i].Label, results[i].MedianUs,
                results[i].P99Us, results[i].MegabytesPerSecond);
  }
  const Result& event = results[0];
  const Result& polled = results[1];
  if (event.MedianUs > 0 && event.P99Us > 0 && polled.MegabytesPerSecond > 0) {
    std::printf(
        "\npoll-only / event-driven latency: median x%.0f, p99 x%.0f; "
        "event-driven / poll-only throughput: x%.2f\n",
        polled.MedianUs / event.MedianUs, polled.P99Us / event.P99Us,
        event.MegabytesPerSecond / polled.MegabytesPerSecond);
  }
  PrintSends(messages, total, d2xx, usbxp, host);
  return 0;
}

}  // namespace
}  // namespace kyt::bench

int main(int argc, char** argv) {
  try {
    return kyt::bench::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_vendor_usb: %s\n", e.what());
    return 1;
  }
}
