// Engine cost per exchange, without any waiting: a request/answer round trip over MemoryLink with a
// peer that answers at once (virtual time only moves as far as the engine's own timers need), and
// frames decoded per second through the receive path from a buffer of back-to-back frames.
// Arg(0): no log component; Arg(1): every packet line is formatted (the writer has no file).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "comms/KRVComms.h"
#include "logging/uNaploComponent.h"
#include "testkit/MemoryLink.h"
#include "testkit/ScriptedPeer.h"
#include "testkit/VirtualLoop.h"

using namespace vornik;

namespace {

struct Rig {
  explicit Rig(bool Logging) : links(loop, &peer) {
    naplo.SetLogging(true);
    naplo.SetLogFile(std::string());
    comms = std::make_unique<TKRVComms>(loop, links);
    comms->SeedRandom(1);
    comms->KRVAddress = 5;
    if (Logging) comms->SetNaploKomponens(&naplo);
    comms->OnRead = [](const std::string&, uint16_t, int32_t) {};
    comms->SetActive(true);
    loop.advance(10);
  }
  testkit::VirtualLoop loop;
  testkit::ScriptedPeer peer{loop, 5};
  testkit::MemoryLinkFactory links;
  TNaploComponent naplo{loop};
  std::unique_ptr<TKRVComms> comms;
};

void BM_RoundTrip(benchmark::State& State) {
  Rig rig(State.range(0) != 0);
  rig.peer.OnFrame = [](testkit::ScriptedPeer& P, const testkit::PeerFrame& F) { P.Reply(F, "ASYSI0123456789"); };
  int done = 0;
  int64_t virtualMs = 0;
  for (auto _ : State) {
    auto* item = new TKuldendo("CSYSI", 5);
    item->Ans = "ASYSI";
    item->OnResult = [&done](TKRVComms*, const std::string&, uint16_t Code, int32_t, int32_t) {
      if (Code == 0) ++done;
    };
    const int target = done + 1;
    const int64_t start = rig.loop.nowMs();
    item->SendWith(rig.comms.get());
    while (done < target) rig.loop.step(1000);
    virtualMs += rig.loop.nowMs() - start;
    rig.peer.Received.clear();
  }
  State.counters["virtual_ms_per_exchange"] =
      benchmark::Counter(static_cast<double>(virtualMs) / static_cast<double>(State.iterations()));
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_RoundTrip)->Arg(0)->Arg(1);

void BM_ReceivePath(benchmark::State& State) {
  Rig rig(State.range(0) != 0);
  std::string buffer;
  int frames = 0;
  for (int id = 1; buffer.size() + 40 < 4096; ++id, ++frames)
    buffer += rig.peer.Frame("EVENT" + std::to_string(id), TInfo::nem_kerek_nyugtat, id % 250 + 1);
  for (auto _ : State) {
    rig.links.Last->PeerSendNow(buffer);
    rig.loop.advance(1);
    if (!rig.comms->RxBuffer().empty()) State.SkipWithError("frames left in the buffer");
  }
  State.counters["frames_per_buffer"] = frames;
  State.SetItemsProcessed(State.iterations() * frames);
  State.SetBytesProcessed(State.iterations() * static_cast<int64_t>(buffer.size()));
}
BENCHMARK(BM_ReceivePath)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
