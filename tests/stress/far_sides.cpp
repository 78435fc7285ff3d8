#include "tests/stress/far_sides.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/sockets.h"
#include "tests/fakes/hid_fake.h"
#include "tests/network/http_test_server.h"
#include "tests/serial/pty_pair.h"
#include "tests/usb/hid_descriptors.h"
#include "tests/usb/vendor_fake.h"

namespace kyt::test {

std::string Record(int number, int digits) {
  return fmt::format("{:0{}}", number % (digits == 8 ? 100000000 : 10000), digits);
}

std::string CheckOf(const std::string& digits) {
  unsigned sum = 0;
  for (size_t i = 0; i < digits.size(); ++i)
    sum += static_cast<unsigned>(i * 7 + 3) * (digits[i] - '0');
  sum %= 26 * 26;
  return {static_cast<char>('a' + sum / 26), static_cast<char>('a' + sum % 26)};
}

std::string Line(int number) {
  const std::string digits = Record(number);
  return digits + CheckOf(digits) + "\n";
}

std::vector<std::string> Lines(const std::string& stream) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = stream.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(stream.substr(start, end - start));
  return lines;
}

std::vector<std::string> TFarSide::ReceivedRecords(const std::vector<std::string>& blocks) {
  std::string stream;
  for (const std::string& block : blocks) stream += block;
  return Lines(stream);
}

namespace {

const std::vector<std::string> kSettings = {"Settings"};

template <class I>
I& As(IKYTModule& unit) {
  TRef<I> found = Supports<I>(&unit);
  if (!found)
    throw Exception("interface missing");
  return *found;  // the host's reference keeps the object
}

// Bytes going out to a non-blocking descriptor: what does not fit now waits for the next turn,
// so the stream stays whole.
class TOutbox {
 public:
  void Add(const std::string& bytes) { pending_ += bytes; }
  template <class Write>
  void Flush(Write write) {
    while (!pending_.empty()) {
      const ssize_t n = write(pending_);
      if (n <= 0)
        return;
      pending_.erase(0, static_cast<size_t>(n));
    }
  }

 private:
  std::string pending_;
};

// ---- Serial Port on a pty ----------------------------------------------------------------------

class TSerialFarSide final : public TFarSide {
 public:
  TSerialFarSide() {
    ::fcntl(pty_.Master(), F_SETFL, ::fcntl(pty_.Master(), F_GETFL) | O_NONBLOCK);
  }
  std::string Module() const override { return "COMPort"; }
  void Configure(host::TReferenceHost& host, TInstanceID id) override {
    host.StoreSetting(id, kSettings, "Open", Variant(true));
    host.StoreSetting(id, kSettings, "Port", Variant(pty_.SlavePath()));
  }
  void Change(IKYTModule& unit, int round) override {
    As<IKYTSerialPort>(unit).SetBaudRate(round % 2 ? "19200" : "9600");
  }
  void Send(IKYTModule& unit, int number) override {
    As<IKYTSerialPort>(unit).SendText(Line(number));
  }
  void Disturb(IKYTModule&, int round) override {
    out_.Add(Line(kIncoming + round));
    out_.Flush([&](const std::string& b) { return ::write(pty_.Master(), b.data(), b.size()); });
    Collect();
  }
  void Collect() override {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pty_.Master(), buffer, sizeof buffer)) > 0) sent_.append(buffer, n);
  }
  std::vector<std::string> SentRecords() override { return Lines(sent_); }

 private:
  PtyPair pty_;
  TOutbox out_;
  std::string sent_;
};

// ---- Client Socket against a loopback peer -------------------------------------------------

// Reads what a connection holds without waiting; false once it is closed.
bool Drain(const net::Socket& socket, std::string& into) {
  char buffer[4096];
  try {
    while (auto n = net::ReceiveNow(socket, buffer)) {
      if (*n == 0)
        return false;
      into.append(buffer, *n);
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool SendNow(const net::Socket& socket, const std::string& bytes) {
  try {
    net::SendAll(socket, bytes, std::chrono::milliseconds(200));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

class TClientSocketFarSide final : public TFarSide {
 public:
  std::string Module() const override { return "CSCK"; }
  void Configure(host::TReferenceHost& host, TInstanceID id) override {
    host.StoreSetting(id, kSettings, "Open", Variant(true));
    host.StoreSetting(id, kSettings, "Host", Variant(std::string("127.0.0.1")));
    host.StoreSetting(id, kSettings, "Port", Variant(int32_t{net::LocalPort(listener_)}));
  }
  void Change(IKYTModule& unit, int round) override {
    As<IKYTClientSocket>(unit).SetOpen(round % 4 != 3);
  }
  void Send(IKYTModule& unit, int number) override {
    As<IKYTClientSocket>(unit).SendText(Line(number));
  }
  void Disturb(IKYTModule&, int round) override {
    Collect();
    if (!peers_.empty() && !SendNow(peers_.back(), Line(kIncoming + round)))
      peers_.pop_back();
  }
  void Collect() override {
    while (net::Socket accepted = net::Accept(listener_, std::chrono::milliseconds(0)))
      peers_.push_back(std::move(accepted));
    // Oldest first: the instance wrote to the older connection before it opened the newer.
    for (auto it = peers_.begin(); it != peers_.end();) {
      it = Drain(*it, sent_) ? std::next(it) : peers_.erase(it);
    }
  }
  std::vector<std::string> SentRecords() override { return Lines(sent_); }

 private:
  net::Socket listener_ = net::Listen(0, "127.0.0.1");
  std::vector<net::Socket> peers_;
  std::string sent_;
};

// ---- Server Socket with a loopback client ---------------------------------------------------

uint16_t FreePort() {
  const net::Socket probe = net::Listen(0, "127.0.0.1");
  return net::LocalPort(probe);
}

class TServerSocketFarSide final : public TFarSide {
 public:
  std::string Module() const override { return "SSCK"; }
  std::string Tick() const override { return ""; }
  void Configure(host::TReferenceHost& host, TInstanceID id) override {
    host.StoreSetting(id, kSettings, "Open", Variant(true));
    host.StoreSetting(id, kSettings, "Port", Variant(int32_t{port_}));
  }
  void Change(IKYTModule& unit, int round) override {
    As<IKYTServerSocket>(unit).SetLimit(round % 2 ? 8 : 9);
  }
  void Send(IKYTModule& unit, int number) override {
    As<IKYTServerSocket>(unit).SendText(Line(number));
  }
  void Disturb(IKYTModule&, int round) override {
    if (!client_) {
      try {
        client_ = net::Connect(net::Resolve("127.0.0.1", port_), std::chrono::milliseconds(200));
      } catch (const std::exception&) {
        return;  // between two activations
      }
    }
    if (!Drain(client_, sent_) || !SendNow(client_, Line(kIncoming + round)))
      client_.Reset();
  }
  void Collect() override {
    if (client_ && !Drain(client_, sent_))
      client_.Reset();
  }
  std::vector<std::string> SentRecords() override { return Lines(sent_); }

 private:
  uint16_t port_ = FreePort();
  net::Socket client_;
  std::string sent_;
};

// ---- FTDI and USBXpress on the vendor doubles ------------------------------------------------

class TVendorFarSide final : public TFarSide {
 public:
  TVendorFarSide(std::string module, const char* file, const char* variable, bool ticks)
      : module_(std::move(module)), fake_(file, variable), ticks_(ticks) {
    fake_.AddDevice(kSerial, "Stress");
  }
  std::string Module() const override { return module_; }
  std::string Tick() const override { return ticks_ ? "Reconnect" : ""; }
  void Configure(host::TReferenceHost& host, TInstanceID id) override {
    host.StoreSetting(id, kSettings, "Open", Variant(true));
    host.StoreSetting(id, kSettings, "Port", Variant(std::string(kSerial)));
  }
  void Change(IKYTModule& unit, int round) override {
    As<IKYTSerialControl>(unit).SetBaudRate(round % 2 ? "19200" : "9600");
  }
  void Send(IKYTModule& unit, int number) override {
    As<IKYTSendData>(unit).SendData(Line(number));
  }
  void Disturb(IKYTModule&, int round) override {
    // Now and then the device goes and comes back at the next turn.
    const bool away = round % 16 == 15;
    fake_.SetPresent(kSerial, !away);
    if (!away)
      fake_.Inject(kSerial, Line(kIncoming + round));
  }
  std::vector<std::string> SentRecords() override { return Lines(fake_.Written(kSerial)); }

 private:
  static constexpr const char* kSerial = "STRESS1";
  std::string module_;
  TFakeVendor fake_;
  bool ticks_;
};

// ---- HID on the fake layer ---------------------------------------------------------------------

class THIDFarSide final : public TFarSide {
 public:
  THIDFarSide() { fake_.Plug(Device()); }
  std::string Module() const override { return "HID"; }
  std::string Tick() const override { return ""; }
  void Configure(host::TReferenceHost& host, TInstanceID id) override {
    host.StoreSetting(id, kSettings, "Open", Variant(true));
    host.StoreSetting(id, kSettings, "DeviceSerial", Variant(std::string("STRESS1")));
    host.StoreSetting(id, kSettings, "DeviceVendorID", Variant(int32_t{kVendor}));
    host.StoreSetting(id, kSettings, "DeviceProductID", Variant(int32_t{kProduct}));
  }
  void Change(IKYTModule& unit, int round) override { As<IKYTHID>(unit).SetOpen(round % 4 != 3); }
  // Output report 2 holds four bytes: four digits, so the sender stops at 10,000 reports (a fast
  // machine gets there) rather than start again at 0000.
  void Send(IKYTModule& unit, int number) override {
    if (number >= 10000)
      return;
    As<IKYTHIDSendData>(unit).SendEvent(2, Record(number, 4));
  }
  int SentDigits() const override { return 4; }
  bool Echoes() const override { return false; }  // a Bridge takes no reports
  void Disturb(IKYTModule&, int round) override {
    // A replug is a whole scan on the main thread: now and then, not at every turn.
    if (round % 256 == 255) {
      fake_.Unplug(1);
      fake_.Plug(Device());
      return;
    }
    // Input report 2 carries eight bytes, one record each.
    fake_.SendInput(1, "\x02" + Record(kIncoming + round));
  }
  std::vector<std::string> SentRecords() override {
    std::vector<std::string> records;
    for (const std::string& report : fake_.Written(1)) records.push_back(report.substr(1, 4));
    return records;
  }
  std::vector<std::string> ReceivedRecords(const std::vector<std::string>& blocks) override {
    return blocks;
  }

 private:
  static constexpr uint16_t kVendor = 0x1234;
  static constexpr uint16_t kProduct = 0x5678;
  static TFakeHidDevice Device() {
    TFakeHidDevice d;
    d.InstanceNumber = 1;
    d.VendorID = kVendor;
    d.ProductID = kProduct;
    d.Serial = "STRESS1";
    d.ReportDescriptor = kNumberedVendor;
    return d;
  }
  TFakeHidPlatform fake_;
};

// ---- WWW Reader against a local server -------------------------------------------------------

class TWWWReaderFarSide final : public TFarSide {
 public:
  std::string Module() const override { return "WWWReader"; }
  std::string Tick() const override { return "UpdatePage"; }
  void Configure(host::TReferenceHost& host, TInstanceID id) override {
    host.StoreSetting(id, kSettings, "URL", Variant(Url("a")));
  }
  void Change(IKYTModule& unit, int round) override {
    As<IKYTWWWReader>(unit).SetPage(Url(round % 2 ? "b" : "a"));
  }
  // No send path: a script's fetch, which the children do not get.
  void Send(IKYTModule& unit, int) override { As<IKYTWWWReader>(unit).RetrievePage(Url("c")); }
  void Disturb(IKYTModule& unit, int) override { As<IKYTWWWReader>(unit).GetPage(); }
  std::vector<std::string> SentRecords() override { return {}; }
  bool Echoes() const override { return false; }  // nothing to send to

 private:
  std::string Url(const char* path) const { return "http://" + server_.Address() + "/" + path; }
  // Each answer is the request's number: pages delivered in fetch order come out in order.
  TScriptedServer server_{[](const std::string&, int index) {
    const std::string body = Line(index);
    return TScriptedReply{
        fmt::format("HTTP/1.1 200 OK\r\nContent-Length: {}\r\n\r\n{}", body.size(), body)};
  }};
};

}  // namespace

std::unique_ptr<TFarSide> SerialPortFarSide() {
  return std::make_unique<TSerialFarSide>();
}
std::unique_ptr<TFarSide> ClientSocketFarSide() {
  return std::make_unique<TClientSocketFarSide>();
}
std::unique_ptr<TFarSide> ServerSocketFarSide() {
  return std::make_unique<TServerSocketFarSide>();
}
std::unique_ptr<TFarSide> FTDIFarSide() {
  return std::make_unique<TVendorFarSide>("FTDI", "libftd2xx.so", "KYT_FTD2XX_LIBRARY", true);
}
std::unique_ptr<TFarSide> USBXpFarSide() {
  return std::make_unique<TVendorFarSide>("USBXp", "libSiUSBXp.so", "KYT_SIUSBXP_LIBRARY", false);
}
std::unique_ptr<TFarSide> HIDFarSide() {
  return std::make_unique<THIDFarSide>();
}
std::unique_ptr<TFarSide> WWWReaderFarSide() {
  return std::make_unique<TWWWReaderFarSide>();
}

}  // namespace kyt::test
