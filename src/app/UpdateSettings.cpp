#include "app/UpdateSettings.h"

#include <algorithm>
#include <string>

#include "app/CreateMissingValuesIni.h"
#include "comms/KRVComms.h"
#include "firmware/PackageFiles.h"
#include "procedures/uFirmwareUploader.h"

namespace vornik {

void ApplyShippedEngineSettings(TKRVComms& KRVComms) {
  KRVComms.Port = 1;
  KRVComms.WsServerMode = false;
  KRVComms.HXL_to_KRV = false;
  KRVComms.FindClientsByKRVWAddr = false;
  KRVComms.NotifyClientsOnConnect = false;
  KRVComms.NotifyClientsOnLog = false;
  KRVComms.IDOfRepeatedPackets = TIDOfRepeatedPackets::irpUseParameter;
  KRVComms.Baud = 115200;
  KRVComms.KRVAddress = 255;
  KRVComms.PufferSize = 512;
  KRVComms.ApdOutSize = 4096;
  KRVComms.SlowWrRate = 25;
  KRVComms.SlowWriteMode = false;
  KRVComms.SlowWrPufferSize = 4096;
  KRVComms.PollCmd = "c";
  KRVComms.PollAns = "a";
  KRVComms.AutoAnswerCmd = "c";
  KRVComms.AutoAnswerAns = "a";
  KRVComms.LineTimeout = 0;
  KRVComms.Timeout_1 = 110;
  KRVComms.Timeout_2 = 160;
  KRVComms.Timeout_3 = 230;
  KRVComms.Timeout_Poll = 100;
  KRVComms.Max_tries_cmd = 3;
  KRVComms.Max_tries_poll = 1;
  KRVComms.Max_tries_send = 2;
  KRVComms.Send_tries_timeout = 2500;
  KRVComms.ConnectionCheckRate = 60;
  KRVComms.PollTimerInterval = 2000;
  KRVComms.TryToConnectInterval = 100;
  KRVComms.Pollingolo = false;
  KRVComms.AutoAnswer = false;
  KRVComms.Nyugtat_is_jelezze = true;
  KRVComms.Can_address_everyone = false;
  KRVComms.Nyugtazas = false;
  KRVComms.Enable_ASYER = true;
  KRVComms.BroadcastVetele = true;
  KRVComms.MindenVetele = false;
  KRVComms.NoPckIDCheck = false;
  KRVComms.LoosePckIDCheck = true;
  KRVComms.BatchMode = false;
  KRVComms.DontLogPcksFromPc = false;
  KRVComms.Poll_Log = false;
  KRVComms.Log_All_Packages = false;
  KRVComms.Log_Raw_Data = false;
  KRVComms.Log_Printable_Raw = false;
  KRVComms.Safe_send = true;
  KRVComms.Half_Duplex_Mode = false;
  KRVComms.Switch_Direction_Time = 5;
  KRVComms.SetKRVMode(TKRVMode::PMKRVWOnly);
  KRVComms.QuickReconnect = false;
  KRVComms.DebugMode = false;
}

void ApplyShippedUploaderSettings(TFirmwareUploader& Uploader) {
  Uploader.BlockLength = 128;
  Uploader.CFLUDTimeout = 10000;
}

void ApplyUpdateSettings(TIniFile& ini, TKRVComms& KRVComms, TFirmwareUploader& FirmwareUploader) {
  KRVComms.Log_All_Packages = ini.ReadBool("DEBUG", "Log_All_Packages", false);
  KRVComms.Log_Raw_Data = ini.ReadBool("DEBUG", "Log_Raw_Data", false);
  KRVComms.Log_Printable_Raw = ini.ReadBool("DEBUG", "Log_Printable_Raw", false);
  KRVComms.BroadcastVetele = ini.ReadBool("DEBUG", "BroadcastVetele", false);
  KRVComms.Half_Duplex_Mode = ini.ReadBool("DEBUG", "Half_Duplex_Mode", false);
  KRVComms.Switch_Direction_Time = ini.ReadInteger("DEBUG", "Switch_Direction_Time", 5);
  KRVComms.Nyugtazas = true;
  KRVComms.Timeout_1 = ini.ReadInteger("DEBUG", "Timeout1", 300);
  KRVComms.Timeout_2 = ini.ReadInteger("DEBUG", "Timeout2", 2000);
  KRVComms.Timeout_3 = ini.ReadInteger("DEBUG", "Timeout3", 4500);
  KRVComms.Max_tries_cmd = ini.ReadInteger("DEBUG", "TriesMax", 4);
  FirmwareUploader.IgnoreAFLUD = ini.ReadBool("DEBUG", "IgnoreAFLUD", false);
  FirmwareUploader.BlockLength = ini.ReadInteger("DEBUG", "BlockLength", FirmwareUploader.BlockLength);

  FirmwareUploader.SetBatchSize(ini.ReadInteger("BATCH", "BatchSize", FirmwareUploader.BatchSize()));
  FirmwareUploader.SetTimeBetweenPcks(ini.ReadInteger("BATCH", "TimeBetweenPcks", FirmwareUploader.TimeBetweenPcks()));
  FirmwareUploader.SetCSYGATimeout(ini.ReadInteger("BATCH", "CSYGATimeout", FirmwareUploader.CSYGATimeout()));
}

TAnswerTimeSettings::TAnswerTimeSettings(TIniFile& Base, TAnswerTimes Times)
    : TIniFile(Base.FileName()), base_(Base), times_(std::move(Times)) {}

std::optional<int32_t> TAnswerTimeSettings::Override(std::string_view Section, std::string_view Ident) const {
  if (Section != "DEBUG") return std::nullopt;
  if (Ident == "TriesMax") return times_.Tries;
  if (times_.Ms.empty()) return std::nullopt;
  std::size_t k = 0;
  if (Ident == "Timeout1") {
    k = 0;
  } else if (Ident == "Timeout2") {
    k = 1;
  } else if (Ident == "Timeout3") {
    k = 2;
  } else {
    return std::nullopt;
  }
  return times_.Ms[std::min(k, times_.Ms.size() - 1)];
}

std::string TAnswerTimeSettings::ReadString(std::string_view Section, std::string_view Ident,
                                            std::string_view Default) {
  if (const auto v = Override(Section, Ident)) return std::to_string(*v);
  return base_.ReadString(Section, Ident, Default);
}

int32_t TAnswerTimeSettings::ReadInteger(std::string_view Section, std::string_view Ident, int32_t Default) {
  if (const auto v = Override(Section, Ident)) return *v;
  return base_.ReadInteger(Section, Ident, Default);
}

void StartFirmwareUpload(TFirmwareUploader& Uploader, const TLoadedFirmware& Firmware, const TUploadOptions& Options) {
  Uploader.ClearFlash = Options.ClearFlash;
  Uploader.UseCBLUD = Firmware.IsBootloaderImage;
  Uploader.FWAddress = static_cast<uint32_t>(Firmware.FWStartAddr);
  Uploader.BatchedMode = Options.Batched;
  Uploader.SafeTurbo = Options.SafeTurbo;
  Uploader.UploadFromStr(Firmware.FWImage);
}

}  // namespace vornik
