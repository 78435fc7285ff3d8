// The WWW Reader in the built plug-in, run by kyt-host against a local server.

#include <gtest/gtest.h>

#include <csignal>

#include "tests/network/http_test_server.h"
#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

using host::TJson;
constexpr auto kLimit = std::chrono::seconds(30);

TEST(WWWReaderEndToEndTest, TimerFeedsTheConsoleAndScriptsRetrieveAnyPage) {
  test::TScriptedServer server([](const std::string& request, int) {
    const std::string body = request.starts_with("GET /other ") ? "other page" : "timed \x01page";
    return test::TScriptedReply{
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body};
  });
  TTempDir dir;
  const std::string config =
      dir.Write("config.json", R"({"instances": [
      {"id": 10, "module": "WWWReader", "settings": {"URL": "http://)" +
                                   server.Address() +
                                   R"(/page", "TimerEnabled": true, "SecInterval": 1}},
      {"id": 11, "module": "Console", "parent": 10}]})");
  TKytHost process({"run", config});
  EXPECT_TRUE(process.WaitForEvent("data", [](const TJson& e) {
    return e["instance"] == 11 && e["hex"] == "74696d6564200170616765";
  })) << process.Stderr();

  process.SendCall("WWWReader_RetrievePage",
                   TJson::array({10, "http://" + server.Address() + "/other"}));
  EXPECT_TRUE(process.WaitForEvent("result", [](const TJson& e) {
    return e["call"] == "WWWReader_RetrievePage" && e["value"] == "other page";
  })) << process.Stderr();
  process.SendCall("WWWReader_RetrievePage",
                   TJson::array({10, "https://" + server.Address() + "/"}));
  EXPECT_TRUE(process.WaitForEvent("error", [](const TJson& e) {
    return e["call"] == "WWWReader_RetrievePage" && e["message"] == "IOHandler value is not valid";
  })) << process.Stderr();

  process.Signal(SIGTERM);
  ASSERT_EQ(process.Wait(kLimit), 0) << process.Stderr();
}

}  // namespace
}  // namespace kyt::test_support
