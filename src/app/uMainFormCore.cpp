#include "app/uMainFormCore.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/CreateMissingValuesIni.h"
#include "app/UpdateSettings.h"
#include "app/VornikTexts.h"
#include "firmware/uHexfileToStr.h"
#include "logging/logUnit.h"
#include "util/MorvelUtils.h"

namespace vornik {

namespace {

namespace fs = std::filesystem;

std::string FormatPercentS(const char* format, const std::string& value) {
  std::string out(format);
  const auto pos = out.find("%s");
  if (pos != std::string::npos) out.replace(pos, 2, value);
  return out;
}

std::string FormatPercentD(const char* format, long long value) {
  std::string out(format);
  const auto pos = out.find("%d");
  if (pos != std::string::npos) out.replace(pos, 2, std::to_string(value));
  return out;
}

}  // namespace

TMainFormCore::TMainFormCore(EventLoop& Loop, PortLinkFactory& Links, std::string ExeFileName,
                             bool CommandLineMode)
    : CommandLineMode(CommandLineMode),
      KRVComms(Loop, Links),
      FirmwareUploader(Loop),
      FExeFileName(std::move(ExeFileName)),
      FPaths(AppPaths(FExeFileName)) {
  ConsoleWrite = [](std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  };

  // The log as the window ships it.
  NaploComponent.SetConvertToPrintable(true);
  NaploComponent.SetLogging(true);
  NaploComponent.SetLogTime(true);
  NaploComponent.SetLogFile(LogFileName());
  NaploComponent.SetLogLimit(10000000);
  NaploComponent.SetLogLevel(TLogLevel::LogEverything);

  // The engine as the window ships it.
  KRVComms.SetNaploKomponens(&NaploComponent);
  ApplyShippedEngineSettings(KRVComms);
  KRVComms.OnConnect = [this](TKRVComms*) { KRVCommsConnect(); };
  KRVComms.OnDisConnect = [this](TKRVComms*) { KRVCommsDisConnect(); };

  // The connection settings frame: shipped values, then bound to the engine (which copies the
  // engine's settings into it).
  KRVCommsCfg.SetComPort(1);
  KRVCommsCfg.SetBaudrate(115200);
  KRVCommsCfg.SetTCPPort(1);
  KRVCommsCfg.SetKRVAddress(255);
  KRVCommsCfg.SetIPList({TCfgFrame::kDefaultIPEntry});
  KRVCommsCfg.SetIniFile(".\\Vornik.ini");
  KRVCommsCfg.SetKRVAddrVisible(true);
  KRVCommsCfg.SetKRVComms(&KRVComms);

  // The firmware uploader as the firmware page configures it.
  FirmwareUploader.SetKRVPort(&KRVComms);
  ApplyShippedUploaderSettings(FirmwareUploader);
  FirmwareUploader.OnUploadDone = [this](TFirmwareUploader*, TFWUploadResult r) { FirmwareUploaderUploadDone(r); };
  FirmwareUploader.OnPercentDone = [this](TFirmwareUploader*, int p) { OnProcessPercentDone(p); };

  // The flash reader/writer as the flash page configures it.
  FlashReaderWriter.SetKRVPort(&KRVComms);
  FlashReaderWriter.OnPercentDone = [this](TFlashReaderWriter*, int p) { OnProcessPercentDone(p); };
}

TMainFormCore::~TMainFormCore() {
  FirmwareUploader.OnUploadDone = nullptr;
  FirmwareUploader.OnPercentDone = nullptr;
  FlashReaderWriter.OnPercentDone = nullptr;
  FlashReaderWriter.OnReadingDone = nullptr;
  FlashReaderWriter.OnWritingDone = nullptr;
  KRVComms.OnConnect = nullptr;
  KRVComms.OnDisConnect = nullptr;
  KRVCommsCfg.SetKRVComms(nullptr);
}

std::string TMainFormCore::ChangeFileExt(const std::string& FileName, const char* Ext) {
  fs::path p(FileName);
  p.replace_extension(Ext);
  return p.string();
}

std::string TMainFormCore::Caption() const { return std::string(texts::kCaptionPrefix) + VersionStr; }

void TMainFormCore::ConsoleLine(std::string_view Text) {
  std::string line = ToConsoleText(Text);
  line += '\n';
  if (ConsoleWrite) ConsoleWrite(line);
}

void TMainFormCore::LogMessage(std::string_view Msg) {
  NaploComponent.WriteLog(std::string(Msg), false);
  if (CommandLineMode) {
    ConsoleLine(Msg);
  } else if (OnMessageLine) {
    OnMessageLine(MakePrintable(std::string(Msg), true));
  }
}

void TMainFormCore::ReportMessage(std::string_view Msg) {
  LogMessage(Msg);
  if (!CommandLineMode && OnMessageBox) OnMessageBox(std::string(Msg));
}

void TMainFormCore::EnableDeviceControls(bool Enable) {
  if (CustomerMode) return;
  if (OnEnableDeviceControls) OnEnableDeviceControls(Enable);
}

void TMainFormCore::KRVCommsConnect() {
  // A TCP connection comes up after the operation has switched to its running look, and an
  // update drops and re-opens the link around the device's restart: neither may touch it.
  if (!OperationRunning()) EnableDeviceControls(false);
}

void TMainFormCore::KRVCommsDisConnect() {
  if (!OperationRunning()) EnableDeviceControls(true);
}

void TMainFormCore::OnProcessPercentDone(int PercentDone) {
  if (CommandLineMode) {
    if (ConsoleWrite) ConsoleWrite(".");
  } else if (OnProgress) {
    OnProgress(PercentDone);
  }
}

void TMainFormCore::SetConnected(bool Value) {
  if (Value == FConnected) return;
  FConnected = Value;
  chbConnectedClick();
  if (OnConnectedChanged) OnConnectedChanged(Value);
}

void TMainFormCore::chbConnectedClick() {
  if (!KRVComms.Active()) KRVCommsCfg.ApplyToComms();
  KRVComms.SlowWriteMode = chbSlowWriteMode;
  KRVComms.QuickReconnect = true;
  KRVComms.SetActive(FConnected);
  if (!CustomerMode) KRVCommsCfg.SetEnabled(!FConnected);
}

bool TMainFormCore::LoadFirmwareFile() {
  // Forget the previous file entirely: an image kept from it would no longer match what is
  // shown, and could be packaged or sent by mistake.
  Firmware = TLoadedFirmware{};
  FWInfoRows.clear();
  if (OnFWInfoChanged) OnFWInfoChanged();
  if (OnClearViews) OnClearViews();

  TFirmwareLoadOutput out;
  out.Log = [this](std::string_view Line) { LogMessage(Line); };
  out.Report = [this](std::string_view Msg) { ReportMessage(Msg); };
  out.Missing = out.Log;
  if (!vornik::LoadFirmwareFile(edFWFile, Firmware, out)) return false;
  LogMessage(std::string(texts::kLoadedBuild) + Firmware.FWBuildStr);
  FWInfoRows = FirmwareInfoRows(edFWFile, Firmware);
  if (OnFWInfoChanged) OnFWInfoChanged();
  return true;
}

void TMainFormCore::CreatePackageFile(bool Qob, const std::function<bool(const std::string&)>& ConfirmOverwrite) {
  try {
    // Nothing loaded (the last load failed): an empty file would look like a good one.
    if (Firmware.FWImage.empty()) throw std::runtime_error(texts::kNothingLoaded);
    const TLoadedFirmware& fw = Firmware;
    if (Qob) {
      // Refused before the question: such a package would not read back as written.
      const std::string problem = QOBWriteProblem(fw);
      if (!problem.empty()) throw std::runtime_error(problem);
    }
    const std::string target = vornik::ChangeFileExt(edFWFile, Qob ? ".qob" : ".bin");
    if (RegularFileExists(target) && !(ConfirmOverwrite && ConfirmOverwrite(FormatPercentS(kOverwriteQuestion, target))))
      return;
    // The checksum file goes with it: one left from an earlier file would refuse the new one.
    WriteFileWithChecksum(target, Qob ? MakeQOBContent(fw) : PlainImage(fw));
    ReportMessage(std::string(kNewFileMessage) + target);
  } catch (const std::exception& e) {
    ReportMessage(std::string(kWriteErrorPrefix) + e.what());
  }
}

void TMainFormCore::ApplyIniSettings() {
  TCreateMissingValuesIni ini(IniFileName());
  ApplyUpdateSettings(ini, KRVComms, FirmwareUploader);

  FirmwareUploader.ReconnectSerialPort = KRVCommsCfg.ConnType() == TConnType::ConnTypeSerial;
}

void TMainFormCore::SetUpdateRunning(bool Running) {
  FUpdateRunning = Running;
  if (!CustomerMode) EnableDeviceControls(!Running);
  if (OnUpdateRunningChanged) OnUpdateRunningChanged(Running);
}

void TMainFormCore::FirmwareUploaderUploadDone(TFWUploadResult Result) {
  if (CommandLineMode) ReportMessage("");
  // Progress reports each accepted block's start, so the last one stays below 100.
  if (Result == TFWUploadResult::fwrOk && !CommandLineMode && OnProgress) OnProgress(100);
  if (chbTurboFWUpload && FirmwareUploader.RepeatedPckCount() > 0)
    LogMessage(FormatPercentD(texts::kRepeatedPackets, FirmwareUploader.RepeatedPckCount()));
  SetUpdateRunning(false);
  SetConnected(false);
  ReportMessage(FirmwareUploader.FWUploadResultToStr(Result));
  CmdLineDone = true;
  ProgramExitCode = static_cast<int32_t>(Result);
}

}  // namespace vornik
