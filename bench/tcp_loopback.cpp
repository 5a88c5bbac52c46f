// Request/answer exchanges of the engine over a real TCP loopback connection, on Qt's loop, with
// an in-process device that answers every request at once; and the process's CPU use while the
// link is up and nothing is queued.
//
// The engine sends on its 2 ms queue tick and processes received bytes on its 1 ms processing
// timer, so one exchange should take at most about 3 ms: the figure to compare is ms_per_exchange
// against that bound (10% slack: 3.3 ms, i.e. at least ~303 exchanges per second).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "comms/KRVComms.h"
#include "platform/qt/EchoDevice.h"
#include "platform/qt/QtEventLoop.h"
#include "platform/qt/QtPortLink.h"
#include "platform/qt/QtServerSocket.h"

namespace {

using namespace vornik;

constexpr uint32_t kDevice = 5;
constexpr double kBoundMs = 3.0;  ///< 2 ms send tick + 1 ms processing timer

/// Engine connected over 127.0.0.1 to a device that answers every request.
struct TLoopbackRig {
  QtServerSocket server;
  testing::EchoDevice device{kDevice};
  QtPortLinkFactory links;
  std::unique_ptr<TKRVComms> comms;

  bool Start(bool quickReconnect = true) {
    server.onData = [this](ServerConnection& c, std::string_view bytes) {
      const std::string reply = device.Feed(bytes);
      if (!reply.empty()) c.write(reply);
    };
    server.listen(0, "127.0.0.1");
    comms = std::make_unique<TKRVComms>(QtEventLoop::instance(), links);
    comms->KRVAddress = kDevice;
    comms->QuickReconnect = quickReconnect;  // the window switches it on when the user connects
    comms->Host = "127.0.0.1";
    comms->Port = server.port();
    comms->SetActive(true);
    return RunUntil([this] { return comms->LinkUp(); }, 5000);
  }
  ~TLoopbackRig() {
    if (comms) comms->SetActive(false);
  }

  template <typename Done>
  static bool RunUntil(Done done, int timeoutMs) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done()) {
      if (elapsed.elapsed() > timeoutMs) return false;
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
  }
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_TcpLoopbackExchange(benchmark::State& state) {
  TLoopbackRig rig;
  if (!rig.Start()) {
    state.SkipWithError("no connection");
    return;
  }
  int failures = 0;
  for (auto _ : state) {
    bool done = false;
    auto* item = new TKuldendo("CSYSI", kDevice);
    item->Ans = "ASYSI";
    item->OnResult = [&](TKRVComms*, const std::string&, uint16_t ErrorCode, int32_t, int32_t) {
      done = true;
      if (ErrorCode != 0) ++failures;
    };
    item->SendWith(rig.comms.get());
    if (!TLoopbackRig::RunUntil([&] { return done; }, 5000)) {
      state.SkipWithError("exchange did not end");
      return;
    }
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["exchanges_per_s"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.counters["ms_per_exchange"] = benchmark::Counter(n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["failures"] = failures;
  state.counters["bound_ms"] = kBoundMs;
}
BENCHMARK(BM_TcpLoopbackExchange)->Iterations(10000)->UseRealTime()->Unit(benchmark::kMillisecond);

/// Args: seconds, QuickReconnect (its 1 ms reconnect step also runs while the link is up).
void BM_IdleLinkCpu(benchmark::State& state) {
  TLoopbackRig rig;
  if (!rig.Start(state.range(1) != 0)) {
    state.SkipWithError("no connection");
    return;
  }
  const int seconds = static_cast<int>(state.range(0));
  double cpu = 0;
  for (auto _ : state) {
    const double before = CpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    cpu = CpuSeconds() - before;
  }
  state.counters["cpu_s"] = cpu;
  state.counters["cpu_percent"] = 100.0 * cpu / seconds;
}
BENCHMARK(BM_IdleLinkCpu)->Args({10, 1})->Args({10, 0})->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
