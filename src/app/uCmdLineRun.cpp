#include "app/uCmdLineRun.h"

#include <exception>

#include "app/UpdateSettings.h"
#include "app/VornikTexts.h"
#include "app/uCmdLineArgs.h"
#include "app/uMainFormCore.h"

namespace vornik {

void WriteCaption(TMainFormCore& Form) {
  Form.ConsoleWrite("\n");
  Form.ConsoleWrite(ToConsoleText(Form.Caption()) + "\n");
}

void WriteUsage(TMainFormCore& Form) {
  for (const std::string& line : UsageLines()) Form.ReportMessage(line);
  Form.CmdLineDone = true;
}

void CmdLineTimerTimer(TMainFormCore& Form, const std::vector<std::string>& Params) {
  Form.NaploComponent.SetLogFile(Form.LogFileName());

  const TCmdLineRequest r = ParseCmdLineRequest(Params);
  if (!r.FWFile.empty()) Form.edFWFile = r.FWFile;
  if (!r.UsageMessage.empty()) {
    Form.ReportMessage(r.UsageMessage);
    WriteUsage(Form);
    if (r.UsageMessage == texts::kUsageExample) {
      // An installed copy keeps these in the user's folders; say where.
      Form.ReportMessage("");
      Form.ReportMessage(texts::kSettingsFileIs + Form.IniFileName());
      Form.ReportMessage(texts::kLogFileIs + Form.LogFileName());
    }
    return;
  }

  TKRVCommsCfgFrame& cfg = Form.KRVCommsCfg;
  cfg.SetKRVAddress(r.Address);
  if (!r.TCPIP) {
    cfg.SetConnType(TConnType::ConnTypeSerial);
    cfg.SetComPort(r.Port);
    cfg.SetBaudrate(r.Baud);
  } else {
    cfg.SetConnType(TConnType::ConnTypeTCPIP);
    cfg.SetTCPPort(r.Port);
    cfg.SetIP(r.Host);
  }

  Form.ApplyIniSettings();
  if (!Form.LoadFirmwareFile()) {
    Form.CmdLineDone = true;
    return;
  }

  Form.ReportMessage(texts::kLoadedFirmwareData);
  for (const TFWInfoRow& row : Form.FWInfoRows) Form.ReportMessage(row.Name + "=" + row.Value);
  Form.ReportMessage("");

  Form.SetConnected(true);
  Form.SetUpdateRunning(true);

  try {
    // No questions here: the data flash is never erased and batched mode is never used.
    StartFirmwareUpload(Form.FirmwareUploader, Form.Firmware, TUploadOptions{});
  } catch (const std::exception& e) {
    // The uploader refused to start (a BlockLength of 0 or less in the settings file): say why,
    // close the link and end the run instead of waiting for an upload that never comes.
    Form.ReportMessage(e.what());
    Form.SetUpdateRunning(false);
    Form.SetConnected(false);
    Form.CmdLineDone = true;
  }
}

}  // namespace vornik
