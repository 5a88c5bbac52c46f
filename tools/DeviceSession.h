// One device as vornik-tool talks to it: the log, the engine with the window's shipped settings
// and the DEBUG/BATCH settings on top, the firmware uploader and the flash reader/writer bound to
// it, and the link to one TCP address or one serial device path. The verbs and every device of a
// fleet each get one session; all sessions of a process share the Qt event loop.
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

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/CreateMissingValuesIni.h"
#include "codec/KRVProtocol.h"
#include "comms/KRVComms.h"
#include "logging/uNaploComponent.h"
#include "platform/qt/QtPortLink.h"
#include "procedures/uFirmwareUploader.h"
#include "procedures/uFlashReaderWriter.h"

namespace vornik {

/// The settings of a fresh settings file: every key reads as its default, nothing is read or
/// written.
class TDefaultSettings final : public TIniFile {
 public:
  TDefaultSettings() : TIniFile(std::string()) {}
  std::string ReadString(std::string_view, std::string_view, std::string_view Default) override {
    return std::string(Default);
  }
  int32_t ReadInteger(std::string_view, std::string_view, int32_t Default) override { return Default; }
};

/// The settings for --settings FILE (read only) when Given, otherwise the defaults of a fresh file.
/// The error text when the file cannot be read.
std::optional<std::string> OpenSettings(bool Given, const std::string& Name, std::unique_ptr<TIniFile>& Settings);

/// Where a device is: TCP host and port, or a serial device path and baud rate; its address.
struct TConnection {
  bool Serial = false;
  std::string Host;  ///< TCP
  int Port = 0;      ///< TCP port
  std::string Path;  ///< serial device path
  int Baud = 115200;
  uint32_t Address = 255;

  /// "127.0.0.1:1001" or "/dev/ttyUSB0@115200", for messages.
  std::string Target() const;
};

class TDeviceSession {
 public:
  static constexpr int kConnectTimeoutMs = 5000;

  /// ComNumber: the COM number under which the serial path is opened (distinct per session of a
  /// process). LogFile empty: no log.
  TDeviceSession(const TConnection& Connection, TIniFile& Settings, const std::string& LogFile, int ComNumber = 1);
  ~TDeviceSession();
  TDeviceSession(const TDeviceSession&) = delete;
  TDeviceSession& operator=(const TDeviceSession&) = delete;

  /// Activates the engine; Done(true) once the link is up, Done(false) when it cannot be opened
  /// (the engine is then inactive again). Done runs from the event loop, never inside Open.
  void Open(std::function<void(bool Up)> Done);
  /// Deactivates the engine (queued items end with ErrorCode 6).
  void Close();
  /// The link is a connection the device opened to Server: the engine runs in server mode and
  /// is handed the device's socket by the server once activated (Open).
  void UseServer(TKRVServerRegistry& Server);
  bool DeviceAnswered() const { return answered_; }
  /// Sender address of the last clean frame whose payload begins with Code (TrackAnswers only).
  std::optional<uint32_t> AnswerSender() const { return answerSender_; }
  /// Keep decoding after the first answer, remembering senders of frames that begin with Code.
  void TrackAnswers(std::string Code) { trackCode_ = std::move(Code); }
  const TConnection& Connection() const { return connection_; }

  TNaploComponent Naplo;
  QtPortLinkFactory Links;
  TKRVComms Comms;
  TFirmwareUploader Uploader;
  TFlashReaderWriter Flash;

 private:
  void Watch(const std::string& Chunk);
  void Opened(bool Up);

  TConnection connection_;
  std::unique_ptr<QObject> context_;  ///< receiver of the session's own timers; cut at destruction
  std::function<void(bool)> openDone_;
  TKRVProtocol watcher_;
  std::string watchBuffer_;
  bool answered_ = false;
  std::string trackCode_;
  std::optional<uint32_t> answerSender_;
};

/// The engine's texts of an ErrorCode, for a one-line message.
std::string LinkFailureText(const TConnection& Connection);

}  // namespace vornik
