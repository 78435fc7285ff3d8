#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/module_object.h"
#include "host/telnet_reader.h"

namespace kyt::host {

// RFC 2217 commands (client to server; the server answers with the code + 100).
namespace cpc {
constexpr uint8_t SIGNATURE = 0, SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3,
                  SET_STOPSIZE = 4, SET_CONTROL = 5, NOTIFY_LINESTATE = 6, NOTIFY_MODEMSTATE = 7,
                  FLOWCONTROL_SUSPEND = 8, FLOWCONTROL_RESUME = 9, SET_LINESTATE_MASK = 10,
                  SET_MODEMSTATE_MASK = 11, PURGE_DATA = 12;
constexpr uint8_t kServerOffset = 100;
}  // namespace cpc

// A Telnet Com Port Control server (RFC 2217) below a Server Socket, for the serial instance
// named by Target (a COMPort, FTDI or USBXp). What a client sends reaches the target as data;
// its option negotiations and COM-PORT-OPTION commands are answered per client, the commands
// carried out through the target's own properties and ApplyChanges. What the target receives
// reaches this child through IKYTSendData (a Bridge below the target aimed here) and goes to
// every client, with IAC doubled for the clients that speak Telnet.
//
// Several clients: the first one that changes the line (baud rate, framing, control lines,
// purges) holds it until it disconnects; the others' changes are answered with the values in
// force, and their queries as anyone's.
class TKYTComPortControl : public TKYTModuleObject,
                           public virtual IKYTReceiveData,
                           public virtual IKYTSendData {
 public:
  using Interfaces = TInterfaceList<IKYTReceiveData, IKYTSendData>;
  static const TKYTModuleClass Class;
  static constexpr const char* kSignature = "VidiridAZ kyt-host ComPortControl";
  // What a client whose output is suspended may have held back for it.
  static constexpr std::size_t kMaxHeld = 64 * 1024;
  // Problems of one client that are logged; after that one line says the rest are not.
  static constexpr int kMaxLoggedProblems = 20;

  TKYTComPortControl(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TKYTComPortControl() override;

  // One client's block, from the Server Socket above (which tells whose it is).
  void ReceiveData(const std::string& Data) override;
  // The target's bytes, for every client.
  void SendData(const std::string& Data) override;

  void ApplyChanges() override;
  void ResetChanges() override;

  // The "Poll" timer's tick: reads the modem inputs and line errors and notifies the clients
  // whose masks ask for a change.
  void PollLineState();

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }

 private:
  struct TClient;
  struct TLineRequest;
  struct TTarget;

  TRef<IKYTServerClients> Server() const;
  TTarget Target() const;
  std::shared_ptr<TClient> ClientFor(uint32_t id, IKYTServerClients& server);
  void Negotiate(TClient& client, uint8_t command, uint8_t option, std::string& answers);
  void ComPortCommand(uint32_t id, TClient& client, const std::string& payload,
                      const TTarget& target, IKYTServerClients& server,
                      std::vector<TLineRequest>& line, std::string& answers);
  bool MayChange(uint32_t id, TClient& client, IKYTServerClients& server, const char* what);
  void Control(uint32_t id, TClient& client, uint8_t value, const TTarget& target,
               IKYTServerClients& server, std::string& answers);
  void ApplyLine(uint32_t id, const TTarget& target, std::vector<TLineRequest>& line,
                 std::string& answers);
  std::string ModemNotice(uint8_t mask) const;
  void Problem(uint32_t id, TClient& client, const std::string& text);

  TSettingsPair<int32_t> target_;
  std::atomic<int32_t> appliedTarget_{0};
  TTimerID pollTimer_ = 0;

  // One client's block at a time, from its first byte through to the answers. Never taken by
  // SendData, which the target's receive path calls while an apply of the target may wait.
  std::mutex commandMutex_;
  uint32_t controller_ = 0;  // the client holding the line (commandMutex_)
  bool breakOn_ = false;     // (commandMutex_)

  // The client table; held only briefly, and while calling another instance only for the
  // Server Socket's list of clients (a lock that never waits for this one).
  std::mutex clientsMutex_;
  std::map<uint32_t, std::shared_ptr<TClient>> clients_;
  uint8_t lastModem_ = 0;  // (clientsMutex_)
};

}  // namespace kyt::host
