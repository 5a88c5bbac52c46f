// The main window's logic without the window: the components the window owns (the log, the
// communication engine, the connection settings bound to it, the firmware uploader), the loaded
// firmware, the values of the controls the operations read (firmware file name, check boxes,
// the connect switch), and the operations that the window, the command-line run and the tests
// share: loading a firmware file with all its messages and information rows, reading the DEBUG
// and BATCH settings, the connect switch, progress and the end of an update.
//
// What a window would show goes out through hooks (OnMessageLine, OnMessageBox, ...). In
// command-line mode no hook is needed: messages are written as lines to the console (ToConsoleText,
// flushed after every line so a script sees progress) and progress as dots.
//
// Lifecycle: one instance per process. ProgramExitCode stays 99 until an update ends; then it is
// the ordinal of the upload result. CmdLineDone tells the command-line wait loop to finish.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/AppPaths.h"
#include "app/FirmwareLoader.h"
#include "app/uKRVCommsCfgFrame.h"
#include "comms/KRVComms.h"
#include "firmware/PackageFiles.h"
#include "firmware/uHexfileToStr.h"
#include "logging/uNaploComponent.h"
#include "loop/EventLoop.h"
#include "loop/PortLink.h"
#include "procedures/uFirmwareUploader.h"
#include "procedures/uFlashReaderWriter.h"

namespace vornik {

class TMainFormCore {
 public:
  /// ExeFileName: the program's own path; the INI and log file names derive from it (AppPaths).
  TMainFormCore(EventLoop& Loop, PortLinkFactory& Links, std::string ExeFileName, bool CommandLineMode);
  ~TMainFormCore();
  TMainFormCore(const TMainFormCore&) = delete;
  TMainFormCore& operator=(const TMainFormCore&) = delete;

  // Application state.
  const bool CommandLineMode;
  bool CustomerMode = false;
  bool CmdLineDone = false;
  int32_t ProgramExitCode = 99;
  std::string VersionStr;

  const std::string& ExeFileName() const { return FExeFileName; }
  /// The settings file and the log: beside the executable, or in the user's folders (AppPaths).
  const std::string& IniFileName() const { return FPaths.IniFileName; }
  const std::string& LogFileName() const { return FPaths.LogFileName; }
  /// FileName with its extension (if any) replaced by Ext (".ini").
  static std::string ChangeFileExt(const std::string& FileName, const char* Ext);
  /// "Telvaro Vornik v" + VersionStr.
  std::string Caption() const;

  // Components (the window's field names).
  TNaploComponent NaploComponent;
  TKRVComms KRVComms;
  TKRVCommsCfgFrame KRVCommsCfg;
  TFirmwareUploader FirmwareUploader;
  TFlashReaderWriter FlashReaderWriter;

  /// The loaded firmware (image held scrambled); empty when the last load failed.
  TLoadedFirmware Firmware;

  // Control values the operations use.
  std::string edFWFile;
  bool chbTurboFWUpload = false;
  bool chbClrFlash = false;
  bool chbSlowWriteMode = false;
  bool FlashTabAllowed = false;
  bool UpdateRunning() const { return FUpdateRunning; }
  /// A flash transfer, the identification or the restart holds the link (set by their pages).
  bool LinkOperationRunning = false;
  /// An operation that shares the link runs: it alone decides the device controls until it ends.
  bool OperationRunning() const { return FUpdateRunning || LinkOperationRunning; }
  std::vector<TFWInfoRow> FWInfoRows;

  /// The connect switch. Changing it runs chbConnectedClick; setting the state it has does nothing.
  bool Connected() const { return FConnected; }
  void SetConnected(bool Value);
  void chbConnectedClick();

  /// Writes Msg to the log, then to the message view (window) or the console (command line).
  void LogMessage(std::string_view Msg);
  /// LogMessage, then in window mode a message box.
  void ReportMessage(std::string_view Msg);
  void EnableDeviceControls(bool Enable);
  /// The engine's OnConnect and OnDisConnect: the device controls follow the link only while no
  /// operation runs; a running one keeps its look (its stop button usable) until it ends.
  void KRVCommsConnect();
  void KRVCommsDisConnect();
  /// Progress of a procedure: the progress bar, or one "." on the console.
  void OnProcessPercentDone(int PercentDone);

  /// Loads the file named in edFWFile into Firmware (LoadFirmwareFile of FirmwareLoader.h, its
  /// messages through LogMessage and ReportMessage) and fills FWInfoRows; true when usable.
  bool LoadFirmwareFile();

  /// Writes the loaded firmware as a QOB package (Qob) or a flat BIN image beside the firmware
  /// file. An existing target is replaced only when ConfirmOverwrite answers true; declining
  /// writes nothing and says nothing. The file is written whole or not at all.
  void CreatePackageFile(bool Qob, const std::function<bool(const std::string& Question)>& ConfirmOverwrite);

  /// Reads sections DEBUG and BATCH into the engine and the uploader.
  void ApplyIniSettings();
  void SetUpdateRunning(bool Running);
  void FirmwareUploaderUploadDone(TFWUploadResult Result);

  /// The console writer used in command-line mode (text as given, no line end added).
  /// Defaults to standard output, flushed after each call.
  std::function<void(std::string_view Text)> ConsoleWrite;

  // Hooks for a window (all optional).
  std::function<void(const std::string& Line)> OnMessageLine;  ///< append to the message view
  std::function<void(const std::string& Msg)> OnMessageBox;    ///< modal message box
  std::function<void()> OnClearViews;                          ///< clear messages and communication log
  std::function<void()> OnFWInfoChanged;                       ///< FWInfoRows changed
  std::function<void(int Percent)> OnProgress;                 ///< progress bar
  std::function<void(bool Enable)> OnEnableDeviceControls;
  std::function<void(bool Running)> OnUpdateRunningChanged;
  std::function<void(bool Connected)> OnConnectedChanged;

 private:
  void ConsoleLine(std::string_view Text);

  std::string FExeFileName;
  TAppPaths FPaths;
  bool FConnected = false;
  bool FUpdateRunning = false;
};

}  // namespace vornik
