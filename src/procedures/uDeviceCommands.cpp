#include "procedures/uDeviceCommands.h"

#include "codec/KRVCommands.h"
#include "comms/KRVComms.h"

namespace vornik {

uint32_t TDeviceCommands::Destination() const {
  return Address != 0 ? Address : static_cast<uint32_t>(FComms.KRVAddress);
}

void TDeviceCommands::Identify(TIdentifyDone Done) { SendIdentify(TKRVMode::PMKRVWOnly, std::move(Done), false); }

void TDeviceCommands::SendIdentify(TKRVMode Mode, TIdentifyDone Done, bool Last) {
  FComms.SetKRVMode(Mode);
  auto* item = new TKuldendo(std::string(kCSYSI), Destination());
  item->Ans = std::string(kASYSI);
  item->Timeout = IdentifyTimeout;
  std::weak_ptr<TDeviceCommands*> self = FSelf;
  item->OnResult = [self, Mode, Last, Done = std::move(Done)](TKRVComms*, const std::string& S, uint16_t ErrorCode,
                                                              int32_t, int32_t) {
    const auto alive = self.lock();
    if (!alive) return;
    TDeviceCommands& me = **alive;
    if (ErrorCode != ecOk && !Last && me.IdentifyInKRV) {
      me.SendIdentify(TKRVMode::PMKRVOnly, Done, true);
      return;
    }
    me.FComms.SetKRVMode(TKRVMode::PMKRVWOnly);
    if (Done) Done(ErrorCode, S, Mode);
  };
  item->SendWith(&FComms);
}

void TDeviceCommands::Restart(std::function<void()> Done) {
  FComms.SetKRVMode(TKRVMode::PMKRVWOnly);
  std::weak_ptr<TDeviceCommands*> self = FSelf;
  FComms.SendNoWait(std::string(kCSYRS), Destination(), 0,
                    [self, Done = std::move(Done)](const std::string&, uint16_t, int32_t) {
                      const auto alive = self.lock();
                      if (!alive) return;
                      TDeviceCommands& me = **alive;
                      me.FComms.SetKRVMode(TKRVMode::PMKRVOnly);
                      me.FComms.SendNoWait(std::string(kCSYRS), me.Destination(), 0,
                                           [self, Done](const std::string&, uint16_t, int32_t) {
                                             const auto alive2 = self.lock();
                                             if (!alive2) return;
                                             (**alive2).FComms.SetKRVMode(TKRVMode::PMKRVWOnly);
                                             if (Done) Done();
                                           });
                    });
}

}  // namespace vornik
