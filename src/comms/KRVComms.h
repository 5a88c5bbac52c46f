// TKRVComms is the communication engine of one device link: it owns the port object (a serial
// port or a TCP client connection, or a socket handed in by a TCP server), its two frame codecs
// (one decodes everything received, one encodes everything sent), its timers and its send queue.
//
// Theory of operation. A caller creates a TKuldendo (payload, expected answer, options, callbacks)
// and hands it over with SendWith. Admission either refuses it at once (result callback with an
// ErrorCode, nothing raised), writes it at once (psoDontQueue) or appends it to the queue. The
// queue timer (5 ms, 2 ms while the link is up) writes the head of the queue, one item per tick,
// and starts the wait timer with the try's answer time; when an exchange ends the next item goes
// on the loop's next turn instead of the next tick. Received bytes collect in RxBuffer; the
// processing timer (1 ms, or the next turn while an exchange waits) cuts and decodes frames, acknowledges them when asked and classifies
// each one against the exchange in flight: the answer or acknowledgement ends it, a negative
// acknowledgement repeats it, anything else is logged and, where it belongs to no exchange,
// delivered to OnReadEx/OnRead. When the wait timer fires the item is repeated (up to
// Max_tries_cmd transmissions) or finished with ecNoAnswer. While the link is down, queued items
// fail one by one on the queue time-out timer; the reconnect timer re-opens the link.
//
// Exchange state (TExchangeState): idle, plain timed wait, waiting for acknowledgement/answer, poll
// wait. Only the head of the queue is ever in flight.
//
// Invariants: every item ends in exactly one result callback (or is cancelled silently, or is
// dropped silently while the engine is being destroyed); the head is taken off the queue before
// its callback runs, so a callback may send again, cancel, or deactivate the engine; the receive
// path never runs twice at once (Processing) and the reconnect step does nothing while it runs.
// Link and device failures never raise; misuse (forbidden option pairs, ObjTag without OnResult,
// an unassigned engine) raises ECommsError with an English text ending in the packet's dump.
//
// Everything runs on the loop's thread; time comes only from the EventLoop.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "codec/KRVProtocol.h"
#include "comms/KRVErrorCodes.h"
#include "loop/EventLoop.h"
#include "loop/PortLink.h"
#include "loop/ServerSocket.h"

namespace vornik {

class TKRVComms;
class TKRVCommsBatch;
class TKuldendo;
class TNaplo;
class TNaploComponent;

/// Misuse of the engine or of an item (the texts name the class and end with the packet's dump).
class ECommsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A callback that remembers which method of which object it calls, so that the engine can find
/// it again ("the same method of the same object"). Built from (object, member function) it has
/// an identity; built from a lambda or free function it has none and matches only itself being
/// empty. Calling an empty one is the caller's job to avoid (test with operator bool).
template <typename Signature>
class TMethod;

template <typename R, typename... Args>
class TMethod<R(Args...)> {
 public:
  TMethod() = default;
  TMethod(std::nullptr_t) {}  // NOLINT: lets callers write `Item->OnResult = nullptr`
  template <typename F,
            typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TMethod> &&
                                        std::is_invocable_r_v<R, F&, Args...>>>
  TMethod(F Fn) : fn_(std::move(Fn)) {}  // NOLINT: lambdas convert implicitly
  template <typename C, typename M>
  TMethod(C* Object, M C::*Method)
      : fn_([Object, Method](Args... args) -> R { return (Object->*Method)(std::forward<Args>(args)...); }),
        object_(Object),
        type_(&typeid(C)) {
    static_assert(sizeof(Method) <= sizeof(method_), "member pointer too large");
    std::memcpy(method_.data(), &Method, sizeof(Method));
  }

  explicit operator bool() const { return static_cast<bool>(fn_); }
  R operator()(Args... args) const { return fn_(std::forward<Args>(args)...); }

  /// True when both call the same method of the same object (never for lambdas).
  bool SameMethod(const TMethod& Other) const {
    return object_ != nullptr && object_ == Other.object_ && type_ == Other.type_ && method_ == Other.method_;
  }
  const void* Object() const { return object_; }

 private:
  std::function<R(Args...)> fn_;
  const void* object_ = nullptr;
  const std::type_info* type_ = nullptr;
  std::array<unsigned char, 2 * sizeof(void*)> method_{};
};

/// Result of an exchange: Sender, answer payload S, ErrorCode, Tag, ObjTag.
using TOnResult = TMethod<void(TKRVComms* Sender, const std::string& S, uint16_t ErrorCode, int32_t Tag, int32_t ObjTag)>;
/// Tagged result: answer payload S, ErrorCode, Tag.
using TOnIncoming_tagged = TMethod<void(const std::string& S, uint16_t ErrorCode, int32_t Tag)>;
/// Called with the item just before its frame is written.
using TOnBeforeSend = TMethod<void(TKuldendo* Item, TKRVComms* Sender)>;
using TOnIncomingEx = std::function<void(TKRVComms* Sender, const std::string& S, uint16_t ErrorCode)>;
using TNotifyEvent = std::function<void(TKRVComms* Sender)>;
using TOnRawData = std::function<void(TKRVComms* Sender, const std::string& Data)>;
using TOnBeforeSendRawData = std::function<void(TKRVComms* Sender, std::string& Data)>;

/// Send options, in bit order (bit n of TKRVSendOptions = option n).
enum TKRVSendOption : uint8_t {
  psoKeepPckID = 0,         ///< send with the item's own CsomagSorszam
  psoForceAck = 1,          ///< request an acknowledgement even when an answer is expected
  psoDontAck = 2,           ///< do not request an acknowledgement
  psoForceWait = 3,         ///< wait the whole answer time even after the answer arrived
  psoWaitAfterAck = 4,      ///< a positive acknowledgement restarts the answer time
  psoDontWait = 5,          ///< finish with the write result right after writing
  psoAcked = 6,             ///< a positive acknowledgement arrived: no more repeats
  psoFirstInQueue = 7,      ///< insert at the head of the queue
  psoUseInfo = 8,           ///< send the item's Info as packet kind
  psoDontQueue = 9,         ///< write at once, bypassing the queue
  psoDontLog = 10,          ///< no packet log lines for this item
  psoNewIDOnRepeat = 11,    ///< new packet id per repeat (with irpUseParameter)
  psoUsePollTimeout = 12,   ///< answer time is Timeout_Poll
  psoLogAsPoll = 13,        ///< logged as poll traffic
  psoTaggedCallbacks = 14,  ///< report through OnAnswer/OnError instead of OnResult
  psoKeepItem = 15,         ///< the engine never frees this item
  psoBatchStart = 16,       ///< first packet of a batch session
  psoBatchEnd = 17,         ///< last packet of a batch session
  psoNoLineTimeout = 18,    ///< LineTimeout is not added to the answer time
  psoDisableBitmatrix = 19, ///< KRVW header bit Disable_bitmatrix
  psoAnyPckID = 20,         ///< accept any packet id
  psoCheckPckID = 21,       ///< check the packet id even with NoPckIDCheck
  psoNoASYER = 22,          ///< clear the KRVW header bit Enable_ASYER
  psoExactTimeout = 23,     ///< the answer time is the item's own Timeout times the try number
  psoEncodeKRV = 24,        ///< encode this item's frames as KRV
  psoEncodeKRVW = 25,       ///< encode this item's frames as KRVW (wins over psoEncodeKRV)
};

/// A set of TKRVSendOption held in 4 bytes.
class TKRVSendOptions {
 public:
  constexpr TKRVSendOptions() = default;
  constexpr TKRVSendOptions(std::initializer_list<TKRVSendOption> Options) {
    for (auto o : Options) bits_ |= Bit(o);
  }
  static constexpr TKRVSendOptions FromBits(uint32_t Bits) {
    TKRVSendOptions s;
    s.bits_ = Bits;
    return s;
  }
  constexpr bool Contains(TKRVSendOption O) const { return (bits_ & Bit(O)) != 0; }
  constexpr bool ContainsAll(TKRVSendOptions O) const { return (bits_ & O.bits_) == O.bits_; }
  constexpr void Include(TKRVSendOption O) { bits_ |= Bit(O); }
  constexpr void Include(std::initializer_list<TKRVSendOption> Options) {
    for (auto o : Options) bits_ |= Bit(o);
  }
  constexpr void Exclude(TKRVSendOption O) { bits_ &= ~Bit(O); }
  constexpr void Exclude(std::initializer_list<TKRVSendOption> Options) {
    for (auto o : Options) bits_ &= ~Bit(o);
  }
  constexpr uint32_t Bits() const { return bits_; }
  constexpr bool Empty() const { return bits_ == 0; }
  friend constexpr bool operator==(TKRVSendOptions A, TKRVSendOptions B) { return A.bits_ == B.bits_; }

 private:
  static constexpr uint32_t Bit(TKRVSendOption O) { return uint32_t{1} << static_cast<unsigned>(O); }
  uint32_t bits_ = 0;
};

/// Packet id of repeats.
enum class TIDOfRepeatedPackets : uint8_t { irpUseParameter, irpAlwaysIncrement, irpNeverIncrement };

/// What the engine is doing with the head of its queue. The values are those the packet log and
/// older callers know (0 idle … 3 poll wait).
enum TExchangeState : int32_t {
  esIdle = 0,        ///< nothing in flight
  esPlainWait = 1,   ///< a timed wait that ends without an answer (or with one held in Answer)
  esAnswerWait = 2,  ///< waiting for the acknowledgement or the answer
  esPollWait = 3,    ///< waiting for a poll answer
};

/// Why the last open failed.
enum class TOpenFailure : uint8_t { ofNone, ofInUse, ofNotExists, ofClosed };

/// One outgoing packet with its expected answer, options and callbacks. It belongs to its creator
/// until SendWith; then the engine (or the batch sender) owns it and deletes it after its one
/// result callback, unless it carries psoKeepItem. Create items with new.
class TKuldendo {
 public:
  explicit TKuldendo(std::string Pck = std::string(), uint32_t Cimzett = 0)
      : Pck(std::move(Pck)), Cimzett(Cimzett) {}

  std::string Answer;          ///< answer held while a forced wait runs on
  std::string Pck;             ///< payload, beginning with the command code
  std::string Ans;             ///< expected answer: "" none, "*" anything, else a prefix
  uint32_t Cimzett = 0;        ///< destination; 0 = the engine's KRVAddress (or 1)
  int32_t CsomagSorszam = 0;   ///< packet id 1..250
  int32_t Timeout = 0;         ///< ms; 0 = the engine's answer times
  TOnResult OnResult;
  TOnResult BatchOnResult;     ///< the caller's OnResult, kept by the batch sender
  TOnBeforeSend OnBeforeSend;
  bool BatchDelivered = false;
  int32_t BatchResends = 0;
  std::string BatchAnswer;
  std::string BatchAns;
  TKRVSendOptions BatchOptions;
  int32_t BatchTimeout = 0;
  int32_t Tag = 0;
  int32_t ObjTag = 0;          ///< non-zero requires OnResult
  TOnIncoming_tagged OnAnswer;
  TOnIncoming_tagged OnError;
  TInfo Info = TInfo::nem_kerek_nyugtat;
  TKRVSendOptions Options;

  /// Hands the item to the engine. Raises ECommsError when Comms is null (the item stays the
  /// caller's then).
  void SendWith(TKRVComms* Comms);
  /// Hands the item to the batch sender. Raises ECommsError when Batch is null.
  void SendWith(TKRVCommsBatch* Batch);
};

/// Registry side of a TCP server for devices that connect in: an engine in WsServerMode registers
/// with it on activation and unregisters on deactivation.
class TKRVServerRegistry {
 public:
  virtual ~TKRVServerRegistry() = default;
  virtual void RegisterComms(TKRVComms* Comms) = 0;
  virtual void UnregisterComms(TKRVComms* Comms) = 0;
};

/// Hungarian text of an ErrorCode ("Ismeretlen hiba." for unknown codes).
std::string ErrorCodeText(uint16_t Code);

/// Bytes of a KRVW frame carrying PayloadBytes (header, flag bytes, start, checksum and stop).
std::size_t KRVWFrameBytes(std::size_t PayloadBytes);

/// ms the engine's serial line needs for a KRVW frame carrying PayloadBytes (10 bits a byte,
/// rounded up); 0 on a TCP connection, which takes what is written at once.
int32_t SerialLineMs(const TKRVComms& Comms, std::size_t PayloadBytes);

class TKRVComms {
 public:
  TKRVComms(EventLoop& Loop, PortLinkFactory& Links);
  ~TKRVComms();
  TKRVComms(const TKRVComms&) = delete;
  TKRVComms& operator=(const TKRVComms&) = delete;

  // ---- Link settings -------------------------------------------------------------------------
  std::string Host;                       ///< empty = serial link, else the TCP host
  int32_t Port = 1;                       ///< COM number or TCP port
  int32_t Baud = 115200;
  bool WsServerMode = false;              ///< the link is a socket handed in by KRVTCPServer
  TKRVServerRegistry* KRVTCPServer = nullptr;
  int32_t ApdOutSize = 4096;              ///< bytes; the port's default at construction, applied on open
  bool SlowWriteMode = false;
  int32_t SlowWrRate = 25;                ///< ms between slow-write chunks
  int32_t SlowWrPufferSize = 4096;        ///< bytes
  int32_t ConnectionCheckRate = 60;       ///< s of idle time before the TCP keep-alive byte; <= 0 never
  int32_t TryToConnectInterval = 0;       ///< ms until the first reconnect step (set at construction)
  bool QuickReconnect = false;
  uint32_t IncomingDataCount = 0;         ///< bytes (counted by the TCP server for its engine)
  uint32_t OutgoingDataCount = 0;         ///< bytes written, keep-alive bytes included
  std::string Description;                ///< first three characters prefix every packet line
  bool DebugMode = false;

  // ---- Send queue settings -----------------------------------------------------------------
  uint32_t KRVAddress = 0;                ///< default destination; non-zero = single-device delivery
  int32_t PufferSize = 500;               ///< the queue holds fewer items than this
  TIDOfRepeatedPackets IDOfRepeatedPackets = TIDOfRepeatedPackets::irpUseParameter;
  bool Enable_ASYER = true;
  int32_t Max_tries_send = 2;             ///< stored only
  int32_t Send_tries_timeout = 2500;      ///< stored only
  bool Safe_send = true;                  ///< stored only

  // ---- Receive settings --------------------------------------------------------------------
  bool Nyugtazas = true;                  ///< acknowledge frames that ask for it
  bool Nyugtat_is_jelezze = true;         ///< report a bare positive acknowledgement as "CSYAC"
  bool BroadcastVetele = true;            ///< frames to 255 or 0 are for the PC too
  bool MindenVetele = false;              ///< every frame is for the PC
  bool Can_address_everyone = false;      ///< deliver unsolicited packets from any sender
  bool NoPckIDCheck = false;
  bool LoosePckIDCheck = false;
  bool AutoAnswer = false;
  std::string AutoAnswerCmd = "c";
  std::string AutoAnswerAns = "a";
  bool HXL_to_KRV = false;                ///< the link carries text lines instead of frames
  bool DontLogPcksFromPc = false;
  bool Log_All_Packages = false;
  double LastPckTime = 0;                 ///< date-time of the last valid frame from KRVAddress

  // ---- Waiting settings --------------------------------------------------------------------
  int32_t Timeout_1 = 110;                ///< ms, first try
  int32_t Timeout_2 = 160;                ///< ms, second try
  int32_t Timeout_3 = 230;                ///< ms, third and later tries; queue time-out floor
  int32_t LineTimeout = 0;                ///< ms added to every wait
  int32_t Max_tries_cmd = 3;
  int32_t Timeout_Poll = 100;             ///< ms
  bool BatchMode = false;                 ///< items wait exactly their own time
  bool Half_Duplex_Mode = false;
  int32_t Switch_Direction_Time = 5;      ///< ms
  bool Pollingolo = false;                ///< poll cycle settings (stored; the cycle is not built)
  int32_t PollTimerInterval = 2000;
  std::string PollCmd = "c";
  std::string PollAns = "a";
  int32_t Max_tries_poll = 1;
  TNotifyEvent OnPollError;
  bool NotifyClientsOnConnect = true;
  bool NotifyClientsOnLog = true;
  bool FindClientsByKRVWAddr = false;

  // ---- Logging switches --------------------------------------------------------------------
  bool Log_Raw_Data = false;
  bool Log_Printable_Raw = false;
  bool Poll_Log = false;

  // ---- Events --------------------------------------------------------------------------------
  TNotifyEvent OnConnect;
  TNotifyEvent OnDisConnect;
  TNotifyEvent OnTCPError;
  TOnRawData OnRawData;
  TOnBeforeSendRawData OnBeforeSendRawData;
  TOnIncomingEx OnReadEx;
  TOnIncoming_tagged OnRead;

  // ---- Operations ----------------------------------------------------------------------------
  virtual void SetActive(bool Value);
  bool Active() const { return active_; }
  bool IsConnected() const;
  /// The reconnect timer's step (also run once by SetActive(true)).
  virtual void TryToConnect();

  TKRVMode KRVMode() const { return decoder_.KRVMode; }
  void SetKRVMode(TKRVMode Mode);

  TNaploComponent* NaploKomponens() const { return naploKomponens_; }
  void SetNaploKomponens(TNaploComponent* Component);

  /// Engine's send entry (TKuldendo::SendWith calls it). Takes ownership of Item.
  void Send(TKuldendo* Item);
  void SendPacket(const std::string& Pck, uint32_t Cimzett, bool NewIDOnRepeat, int32_t Timeout, int32_t Tag,
                  TOnIncoming_tagged OnError, TOnIncoming_tagged OnAnswer, const std::string& Ans);
  void SendNoWait(const std::string& Pck, uint32_t Cimzett, int32_t Tag, TOnIncoming_tagged OnDone);
  void ClearQueue(int32_t Cimzett);
  void CancelCallbacks(const TOnIncoming_tagged& Callback);
  void CancelOnResult(const TOnResult& Handler);

  /// Plain log message of the given kind (kinds 6 and 7 are written once until another kind).
  void LogMsg(const std::string& Msg, int32_t Kind);

  // ---- Entries of a TCP server (WsServerMode) ------------------------------------------------
  void TCPClientConnected(TKRVServerRegistry* Server, ServerConnection* Socket);
  void TCPDataArrived(TKRVServerRegistry* Server, std::string_view Data);
  void TCPClientDisconnected(TKRVServerRegistry* Server);
  ServerConnection* ServerSocket() const { return serverSocket_; }

  // ---- State, read-only ------------------------------------------------------------------------
  bool LinkUp() const { return linkUp_; }
  bool Connecting() const { return connecting_; }
  TOpenFailure OpenFailure() const { return openFailure_; }
  const std::string& RxBuffer() const { return rxBuffer_; }
  const std::string& LastChunk() const { return lastChunk_; }
  std::size_t SlowBufferSize() const { return slowBuffer_.size(); }
  bool Processing() const { return processing_; }
  TExchangeState State() const { return state_; }
  int32_t TryNo() const { return tryNo_; }
  std::size_t QueueCount() const { return queue_.size(); }
  const TKuldendo* Head() const { return queue_.empty() ? nullptr : queue_.front(); }
  int32_t LastSentSeq() const { return lastSentSeq_; }
  int32_t LastRxSeq() const { return lastRxSeq_; }
  int32_t QuickSeq() const { return quickSeq_; }
  int64_t LastDest() const { return lastDest_; }
  /// KRVAddress as it was when the engine was last activated (single-device mode when non-zero).
  uint32_t KRVAddressAtActivation() const { return krvAddressAtActivation_; }
  PortLink& Link() { return *port_; }
  /// The wait timer's current interval (the answer time of the try in flight).
  int WaitInterval() const { return waitTimer_->interval(); }
  bool Waiting() const { return waitTimer_->isActive(); }

  // ---- The line model ------------------------------------------------------------------------
  // On a serial line every written byte takes 10 bits' time; the engine keeps when the line will
  // be free again (bytes written x 10 / Baud since it was last idle). Senders that do not wait for
  // answers (the batch sender, the turbo modes) pace themselves by it: the next packet goes while
  // the port still holds the previous one, so the line never idles and the port never overflows.

  /// True for a serial link (no Host, not a server socket, a baud rate above 0).
  bool IsSerialLine() const;
  /// ms the line needs for what is written but not yet sent (the model, or what the port
  /// reports when it reports more); 0 on TCP.
  double LineBacklogMs() const;
  /// The pause after handing over a KRVW frame of PayloadBytes now, so that the next one of that
  /// size finds the port holding less than one frame (never more than ApdOutSize with it); at
  /// least 1 on a serial line, 0 on TCP.
  int32_t LinePaceMs(std::size_t PayloadBytes) const;

  /// Re-seeds the random choices (packet id start values, reconnect interval) for repeatable runs.
  void SeedRandom(uint32_t Seed);

  /// Answer time of the head item for the current try, in ms (LineTimeout included).
  int AnswerTime(const TKuldendo& H) const;

  /// The packet log line as it is written (without the writer's time stamp).
  std::string FormatPacketLine(std::string_view Tag, int32_t Kind, std::string_view Payload, int64_t SentAt,
                               int64_t Src, int64_t Dst, int64_t Seq) const;

  static constexpr int64_t kNone = -1;  ///< "no time" / "no address" in packet log lines

 private:
  // Link layer.
  void Connected();
  void Disconnected();
  void CommError(int Code);
  /// Runs the receive path on what RxBuffer holds before a lost link clears it.
  void ProcessBeforeLoss();
  void ReadData(std::string_view Bytes);
  void ReceivedChunk();
  uint16_t RawWrite(const std::string& Frame, bool Direct);
  void SlowWriteStep();
  void KeepAlive();
  bool IsTcpLink() const;
  int RandomReconnectInterval();

  // Send queue.
  void Refuse(TKuldendo* Item, uint16_t Code, const char* Tag);
  void ReportAndFree(TKuldendo* Item, uint16_t Code);
  void CheckOptions(TKuldendo* Item);
  void SendQuick(TKuldendo* Item);
  void OnTimerSendPackages();
  TInfo InfoToSend(const TKuldendo& Item) const;
  uint16_t WriteFrame(const std::string& Data, TInfo Info, uint32_t Dest, int32_t Seq, bool DisableBitmatrix,
                      bool NoASYER, int Format, bool Quick = false);
  static int ForcedFormat(const TKuldendo& Item);
  void FinishItem(uint16_t ErrorCode, std::string S, bool IsAck);
  template <typename Match>
  void CancelMatching(Match&& Matches);
  void FreeItem(TKuldendo* Item);
  /// The exchange ended: the next queued item goes on the loop's next turn.
  void SendNextAtOnce();
  void NoteWritten(std::size_t Bytes);
  bool NewIdForRepeat(const TKuldendo& H) const;
  /// Whether H is still the head of an active engine's queue (callbacks may have changed it).
  bool HeadIs(const TKuldendo* H) const { return active_ && !queue_.empty() && queue_.front() == H; }

  // Receive path.
  void OnPckProcessing();
  void FramePath();
  void ProcessFrame(const std::string& Frame);
  void TextPath();
  void DeliverChannelLine(const std::string& Line);
  void DeliverListLine(const std::string& Line);
  void Deliver(uint32_t Src, std::string Payload, TInfo Info, int32_t Seq);

  // Waiting.
  void Waiting_over();
  void OnQueueTimedOut();
  void RestartWait(int Interval);

  // Log.
  void LogPacket(std::string_view Tag, int32_t Kind, bool Log, std::string_view Payload, int64_t SentAt,
                 int64_t Src, int64_t Dst, int64_t Seq);
  void DebugLine(const char* Line);
  TNaplo* Writer() const;

  EventLoop& loop_;
  std::unique_ptr<PortLink> port_;
  TKRVProtocol decoder_;
  TKRVProtocol encoder_;
  std::deque<TKuldendo*> queue_;
  std::unique_ptr<Timer> queueTimer_, waitTimer_, queueTimeoutTimer_, reconnectTimer_, processingTimer_,
      slowWriteTimer_, pollTimer_;
  std::mt19937 rng_;
  TNaploComponent* naploKomponens_ = nullptr;

  bool active_ = false;
  bool linkUp_ = false;
  bool connecting_ = false;
  bool processing_ = false;
  bool destroying_ = false;
  bool deactivating_ = false;  ///< SetActive(false) is finishing the queue
  TOpenFailure openFailure_ = TOpenFailure::ofNone;
  std::string rxBuffer_;
  std::string lastChunk_;
  std::string slowBuffer_;
  int64_t lastActivity_ = 0;
  int64_t lastRxTime_ = 0;
  int64_t lastSendTime_ = kNone;
  int64_t lineFreeAtUs_ = 0;  ///< µs of the loop's clock when the serial line is idle again
  ServerConnection* serverSocket_ = nullptr;
  uint32_t krvAddressAtActivation_ = 0;
  uint64_t linkLosses_ = 0;  ///< Disconnected/CommError handlings so far (re-entry check)

  TExchangeState state_ = esIdle;
  int32_t tryNo_ = 0;
  int32_t lastSentSeq_ = 1;
  int32_t lastRxSeq_ = 1;
  int32_t quickSeq_ = 0;
  int64_t lastDest_ = -1;
  bool lastDestKRV_ = false;    ///< the frame to lastDest_ went out as KRV (8-bit address)
  int32_t lastRxFrameSeq_ = 0;  ///< packet id of the frame being processed (AutoAnswer)

  int32_t lastLogKind_ = -1;  ///< de-duplication of kinds 6 and 7
};

}  // namespace vornik
