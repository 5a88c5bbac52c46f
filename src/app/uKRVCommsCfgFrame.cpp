#include "app/uKRVCommsCfgFrame.h"

#include "app/VornikTexts.h"
#include "comms/KRVComms.h"

namespace vornik {

void TKRVCommsCfgFrame::SetKRVComms(TKRVComms* Value) {
  FKRVComms = Value;
  if (FKRVComms) LoadFromComms();
}

void TKRVCommsCfgFrame::LoadFromComms() {
  if (!FKRVComms) throw ECfgFrame(texts::kNoCommsComponent);
  SetConnType(FKRVComms->Host.empty() ? TConnType::ConnTypeSerial : TConnType::ConnTypeTCPIP);
  SetComPort(FKRVComms->Port);
  SetBaudrate(FKRVComms->Baud);
  SetIP(FKRVComms->Host);
  SetTCPPort(FKRVComms->Port);
  SetKRVAddress(static_cast<int>(FKRVComms->KRVAddress));
}

void TKRVCommsCfgFrame::ApplyToComms() {
  if (!FKRVComms) throw ECfgFrame(texts::kNoCommsComponent);
  if (FKRVComms->Active()) throw ECfgFrame(texts::kCommsIsOpen);
  const bool serial = ConnType() == TConnType::ConnTypeSerial;
  if (serial) {
    // A device chosen by path: ComPort reads 0, kSerialDevicePort, which stands for the path.
    FKRVComms->Port = ComPort();
    FKRVComms->Host.clear();
  } else {
    FKRVComms->Port = TCPPort();
    FKRVComms->Host = IP();
  }
  FAppliedSerialDevice = serial ? SerialDevice() : std::string();
  FKRVComms->Baud = Baudrate();
  FKRVComms->KRVAddress = static_cast<uint32_t>(KRVAddress());
}

}  // namespace vornik
