// One device as a headless run talks to it (vornik-tool's verbs, every device of a fleet or a
// listen run): the log, the engine with the window's shipped settings and the DEBUG/BATCH
// settings on top, the firmware uploader and the flash reader/writer bound to it, and the link to
// one TCP address, one serial device path or a connection the device opened itself. It runs on
// any EventLoop with the links its platform gives (TSessionPlatform), so the same runs go on Qt's
// loop in the product and on the virtual clock in tests.
//
// Open() activates the engine and reports once whether the link came up: a serial port opens at
// once, a TCP connection reports through the engine's connect or error event, and one that
// neither connects nor fails within kConnectTimeoutMs counts as not opened. Everything after that
// goes through the engine's own results.
//
// DeviceAnswered() tells "the device never answered" from "the device answered, then something
// went wrong": every chunk the engine receives is also cut into frames by a codec of the session,
// and the first frame that decodes cleanly and does not come from the PC sets it. Garbage that
// never decodes therefore counts as no answer.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "codec/KRVProtocol.h"
#include "comms/KRVComms.h"
#include "logging/uNaploComponent.h"
#include "loop/EventLoop.h"
#include "loop/PortLink.h"
#include "procedures/uFirmwareUploader.h"
#include "procedures/uFlashReaderWriter.h"

namespace vornik {

class TIniFile;

/// How a headless run ends, as the exit code of the program that ran it: success, failed after
/// the device had answered, bad usage or an unusable input (found before any link is opened), no
/// link or no answer.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoLink = 3;

/// Where a device is: TCP host and port, or a serial device path and baud rate; its address.
struct TConnection {
  bool Serial = false;
  std::string Host;  ///< TCP
  int Port = 0;      ///< TCP port
  std::string Path;  ///< serial device path
  int Baud = 115200;
  uint32_t Address = 255;

  /// "127.0.0.1:1001", "[::1]:1001" or "/dev/ttyUSB0@115200", for messages.
  std::string Target() const;
};

/// "127.0.0.1:1001", "[::1]:1001".
std::string HostPortText(const std::string& Host, int Port);

/// What the sessions of a process get from the platform.
struct TSessionPlatform {
  EventLoop* Loop = nullptr;
  /// The link factory of one session: its serial device is opened under COM number ComNumber;
  /// lines worth logging about the port (a slow USB adapter) go to Log.
  std::function<std::unique_ptr<PortLinkFactory>(const TConnection& Connection, int ComNumber, TNaploComponent& Log)>
      MakeLinks;
  /// What to add to the no-link text of a serial device this user may not open ("" when
  /// nothing is known against it).
  std::function<std::string(const std::string& Path)> SerialHint;
};

/// Runs functions from the loop soon after the current event (a 0 ms timer), in the order
/// posted. Whatever is still pending when the object goes is dropped.
class TPosted {
 public:
  explicit TPosted(EventLoop& Loop);
  void Post(std::function<void()> Fn);

 private:
  std::unique_ptr<Timer> timer_;
  std::deque<std::function<void()>> pending_;
};

class TDeviceSession {
 public:
  static constexpr int kConnectTimeoutMs = 5000;

  /// ComNumber: the COM number under which the serial path is opened (distinct per session of a
  /// process). LogFile empty: no log.
  TDeviceSession(const TSessionPlatform& Platform, const TConnection& Connection, TIniFile& Settings,
                 const std::string& LogFile, int ComNumber = 1);
  ~TDeviceSession();
  TDeviceSession(const TDeviceSession&) = delete;
  TDeviceSession& operator=(const TDeviceSession&) = delete;

  /// Activates the engine; Done(true) once the link is up, Done(false) when it cannot be opened
  /// (the engine is then inactive again). Done runs from the loop, never inside Open.
  void Open(std::function<void(bool Up)> Done);
  /// Deactivates the engine (queued items end with ErrorCode 6); does nothing while KeepOpen.
  void Close();
  /// The link stays open over Close() (devices on one bus that are updated one after another);
  /// the destructor still closes it.
  bool KeepOpen = false;
  /// The next device on the same line: its address and log file, the answer tracking begun
  /// afresh. A different baud rate closes the link, which the next Open() opens at the new rate.
  void Retarget(const TConnection& Connection, const std::string& LogFile);
  /// The link is a connection the device opened to Server: the engine runs in server mode and
  /// is handed the device's socket by the server once activated (Open).
  void UseServer(TKRVServerRegistry& Server);
  bool DeviceAnswered() const { return answered_; }
  /// Sender address of the last clean frame whose payload begins with Code (TrackAnswers only).
  std::optional<uint32_t> AnswerSender() const { return answerSender_; }
  /// Forgets the sender of the last answer (before the next request of a scan).
  void ForgetAnswerSender() { answerSender_.reset(); }
  /// Keep decoding after the first answer, remembering senders of frames that begin with Code.
  void TrackAnswers(std::string Code) { trackCode_ = std::move(Code); }
  const TConnection& Connection() const { return connection_; }
  /// The one-line text of a link that could not be opened, with the permission hint of a serial
  /// device this user may not open.
  std::string LinkFailureText() const;
  EventLoop& Loop() const { return loop_; }
  /// Runs Fn from the loop after the current event; dropped when the session goes first.
  void Post(std::function<void()> Fn) { posted_.Post(std::move(Fn)); }

  TNaploComponent Naplo;

 private:
  std::unique_ptr<PortLinkFactory> links_;

 public:
  TKRVComms Comms;
  TFirmwareUploader Uploader;
  TFlashReaderWriter Flash;

 private:
  void Watch(const std::string& Chunk);
  void Opened(bool Up);

  EventLoop& loop_;
  std::function<std::string(const std::string&)> serialHint_;
  TConnection connection_;
  std::unique_ptr<Timer> connectTimer_;
  std::function<void(bool)> openDone_;
  TKRVProtocol watcher_;
  std::string watchBuffer_;
  bool answered_ = false;
  std::string trackCode_;
  std::optional<uint32_t> answerSender_;
  TPosted posted_;  ///< last: pending calls go before anything they could touch
};

}  // namespace vornik
