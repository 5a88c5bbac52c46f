// Feeds arbitrary byte chunks into an active engine's receive path on a virtual loop while items
// are in flight. Checks: nothing crashes, RxBuffer never holds more than 4096 bytes, and every
// item ends in exactly one result callback once enough time has passed.
//
// Input: the first byte picks the engine settings and the items' options; the rest is a list of
// operations:
//   0x00..0x7F  raw chunk of (op + 1) bytes (fewer at the end of the input)
//   0x80..0x8F  let (op & 0x0F) * 20 ms pass
//   0x90..0xFF  a well-formed frame from the device: kind = op & 3, KRVW if op & 4, packet id =
//               the item in flight's id + ((op >> 3) & 3) - 1, payload = next byte % 16 bytes
//               (an "A" payload prefix when the top bit of that byte is set)
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "comms/KRVComms.h"
#include "logging/uNaploComponent.h"
#include "testkit/MemoryLink.h"
#include "testkit/ScriptedPeer.h"
#include "testkit/VirtualLoop.h"

using namespace vornik;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

const TKRVSendOptions kOptionSets[] = {
    {},
    {psoForceAck, psoWaitAfterAck},
    {psoForceWait},
    {psoDontAck, psoForceWait, psoAcked},
    {psoNewIDOnRepeat, psoExactTimeout},
    {psoAnyPckID},
    {psoEncodeKRVW},
    {psoDontWait},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  const uint8_t setup = Data[0];
  testkit::VirtualLoop loop;
  testkit::ScriptedPeer peer(loop, 5);
  testkit::MemoryLinkFactory links(loop, &peer);
  TNaploComponent naplo(loop);
  naplo.SetLogging(true);
  naplo.SetLogFile(std::string());  // lines are formatted, nothing touches the disk

  TKRVComms comms(loop, links);
  comms.SeedRandom(setup);
  comms.SetNaploKomponens(&naplo);
  comms.KRVAddress = 5;
  comms.SetKRVMode(static_cast<TKRVMode>(setup & 3));
  comms.LoosePckIDCheck = (setup & 0x04) != 0;
  comms.NoPckIDCheck = (setup & 0x08) != 0;
  comms.MindenVetele = (setup & 0x10) != 0;
  comms.HXL_to_KRV = (setup & 0x20) != 0;
  comms.Log_Raw_Data = (setup & 0x40) != 0;
  comms.Can_address_everyone = (setup & 0x80) != 0;
  comms.SetActive(true);

  std::array<int, 4> calls{};
  for (int i = 0; i < 4; ++i) {
    auto* item = new TKuldendo(i % 2 ? "CFLUL" : "CSYSI", 5);
    item->Ans = i == 3 ? "*" : (i % 2 ? "AFLUL" : "ASYSI");
    item->Options = kOptionSets[(setup + i * 3) % 8];
    item->Timeout = (i == 2) ? 300 : 0;
    item->Tag = i;
    item->OnResult = [&calls](TKRVComms*, const std::string&, uint16_t, int32_t Tag, int32_t) {
      Check(Tag >= 0 && Tag < 4);
      ++calls[static_cast<std::size_t>(Tag)];
      Check(calls[static_cast<std::size_t>(Tag)] == 1);
    };
    item->SendWith(&comms);
  }
  comms.OnRead = [](const std::string&, uint16_t Code, int32_t) { Check(Code == 0); };
  loop.advance(6);

  testkit::MemoryLink& link = *links.Last;
  std::size_t pos = 1;
  while (pos < Size) {
    const uint8_t op = Data[pos++];
    if (op < 0x80) {
      const std::size_t n = std::min<std::size_t>(op + 1u, Size - pos);
      link.PeerSendNow(std::string(reinterpret_cast<const char*>(Data + pos), n));
      pos += n;
    } else if (op < 0x90) {
      loop.advance((op & 0x0F) * 20);
    } else {
      const uint8_t shape = pos < Size ? Data[pos++] : 0;
      std::string payload = (shape & 0x80) ? "A" : "";
      for (int i = 0; i < (shape & 0x0F) && pos < Size; ++i) payload.push_back(static_cast<char>(Data[pos++]));
      const TKuldendo* head = comms.Head();
      const int id = (head ? head->CsomagSorszam : comms.LastSentSeq()) + ((op >> 3) & 3) - 1;
      const bool krvw = (op & 4) != 0;
      link.PeerSendNow(peer.FrameFrom(krvw ? 70000 : 5, payload, static_cast<TInfo>(op & 3), id & 0xFF, krvw));
    }
    Check(comms.RxBuffer().size() <= 4096);
    loop.advance(1);
    Check(comms.RxBuffer().size() <= 4096);
  }
  // Long enough for every remaining item to run out of tries.
  loop.advance(20000);
  for (int c : calls) Check(c == 1);
  Check(comms.QueueCount() == 0);
  return 0;
}
