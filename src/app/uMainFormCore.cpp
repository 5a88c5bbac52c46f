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

std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

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
  // Forget the previous file entirely: an image kept from it would no longer match the start
  // address and information of what is shown, and could be packaged or sent by mistake.
  FWStartAddr = 0;
  FWBuildStr.clear();
  FWImage.clear();
  FWInfoFound = false;
  FWInfo = TFWInfo{};
  IsBootloaderImage = false;
  FWInfoRows.clear();
  if (OnFWInfoChanged) OnFWInfoChanged();
  if (OnClearViews) OnClearViews();

  const std::string name = edFWFile;
  if (!RegularFileExists(name)) {
    if (!name.empty()) LogMessage(FormatPercentS(texts::kFileNotFound, name));
    return false;
  }
  const std::string ext = UpperAscii(fs::path(name).extension().string());
  bool ok;
  if (ext == ".HEX") {
    ok = LoadHexFile(name, FWImage);
  } else if (ext == ".QOB") {
    ok = LoadQOBFile(name, FWImage);
  } else {
    ReportMessage(texts::kNotAFirmware);
    return false;
  }
  if (!ok) return false;
  if (FWBuildStr.empty()) {
    ReportMessage(texts::kNoInfoBlock);
    return false;
  }
  LogMessage(std::string(texts::kLoadedBuild) + FWBuildStr);

  FWInfoRows.push_back({texts::kRowFilePath, name});
  FWInfoRows.push_back({texts::kRowMemoryAddress, std::to_string(FWStartAddr)});
  if (FWInfoFound) {
    for (auto& [name, value] : CommaTextPairs(FWInfoToText(FWInfo))) FWInfoRows.push_back({name, value});
  } else {
    FWInfoRows.push_back({texts::kRowBuildStr, FWBuildStr});
  }
  if (OnFWInfoChanged) OnFWInfoChanged();
  return true;
}

bool TMainFormCore::LoadHexFile(const std::string& FileName, std::string& Image) {
  Image.clear();
  std::string errorText;
  if (!HexfileToStr(FileName, Image, FWStartAddr, FWInfo, FWInfoFound, errorText)) {
    ReportMessage(std::string(texts::kBadHexFile) + errorText);
    return false;
  }
  FWBuildStr = FindBuildStr(Image);
  // An image at address 0 too short for a vector table is an ordinary firmware.
  IsBootloaderImage = FWStartAddr == 0 && IsBootloaderVectorTable(Image);
  ScrambleImage(Image, FWStartAddr);
  return true;
}

bool TMainFormCore::LoadQOBFile(const std::string& FileName, std::string& Image) {
  TLoadedFirmware fw;
  std::string checksumLine;
  std::string errorText;
  if (!ReadQOBFile(FileName, fw, checksumLine, errorText)) {
    ReportMessage(std::string(kOpenFileErrorPrefix) + errorText);
    return false;
  }
  if (!checksumLine.empty()) LogMessage(checksumLine);
  Image = std::move(fw.FWImage);
  FWStartAddr = fw.FWStartAddr;
  FWBuildStr = std::move(fw.FWBuildStr);
  FWInfoFound = fw.FWInfoFound;
  FWInfo = fw.FWInfo;
  IsBootloaderImage = fw.IsBootloaderImage;
  return true;
}

TLoadedFirmware TMainFormCore::LoadedFirmware() const {
  TLoadedFirmware fw;
  fw.FWImage = FWImage;
  fw.FWStartAddr = FWStartAddr;
  fw.FWBuildStr = FWBuildStr;
  fw.FWInfoFound = FWInfoFound;
  fw.FWInfo = FWInfo;
  fw.IsBootloaderImage = IsBootloaderImage;
  return fw;
}

void TMainFormCore::CreatePackageFile(bool Qob, const std::function<bool(const std::string&)>& ConfirmOverwrite) {
  try {
    // Nothing loaded (the last load failed): an empty file would look like a good one.
    if (FWImage.empty()) throw std::runtime_error(texts::kNothingLoaded);
    const TLoadedFirmware fw = LoadedFirmware();
    if (Qob) {
      // Refused before the question: such a package would not read back as written.
      const std::string problem = QOBWriteProblem(fw);
      if (!problem.empty()) throw std::runtime_error(problem);
    }
    const std::string target = vornik::ChangeFileExt(edFWFile, Qob ? ".qob" : ".bin");
    if (RegularFileExists(target) && !(ConfirmOverwrite && ConfirmOverwrite(FormatPercentS(kOverwriteQuestion, target))))
      return;
    WriteWholeFile(target, Qob ? MakeQOBContent(fw) : PlainImage(fw));
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
