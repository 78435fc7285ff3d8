#include "tests/network/http_test_server.h"

#include <array>

namespace kyt::test {

namespace {
constexpr auto kIdleLimit = std::chrono::seconds(10);
}

TScriptedServer::TScriptedServer(THandler handler, const std::string& address)
    : handler_(std::move(handler)), address_(address), listener_(net::Listen(0, address)) {
  port_ = net::LocalPort(listener_);
  thread_ = std::thread([this] { Run(); });
}

TScriptedServer::TScriptedServer(const std::string& reply)
    : TScriptedServer([reply](const std::string&, int) { return TScriptedReply{reply}; }) {}

TScriptedServer::~TScriptedServer() {
  stop_.Raise();
  thread_.join();
}

std::vector<std::string> TScriptedServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void TScriptedServer::Run() {
  while (!stop_.Raised()) {
    net::Socket connection = net::Accept(listener_, net::kNoTimeout, &stop_);
    if (!connection)
      return;
    ++connections_;
    try {
      Serve(connection);
    } catch (const std::exception&) {
      // The client went away; the next one is served.
    }
  }
}

bool TScriptedServer::ReadRequest(net::Socket& connection, std::string& pending,
                                  std::string& head) {
  std::array<char, 4096> chunk{};
  for (;;) {
    const std::size_t end = pending.find("\r\n\r\n");
    if (end != std::string::npos) {
      head = pending.substr(0, end + 4);
      pending.erase(0, end + 4);
      return true;
    }
    if (net::WaitReadable(connection, kIdleLimit, &stop_) != net::WaitResult::Ready)
      return false;
    const std::size_t count = net::Receive(connection, chunk);
    if (count == 0)
      return false;
    pending.append(chunk.data(), count);
  }
}

void TScriptedServer::Serve(net::Socket& connection) {
  std::string pending;
  std::string head;
  while (ReadRequest(connection, pending, head)) {
    int index = 0;
    {
      std::lock_guard lock(mutex_);
      index = static_cast<int>(requests_.size());
      requests_.push_back(head);
    }
    const TScriptedReply reply = handler_(head, index);
    if (reply.Pace.count() > 0) {
      for (const char byte : reply.Bytes) {
        if (stop_.Raised())
          return;
        net::SendAll(connection, std::span<const char>(&byte, 1));
        std::this_thread::sleep_for(reply.Pace);
      }
    } else {
      net::SendAll(connection, reply.Bytes);
    }
    if (reply.Then == TScriptedReply::After::Close)
      return;
    if (reply.Then == TScriptedReply::After::Stall) {
      // Holds the connection without a further byte until the test ends.
      net::WaitReadable(connection, kIdleLimit, &stop_);
      return;
    }
  }
}

}  // namespace kyt::test
