// The WWW Reader module through the reference host, against scripted local servers.

#include "network/www_reader.h"

#include <gtest/gtest.h>

#include <future>

#include "framework/codes.h"
#include "host/reference_host.h"
#include "tests/network/http_test_server.h"
#include "tests/network/tcp_test_peer.h"

namespace kyt {
namespace {

using host::THostEvent;
using Kind = THostEvent::Kind;
using test::TScriptedReply;
using test::TScriptedServer;

constexpr TInstanceID kReader = 20;

constexpr char kPageBytes[] = "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nthe\0page!";
const std::string kPage(kPageBytes, sizeof kPageBytes - 1);

class WWWReaderTest : public ::testing::Test {
 protected:
  WWWReaderTest() { MakeHost(); }
  void MakeHost() {
    host_.reset();
    host_ = std::make_unique<host::TReferenceHost>(host::THostOptions{true, "", KR_READY});
    host_->RegisterModule(&TKYTWWWReader::Class, &TypeInfoOf<IKYTWWWReader>(), "WWWReader");
    host::RegisterBuiltinModules(*host_);
  }
  void Store(const std::string& name, const Variant& value) {
    host_->StoreSetting(kReader, {"Settings"}, name, value);
  }
  void Create() { host_->CreateInstance("WWWReader", kReader); }
  IKYTWWWReader& Reader() { return *Supports<IKYTWWWReader>(host_->Instance(kReader)); }
  IKYTModule& Module() { return *host_->Instance(kReader); }
  TInstanceID Console(TInstanceID id) { return host_->CreateInstance("Console", id, kReader); }
  std::vector<std::string> DataOf(TInstanceID console) {
    std::vector<std::string> out;
    for (const auto& e : host_->Events(Kind::Data, console)) out.push_back(e.Text);
    return out;
  }
  std::vector<THostEvent> Debug() { return host_->Events(Kind::Debug, kReader); }
  std::optional<int32_t> Timer() { return host_->TimerInterval(kReader, "UpdatePage"); }

  std::unique_ptr<host::TReferenceHost> host_;
};

TEST_F(WWWReaderTest, DefaultsAndSummary) {
  Create();
  EXPECT_EQ(host_->Summary(kReader), "300s - http://www.example.com/");
  EXPECT_EQ(Timer(), 0);
  EXPECT_EQ(Reader().GetPage(), "http://www.example.com/");
  EXPECT_FALSE(Reader().GetUseTimer());
  EXPECT_EQ(Reader().GetInterval(), 300);
  EXPECT_FALSE(Reader().GetUseProxy());
  EXPECT_EQ(Reader().GetProxyPort(), 0);
  EXPECT_FALSE(Reader().GetUseBasicAuth());
  EXPECT_EQ(host_->Status(kReader), 0);
}

TEST_F(WWWReaderTest, EverySetterMarksAChangeEvenWithTheSameValue) {
  Create();
  const std::vector<std::function<void()>> setters = {
      [&] { Reader().SetPage(Reader().GetPage()); },
      [&] { Reader().SetUseTimer(false); },
      [&] { Reader().SetInterval(300); },
      [&] { Reader().SetUseProxy(false); },
      [&] { Reader().SetProxyHost(""); },
      [&] { Reader().SetProxyPort(0); },
      [&] { Reader().SetProxyUsername(""); },
      [&] { Reader().SetProxyPassword(""); },
      [&] { Reader().SetUseBasicAuth(false); },
      [&] { Reader().SetAuthUsername(""); },
      [&] { Reader().SetAuthPassword(""); },
  };
  for (std::size_t i = 0; i < setters.size(); ++i) {
    Module().ApplyChanges();
    ASSERT_FALSE(Module().HasChanges());
    setters[i]();
    EXPECT_TRUE(Module().HasChanges()) << "setter " << i;
  }
}

TEST_F(WWWReaderTest, UpdatePageHandsTheWholePageToEveryChild) {
  TScriptedServer server(kPage);
  Store("URL", Variant("http://" + server.Address() + "/p"));
  Create();
  const TInstanceID a = Console(21);
  const TInstanceID b = Console(22);
  host_->Call("WWWReader_UpdatePage", {Variant(static_cast<int>(kReader))});
  const std::string page("the\0page!", 9);
  EXPECT_EQ(DataOf(a), std::vector<std::string>{page});
  EXPECT_EQ(DataOf(b), std::vector<std::string>{page});
  ASSERT_EQ(Debug().size(), 1u);
  EXPECT_EQ(Debug()[0].Name, "Retrieved: http://" + server.Address() + "/p");
  EXPECT_EQ(Debug()[0].Text, page);
}

TEST_F(WWWReaderTest, TimerRunsAtTheIntervalAndStopsWhenSwitchedOff) {
  TScriptedServer server(kPage);
  Store("URL", Variant("http://" + server.Address() + "/"));
  Store("TimerEnabled", Variant(true));
  Store("SecInterval", Variant(60));
  Create();
  const TInstanceID console = Console(21);
  EXPECT_EQ(Timer(), 60);
  EXPECT_EQ(host_->Summary(kReader), "60s - http://" + server.Address() + "/");
  host_->FireTimer(kReader, "UpdatePage");
  host_->FireTimer(kReader, "UpdatePage");
  EXPECT_EQ(DataOf(console).size(), 2u);
  Reader().SetUseTimer(false);
  Module().ApplyChanges();
  EXPECT_EQ(Timer(), 0);
  Reader().SetUseTimer(true);
  Reader().SetInterval(-5);
  Module().ApplyChanges();
  EXPECT_EQ(Timer(), 0);
}

TEST_F(WWWReaderTest, FormerIntervalInMinutesIsTakenOnceAndRemoved) {
  Store("Interval", Variant(5));
  Create();
  EXPECT_EQ(Reader().GetInterval(), 300);
  EXPECT_FALSE(host_->ReadSetting(kReader, {"Settings"}, "Interval"));
  host_->DeleteInstance(kReader);
  Store("Interval", Variant(100000000));
  Create();
  EXPECT_EQ(Reader().GetInterval(), std::numeric_limits<int32_t>::max());
}

TEST_F(WWWReaderTest, RetrievePageUsesProxyAndCredentialsButNotTheChildren) {
  TScriptedServer proxy(kPage);
  Store("UseProxy", Variant(true));
  Store("ProxyHost", Variant("127.0.0.1"));
  Store("ProxyPort", Variant(static_cast<int>(proxy.Port())));
  Store("ProxyUser", Variant("pu"));
  Store("ProxyPass", Variant("pp"));
  Store("UseBasicAuth", Variant(true));
  Store("AuthUser", Variant("au"));
  Store("AuthPass", Variant("ap"));
  Create();
  const TInstanceID console = Console(21);
  EXPECT_EQ(Reader().RetrievePage("http://other.example/x"), std::string("the\0page!", 9));
  EXPECT_TRUE(DataOf(console).empty());
  EXPECT_EQ(Debug().at(0).Name, "Retrieved: http://other.example/x");
  EXPECT_EQ(proxy.Requests().at(0),
            "GET http://other.example/x HTTP/1.1\r\nHost: other.example\r\nAccept: text/html, "
            "*/*\r\nAccept-Encoding: identity\r\nUser-Agent: KYT2/Win32\r\nAuthorization: Basic "
            "YXU6YXA=\r\nProxy-Authorization: Basic cHU6cHA=\r\n\r\n");

  // Without a proxy user no proxy credentials go out; and pending edits play no part.
  Reader().SetProxyUsername("");
  Module().ApplyChanges();
  Reader().SetUseProxy(false);
  Reader().RetrievePage("http://other.example/y");
  EXPECT_EQ(proxy.Requests().at(1).find("Proxy-Authorization"), std::string::npos);
}

TEST_F(WWWReaderTest, FailedFetchReachesTheCallerAndNoChild) {
  TScriptedServer server("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  Store("URL", Variant("http://" + server.Address() + "/"));
  Create();
  const TInstanceID console = Console(21);
  try {
    Reader().UpdatePage();
    FAIL();
  } catch (const EHTTPError& e) {
    EXPECT_STREQ(e.what(), "HTTP/1.1 404 Not Found");
  }
  EXPECT_TRUE(DataOf(console).empty());
  EXPECT_TRUE(Debug().empty());
}

TEST_F(WWWReaderTest, AFetchStartedDuringShutdownIsRefusedBeforeItConnects) {
  TScriptedServer server(kPage);
  Store("URL", Variant("http://" + server.Address() + "/"));
  Create();
  const TInstanceID console = Console(21);
  host_->SetRunlevel(KR_SHUTDOWN);
  try {
    Reader().UpdatePage();
    FAIL();
  } catch (const EKYTWWWReader& e) {
    EXPECT_STREQ(e.what(), "Aborting execution. Shutdown was initialized...");
  }
  EXPECT_TRUE(DataOf(console).empty());
  EXPECT_TRUE(Debug().empty());
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(WWWReaderTest, AShutdownEndsAFetchInProgressAtOnce) {
  TScriptedServer server([](const std::string&, int) {
    return TScriptedReply{"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nthe",
                          TScriptedReply::After::Stall};
  });
  Store("URL", Variant("http://" + server.Address() + "/"));
  Create();
  auto fetch = std::async(std::launch::async, [&] {
    try {
      Reader().UpdatePage();
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("fetched");
  });
  ASSERT_TRUE(test::WaitUntil([&] { return !server.Requests().empty(); }));
  host_->SetRunlevel(KR_SHUTDOWN);
  // Well inside the read time-out (10 s), which alone would end the fetch otherwise.
  ASSERT_EQ(fetch.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(fetch.get(), "Aborting execution. Shutdown was initialized...");
}

TEST_F(WWWReaderTest, DestructionStoresSettingsAndDropsTheTimer) {
  Create();
  Reader().SetInterval(42);
  Module().ApplyChanges();
  Reader().SetInterval(7);  // pending only: dropped
  host_->DeleteInstance(kReader);
  EXPECT_FALSE(Timer());
  EXPECT_EQ(host_->ReadSetting(kReader, {"Settings"}, "SecInterval")->AsInteger(), 42);
}

}  // namespace
}  // namespace kyt
