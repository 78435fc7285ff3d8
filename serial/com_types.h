#pragma once

// The serial device's enumerations and settings records. Ordinals are positions from 0, as
// stored settings and the text tables of the module use them.

#include <cstdint>
#include <initializer_list>

namespace kyt {

enum class TBaudRate {
  brCustom,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum class TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum class TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum class TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum class TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum class TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum class TComEvent {
  evRxChar,
  evTxEmpty,
  evRxFlag,
  evRing,
  evBreak,
  evCTS,
  evDSR,
  evError,
  evRLSD,
  evRx80Full
};
enum class TComError { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
enum class TSyncMethod { smThreadSync, smWindowSync, smNone };

// A set of enumeration values, one bit per ordinal.
template <class E>
class TEnumSet {
 public:
  constexpr TEnumSet() = default;
  constexpr TEnumSet(std::initializer_list<E> values) {
    for (E v : values) Include(v);
  }
  constexpr void Include(E v) { bits_ |= Bit(v); }
  constexpr bool Contains(E v) const { return (bits_ & Bit(v)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint32_t Bits() const { return bits_; }
  constexpr bool operator==(const TEnumSet&) const = default;

 private:
  static constexpr uint32_t Bit(E v) { return uint32_t{1} << static_cast<unsigned>(v); }
  uint32_t bits_ = 0;
};

using TComEvents = TEnumSet<TComEvent>;
using TComErrors = TEnumSet<TComError>;

inline constexpr TComEvents kAllComEvents = {
    TComEvent::evRxChar, TComEvent::evTxEmpty, TComEvent::evRxFlag, TComEvent::evRing,
    TComEvent::evBreak,  TComEvent::evCTS,     TComEvent::evDSR,    TComEvent::evError,
    TComEvent::evRLSD,   TComEvent::evRx80Full};

// The number in the name; brCustom has none (0).
int32_t BaudRateValue(TBaudRate Rate);

struct TComParity {
  TParityBits Bits = TParityBits::prNone;
  bool Check = false;
  bool Replace = false;
  char ReplaceChar = 0;
};

struct TComFlowControl {
  bool OutCTSFlow = false;
  bool OutDSRFlow = false;
  TDTRFlowControl ControlDTR = TDTRFlowControl::dtrDisable;
  TRTSFlowControl ControlRTS = TRTSFlowControl::rtsDisable;
  bool XonXoffOut = false;
  bool XonXoffIn = false;
  bool DSRSensitivity = false;
  bool TxContinueOnXoff = false;
  char XonChar = 0x11;
  char XoffChar = 0x13;
};

struct TComBuffer {
  int32_t InputSize = 1024;
  int32_t OutputSize = 1024;
};

// Milliseconds; -1 stands for "no interval limit" (MAXDWORD).
struct TComTimeouts {
  int32_t ReadInterval = -1;
  int32_t ReadTotalMultiplier = 0;
  int32_t ReadTotalConstant = 0;
  int32_t WriteTotalMultiplier = 100;
  int32_t WriteTotalConstant = 1000;
};

}  // namespace kyt
