// The Windows platform layers on the real system calls (under wine here): Winsock on loopback,
// the comm functions on a COM port pair, the loader, the HID libraries, the catalogue reader.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "framework/translate.h"
#include "platform/comm.h"
#include "platform/crypto.h"
#include "platform/dynlib.h"
#include "platform/hid.h"
#include "platform/module_path.h"
#include "platform/native_thread.h"
#include "platform/sockets.h"

namespace kyt {
namespace {

using namespace std::chrono_literals;

// windows.h stays out of this file: its macros clash with the comm layer's names.
extern "C" __declspec(dllimport) void* __stdcall GetModuleHandleA(const char* name);
extern "C" __declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);

bool UnderWine() {
  void* ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

struct TLoopbackPair {
  net::Socket listener = net::Listen(0, "127.0.0.1");
  net::Socket client = net::Connect(net::Resolve("127.0.0.1", net::LocalPort(listener)), 5s);
  net::Socket server = net::Accept(listener, 5s);
};

std::string ReceiveExactly(const net::Socket& socket, std::size_t count) {
  std::string out;
  char buffer[256];
  while (out.size() < count) {
    const std::size_t got = net::Receive(socket, std::span<char>(buffer, sizeof buffer));
    if (got == 0)
      break;
    out.append(buffer, got);
  }
  return out;
}

TEST(WinsockTest, MovesBytesBothWaysAndSeesTheClose) {
  TLoopbackPair pair;
  ASSERT_TRUE(pair.server.Valid());
  EXPECT_EQ(net::PeerAddressText(pair.server), "127.0.0.1");
  // More than one send buffer's worth, so SendAll has to wait for room.
  const std::string big(4 << 20, 'x');
  auto sent = std::async(std::launch::async, [&] { net::SendAll(pair.client, big); });
  EXPECT_EQ(ReceiveExactly(pair.server, big.size()), big);
  sent.get();
  net::SendAll(pair.server, std::string_view("back"));
  EXPECT_EQ(ReceiveExactly(pair.client, 4), "back");

  char buffer[16];
  EXPECT_EQ(net::ReceiveNow(pair.server, std::span<char>(buffer, sizeof buffer)), std::nullopt);
  pair.client.Reset();
  ASSERT_EQ(net::WaitReadable(pair.server, 5s), net::WaitResult::Ready);
  EXPECT_EQ(net::Receive(pair.server, std::span<char>(buffer, sizeof buffer)), 0u);
}

TEST(WinsockTest, StopSignalEndsWaitsAndTimedSends) {
  TLoopbackPair pair;
  net::StopSignal stop;
  EXPECT_FALSE(stop.Raised());
  EXPECT_EQ(net::WaitReadable(pair.server, 50ms, &stop), net::WaitResult::TimedOut);
  std::thread raiser([&] { stop.Raise(); });
  EXPECT_EQ(net::WaitReadable(pair.server, net::kNoTimeout, &stop), net::WaitResult::Stopped);
  raiser.join();
  EXPECT_TRUE(stop.Raised());
  EXPECT_TRUE(net::WaitForStop(stop, 0ms));
  // Nobody reads: a large timed send fills the buffers and is cut short by the stop.
  try {
    net::SendAll(pair.client, std::string(64 << 20, 'y'), 10s, &stop);
    ADD_FAILURE() << "the send was not stopped";
  } catch (const net::SocketError& e) {
    EXPECT_EQ(e.Code(), net::kCanceled);
  }
  stop.Reset();
  EXPECT_FALSE(stop.Raised());
  EXPECT_FALSE(net::Accept(pair.listener, 20ms).Valid());
}

TEST(WinsockTest, RefusedAndUnresolvableConnectionsSayWhy) {
  net::Socket listener = net::Listen(0, "127.0.0.1");
  const uint16_t port = net::LocalPort(listener);
  listener.Reset();
  try {
    net::Connect(net::Resolve("127.0.0.1", port), 5s);
    ADD_FAILURE() << "connected to a closed port";
  } catch (const net::SocketError& e) {
    EXPECT_EQ(e.Code(), 10061);  // WSAECONNREFUSED
    EXPECT_FALSE(e.Text().empty());
  }
  EXPECT_THROW(net::Resolve("no-such-host.invalid", 80), net::SocketError);
}

// Two COM ports that wine maps to the two ends of a pty pair (scripts/run-windows-tests sets
// KYT_WINE_COM_PAIR="COM8,COM9").
std::pair<std::string, std::string> ComPair() {
  const char* pair = std::getenv("KYT_WINE_COM_PAIR");
  if (pair == nullptr || std::strchr(pair, ',') == nullptr)
    return {};
  const std::string text = pair;
  return {text.substr(0, text.find(',')), text.substr(text.find(',') + 1)};
}

std::unique_ptr<comm::ICommPort> OpenAt9600(const std::string& name) {
  auto port = comm::CommProvider().Open(name);
  port->SetupComm(4096, 4096);
  comm::TDCB dcb;
  dcb.BaudRate = 9600;
  dcb.Flags = comm::fBinary;
  port->SetCommState(dcb);
  port->SetCommTimeouts({comm::MAXDWORD, 0, 0, 0, 1000});
  // The modem-line events too, as the serial module asks: a port without those lines must
  // still report its received bytes.
  port->SetCommMask(comm::EV_RXCHAR | comm::EV_ERR | comm::EV_CTS | comm::EV_DSR | comm::EV_RLSD |
                    comm::EV_RING);
  return port;
}

TEST(WineComPortTest, CarriesBytesAndWakesTheEventWait) {
  const auto [a, b] = ComPair();
  if (a.empty())
    GTEST_SKIP() << "no COM port pair (KYT_WINE_COM_PAIR): run through make test-windows";
  auto sender = OpenAt9600(a);
  auto receiver = OpenAt9600(b);
  auto stop = receiver->NewStopSignal();
  EXPECT_EQ(sender->Write("hello", 5), 5u);
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (got.size() < 5 && std::chrono::steady_clock::now() < deadline) {
    const comm::TCommWait wait = receiver->WaitCommEvent(*stop);
    ASSERT_FALSE(wait.Stopped);
    if (wait.Events == 0)
      continue;
    // The serial module reads what the queue counts after an EV_RXCHAR, and nothing else.
    EXPECT_NE(wait.Events & comm::EV_RXCHAR, 0u);
    const comm::TCommState state = receiver->ClearCommError();
    EXPECT_GT(state.InQueue, 0u);
    std::string chunk(std::max<uint32_t>(state.InQueue, 1), '\0');
    chunk.resize(receiver->Read(chunk.data(), chunk.size()));
    got += chunk;
  }
  EXPECT_EQ(got, "hello");

  std::thread raiser([&] { stop->Raise(); });
  EXPECT_TRUE(receiver->WaitCommEvent(*stop).Stopped);
  raiser.join();

  // A write the far side does not take, under a minute's time-out, ends at once when the
  // writes are cancelled (as a closing port does), with the count it moved.
  sender->SetCommTimeouts({comm::MAXDWORD, 0, 0, 0, 60000});
  const std::string lots(4 << 20, 'x');
  auto writing =
      std::async(std::launch::async, [&] { return sender->Write(lots.data(), lots.size()); });
  const auto started = std::chrono::steady_clock::now() + 10s;
  while (receiver->ClearCommError().InQueue == 0 && std::chrono::steady_clock::now() < started)
    std::this_thread::yield();
  sender->CancelWrites();
  ASSERT_EQ(writing.wait_for(20s), std::future_status::ready);
  EXPECT_LT(writing.get(), lots.size());
  EXPECT_EQ(sender->Write("late", 4), 0u);
  // Exclusive access: a second open of a port in use fails (wine lets it pass).
  if (!UnderWine()) {
    EXPECT_THROW(comm::CommProvider().Open(a), comm::CommError);
  }
}

TEST(WineComPortTest, MissingPortFailsWithTheSystemCode) {
  try {
    comm::CommProvider().Open("COM199");
    ADD_FAILURE() << "opened a port that does not exist";
  } catch (const comm::CommError& e) {
    EXPECT_NE(e.Code(), 0);
  }
  EXPECT_EQ(comm::PortPath("COM12"), "\\\\.\\COM12");
}

TEST(WindowsLoaderTest, FindsItselfAndLoadsSystemLibraries) {
  const std::string self = LoadedObjectPath(reinterpret_cast<const void*>(&ComPair));
  EXPECT_NE(self.find("kyt_win32_tests.exe"), std::string::npos) << self;
  TDynamicLibrary kernel("kernel32.dll");
  EXPECT_NE(kernel.Symbol("GetTickCount"), nullptr);
  EXPECT_EQ(kernel.Symbol("NoSuchFunction"), nullptr);
  EXPECT_NE(kernel.Error().find("NoSuchFunction"), std::string::npos);
  EXPECT_THROW(TDynamicLibrary("no-such-library.dll"), EDynamicLibrary);
  // wine has no OpenSSL, a Windows machine may: either the hashes work or the layer says why.
  try {
    TCryptoLibrary crypto;
    EXPECT_EQ(crypto.MD5("")[0], 0xD4);
  } catch (const ECryptoUnavailable& e) {
    EXPECT_NE(std::string(e.what()).find("libcrypto-3.dll"), std::string::npos) << e.what();
  }
}

TEST(WindowsThreadTest, AThreadHandsItselfOverToBeJoined) {
  std::promise<platform::NativeThread> self;
  platform::NativeThread started = platform::StartNativeThread(
      [&] { self.set_value(platform::CurrentNativeThread()); }, 64 * 1024);
  platform::NativeThread handed = self.get_future().get();
  EXPECT_EQ(handed.id, started.id);
  platform::JoinNativeThread(handed);
}

TEST(WindowsHidTest, EnumeratesAndWatchesThroughTheSystemLibraries) {
  // wine offers SetupApi and HID.dll but no HID devices; the calls must still succeed.
  for (const hid::TDeviceEntry& entry : hid::Platform().Enumerate())
    EXPECT_FALSE(entry.Path.empty());
  auto watch = hid::Platform().Watch([] {});
  EXPECT_NE(watch, nullptr);
  EXPECT_THROW(hid::Platform().Open("\\\\?\\no#such#device", hid::TAccess::QueryOnly),
               hid::HidError);
}

TEST(WindowsCatalogueTest, GermanTextsWithoutLibintl) {
  _putenv_s("LANGUAGE", "de");
  _putenv_s("LC_ALL", "de_DE");
  EXPECT_EQ(Translate("Creating..."), "Erstelle...");
  EXPECT_EQ(Translate("No such text in any catalogue"), "No such text in any catalogue");
}

}  // namespace
}  // namespace kyt
