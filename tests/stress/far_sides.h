#pragma once

// What the instance stress test needs to know of each module: how to configure it, which
// setting an apply changes, how to send through it, and the far side of its channel (a pty, a
// loopback peer, a fake device, a local web server) that feeds it records and collects what it
// sends.

#include <memory>
#include <string>
#include <vector>

#include "framework/interfaces.h"
#include "host/reference_host.h"

namespace kyt::test {

// Records carry an increasing number in a fixed number of digits, so a lost, doubled, swapped or
// torn record shows. The far side numbers its records from kIncoming on, the sender below it,
// so what a Bridge echoes back stays apart from what was sent.
inline constexpr int kIncoming = 50000000;
std::string Record(int number, int digits = 8);
// A record on a byte stream, newline-ended, with two check letters: where a close purged a
// stream between the head of one record and the tail of a later one, the joint can have a
// record's length and digits only, and its letters give it away.
std::string Line(int number);
std::string CheckOf(const std::string& digits);

class TFarSide {
 public:
  virtual ~TFarSide() = default;
  virtual std::string Module() const = 0;
  // The instance's timer that a tick fires; empty for modules without one.
  virtual std::string Tick() const { return "Reconnect"; }
  // Stores the instance's settings before it is created.
  virtual void Configure(host::TReferenceHost& host, TInstanceID id) = 0;
  // Edits a setting for the next apply.
  virtual void Change(IKYTModule& unit, int round) = 0;
  virtual void Send(IKYTModule& unit, int number) = 0;
  // The far side's turn: a record comes in, or the device goes or comes back; and what the
  // instance sent is collected.
  virtual void Disturb(IKYTModule& unit, int round) = 0;
  // Collects what the instance sent, without disturbing it.
  virtual void Collect() {}
  // The records that reached the far side, and those the children received (from the blocks
  // they got, in order).
  virtual std::vector<std::string> SentRecords() = 0;
  virtual std::vector<std::string> ReceivedRecords(const std::vector<std::string>& blocks);
  // Digits per record in each direction.
  virtual int SentDigits() const { return 8; }
  // Whether a Bridge child can send what the instance receives straight back (the answer on
  // the receive path that an apply joining the channel's worker must let through).
  virtual bool Echoes() const { return true; }
};

// Splits a byte stream into its newline-ended records; an unfinished tail is left out.
std::vector<std::string> Lines(const std::string& stream);

std::unique_ptr<TFarSide> SerialPortFarSide();
std::unique_ptr<TFarSide> ClientSocketFarSide();
std::unique_ptr<TFarSide> ServerSocketFarSide();
std::unique_ptr<TFarSide> FTDIFarSide();
std::unique_ptr<TFarSide> USBXpFarSide();
std::unique_ptr<TFarSide> HIDFarSide();
std::unique_ptr<TFarSide> WWWReaderFarSide();

}  // namespace kyt::test
