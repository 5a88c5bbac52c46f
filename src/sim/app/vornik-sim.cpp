// vornik-sim: a simulated KRV device for technicians without hardware, for the demo and for the
// end-to-end tests. It puts one TSimDevice on a TCP port of 127.0.0.1 and/or on a pseudo-terminal
// (whose slave path it prints, so the program can open it as a serial port), feeds it what arrives
// with the time on a monotonic clock, and writes back what it sends. On the pseudo-terminal the
// answers are paced at the chosen baud rate (10 bits a byte), as a real serial line would carry
// them. One TCP client is served at a time; a new connection replaces the old one, and the
// device's state survives both. With --bus N the line carries N devices at consecutive addresses
// (a TSimBus), each keeping its own state and answering only what is addressed to it, as devices
// on one RS485 bus do.
//
// With --connect HOST:PORT the device opens the TCP connection itself, as a device behind carrier
// NAT does, and listens on no port. It hangs up when it restarts (the restart command, the end of
// an install) and dials again once it has started, then always sending its announce frame first;
// a connection the PC ends, or a dial that fails, is tried again a second later. With --announce
// it also sends the announce frame on its first connection.
//
// It prints one line per request it handles (unless --quiet) and a summary after every install;
// with --save-image the installed image (unscrambled) is written at once after each install.
// SIGTERM and SIGINT end it cleanly.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/PackageFiles.h"
#include "sim/SimBus.h"
#include "sim/SimDevice.h"
#include "sim/SimDialIn.h"
#include "util/NumberText.h"
#include "VornikVersion.h"

namespace {

using vornik::TSimDevice;
using vornik::TSimDeviceConfig;
using vornik::TSimFaults;

struct TOptions {
  int Port = 1001;
  bool Tcp = true;
  bool Pty = false;
  int Baud = 115200;
  std::string SaveImage;
  bool Quiet = false;
  std::string ConnectHost;  ///< --connect: dial this host
  int ConnectPort = 0;
  bool Announce = false;
  int Bus = 1;  ///< --bus: devices on the line, at consecutive addresses
};

const char* const kHelp =
    "Usage: vornik-sim [options]\n"
    "A simulated KRV device on TCP 127.0.0.1 and/or a pseudo-terminal.\n"
    "\n"
    "Links:\n"
    "  --port N              TCP port on 127.0.0.1 (default 1001)\n"
    "  --no-tcp              do not listen on TCP\n"
    "  --connect HOST:PORT   open the TCP connection to the PC instead of listening; hang up at every\n"
    "                        restart and dial again (sending the announce frame first)\n"
    "  --announce            with --connect: send the announce frame on the first connection too\n"
    "  --pty                 create a pseudo-terminal and print its path\n"
    "  --baud B              pace the pseudo-terminal's output at B baud, 10 bits a byte (default 115200;\n"
    "                        0: no pacing)\n"
    "Device:\n"
    "  --address A           device address (default 178556; its low byte is the KRV address)\n"
    "  --bus N               N devices on the one line (TCP port or pseudo-terminal), at addresses A,\n"
    "                        A+1, ... A+N-1, each with its own state, each answering only its own frames\n"
    "  --bootloader          start with the bootloader running\n"
    "  --refuse-blocks       the firmware refuses upload blocks (a restart into the bootloader is needed)\n"
    "  --cpu-type N          CPU type in the identification record (default 30; above 22: ARM)\n"
    "  --rx-buffer N         receive buffer length in the identification record (default 1024)\n"
    "  --device-type N       device type code (default 7)\n"
    "  --name TEXT           device name (up to 24 characters)\n"
    "  --build-id TEXT       build identifier until an install brings the image's (5 characters,\n"
    "                        default B0042)\n"
    "  --turnaround-ms N     time from a request to its answer (default 1)\n"
    "  --restart-ms N        silent time after a restart (default 300)\n"
    "  --erase-ms N          data flash erase time (default 1500)\n"
    "  --program-flash N     program flash size in bytes (default 1048576)\n"
    "  --flash-pages N       external flash pages (default 4096)\n"
    "  --page-size N         external flash page size, 264 or 528 (default 264)\n"
    "Faults (drawn from a generator seeded with --seed):\n"
    "  --seed N              seed of the fault generator (default 1)\n"
    "  --drop-in R           lose this fraction (0..1) of incoming frames\n"
    "  --drop-out R          lose this fraction of outgoing frames\n"
    "  --corrupt R           send this fraction of frames with a wrong checksum\n"
    "  --nack R              refuse this fraction of requests with a negative acknowledgement\n"
    "  --block-errors R      refuse this fraction of upload blocks with a flash write error\n"
    "  --page-errors R       refuse this fraction of flash page writes with a write error\n"
    "  --delay-ms N          answer N ms later\n"
    "  --jitter-ms N         answer up to N ms later still, drawn per answer\n"
    "  --silent              answer nothing at all\n"
    "  --ignore CODE         neither acknowledge nor answer this command (repeatable)\n"
    "  --short-krvw-address  answer KRVW requests from the short (8-bit) address\n"
    "  --not-compatible      answer every upload block with status 4\n"
    "  --install-status S    answer the next install with status S before the real check (repeatable)\n"
    "  --reject-install      refuse every install as a wrong checksum and fall back to the old firmware\n"
    "  --hang-up-after CODE  hang up right after answering this command, e.g. CFLUD (repeatable; when\n"
    "                        dialling, call back RestartMs later)\n"
    "  --hang-up R           hang up right after this fraction of the answers\n"
    "Output:\n"
    "  --save-image FILE     write the installed image (unscrambled) to FILE after every install\n"
    "  --quiet               no line per request (install summaries are still printed)\n"
    "  --help                this text\n"
    "  --version             the program's version\n";

[[noreturn]] void Fail(const std::string& Text) {
  std::fprintf(stderr, "vornik-sim: %s\n", Text.c_str());
  std::exit(2);
}

template <typename T>
T Number(std::string_view Option, const char* Text) {
  T value{};
  const std::string_view s(Text);
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || p != s.data() + s.size())
    Fail("bad value for " + std::string(Option) + ": " + std::string(s));
  return value;
}

double Rate(std::string_view Option, const char* Text) {
  // The C library's locale plays no part: "0.1" is a tenth in every environment.
  const auto v = vornik::ParseDecimal(Text);
  if (!v || !(*v >= 0 && *v <= 1)) Fail("bad value for " + std::string(Option) + " (a fraction 0..1): " + Text);
  return *v;
}

void Parse(int argc, char** argv, TOptions& O, TSimDeviceConfig& C, TSimFaults& F) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Fail("missing value after " + std::string(a));
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      std::exit(0);
    } else if (a == "--version") {
      std::fputs("vornik-sim " VORNIK_VERSION "\n", stdout);
      std::exit(0);
    } else if (a == "--port") {
      O.Port = Number<int>(a, value());
      if (O.Port < 1 || O.Port > 65535) Fail("--port must be 1..65535");
    } else if (a == "--no-tcp") {
      O.Tcp = false;
    } else if (a == "--connect") {
      std::string v = value();
      const auto colon = v.rfind(':');
      if (colon == std::string::npos || colon == 0) Fail("--connect needs HOST:PORT");
      O.ConnectHost = v.substr(0, colon);
      if (O.ConnectHost.size() > 2 && O.ConnectHost.front() == '[' && O.ConnectHost.back() == ']')
        O.ConnectHost = O.ConnectHost.substr(1, O.ConnectHost.size() - 2);
      const std::string port = v.substr(colon + 1);
      O.ConnectPort = Number<int>(a, port.c_str());
      if (O.ConnectPort < 1 || O.ConnectPort > 65535) Fail("--connect: the port must be 1..65535");
    } else if (a == "--announce") {
      O.Announce = true;
    } else if (a == "--pty") {
      O.Pty = true;
    } else if (a == "--baud") {
      O.Baud = Number<int>(a, value());
      if (O.Baud < 0) Fail("--baud must not be negative");
    } else if (a == "--address") {
      C.Address = Number<uint32_t>(a, value());
    } else if (a == "--bus") {
      O.Bus = Number<int>(a, value());
      if (O.Bus < 1 || O.Bus > 1000) Fail("--bus must be 1..1000");
    } else if (a == "--bootloader") {
      C.StartInBootloader = true;
    } else if (a == "--refuse-blocks") {
      C.FirmwareAcceptsBlocks = false;
    } else if (a == "--cpu-type") {
      C.CPUType = Number<uint8_t>(a, value());
    } else if (a == "--rx-buffer") {
      C.RxBufLen = Number<uint16_t>(a, value());
    } else if (a == "--device-type") {
      C.DeviceType = Number<uint8_t>(a, value());
    } else if (a == "--name") {
      C.DeviceName = value();
    } else if (a == "--build-id") {
      C.BuildID = value();
      if (C.BuildID.size() != 5) Fail("--build-id must be 5 characters");
    } else if (a == "--turnaround-ms") {
      C.TurnaroundMs = Number<int64_t>(a, value());
    } else if (a == "--restart-ms") {
      C.RestartMs = Number<int64_t>(a, value());
    } else if (a == "--erase-ms") {
      C.EraseMs = Number<int64_t>(a, value());
    } else if (a == "--program-flash") {
      C.ProgramFlashBytes = Number<uint32_t>(a, value());
    } else if (a == "--flash-pages") {
      C.FlashPages = Number<uint32_t>(a, value());
      if (C.FlashPages == 0 || C.FlashPages > 65536) Fail("--flash-pages must be 1..65536");
    } else if (a == "--page-size") {
      C.FlashPageSize = Number<uint32_t>(a, value());
      if (C.FlashPageSize != 264 && C.FlashPageSize != 528) Fail("--page-size must be 264 or 528");
    } else if (a == "--seed") {
      F.Seed = Number<uint32_t>(a, value());
    } else if (a == "--drop-in") {
      F.DropIn = Rate(a, value());
    } else if (a == "--drop-out") {
      F.DropOut = Rate(a, value());
    } else if (a == "--corrupt") {
      F.CorruptOut = Rate(a, value());
    } else if (a == "--nack") {
      F.Nack = Rate(a, value());
    } else if (a == "--block-errors") {
      F.BlockWriteErrors = Rate(a, value());
    } else if (a == "--page-errors") {
      F.PageWriteErrors = Rate(a, value());
    } else if (a == "--delay-ms") {
      F.DelayMs = Number<int64_t>(a, value());
    } else if (a == "--jitter-ms") {
      F.DelayJitterMs = Number<int64_t>(a, value());
    } else if (a == "--silent") {
      F.Silent = true;
    } else if (a == "--ignore") {
      F.IgnoreCommands.insert(value());
    } else if (a == "--short-krvw-address") {
      F.ShortKRVWAddress = true;
    } else if (a == "--not-compatible") {
      F.NotCompatible = true;
    } else if (a == "--install-status") {
      F.InstallStatuses.push_back(Number<uint8_t>(a, value()));
    } else if (a == "--reject-install") {
      F.RejectInstall = true;
    } else if (a == "--hang-up-after") {
      const std::string code = value();
      if (code.size() != 5) Fail("--hang-up-after needs a five-letter command code");
      F.HangUpAfter.insert(code);
    } else if (a == "--hang-up") {
      F.HangUp = Rate(a, value());
    } else if (a == "--save-image") {
      O.SaveImage = value();
    } else if (a == "--quiet") {
      O.Quiet = true;
    } else {
      Fail("unknown option " + std::string(a) + " (see --help)");
    }
  }
  if (O.Announce && O.ConnectHost.empty()) Fail("--announce is for --connect");
  if (O.Bus > 1 && !O.ConnectHost.empty()) Fail("--bus is for a listening line; a dialling device is one device");
  if (O.Bus > 1 && uint64_t{C.Address} + static_cast<uint64_t>(O.Bus) - 1 > 0xFFFFFFFEull)
    Fail("--bus: the addresses would pass 4294967294");
  if (!O.ConnectHost.empty()) O.Tcp = false;  // the device dials; it listens on no port
  if (!O.Tcp && !O.Pty && O.ConnectHost.empty()) Fail("--no-tcp without --pty leaves no link");
  if (C.TurnaroundMs < 0 || C.RestartMs < 0 || C.EraseMs < 0 || F.DelayMs < 0 || F.DelayJitterMs < 0)
    Fail("times must not be negative");
}

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] const auto n = ::write(signalPipe[1], &c, 1);
}

/// The pseudo-terminal: the master side is ours, the slave is what the program opens.
class TPty {
 public:
  bool Open(std::string& Path, std::string& Error) {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      Error = std::strerror(errno);
      return false;
    }
    // Raw bytes both ways: no echo, no line editing, no character translation.
    termios t{};
    if (::tcgetattr(slave_, &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(slave_, TCSANOW, &t);
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    Path = name;
    return true;
  }
  ~TPty() {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }
  int Master() const { return master_; }

 private:
  int master_ = -1;
  int slave_ = -1;  ///< kept open so the master never reads a hang-up while no program has the port
};

}  // namespace

int main(int argc, char** argv) {
  TOptions opt;
  TSimDeviceConfig config;
  TSimFaults faults;
  Parse(argc, argv, opt, config, faults);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  QCoreApplication app(argc, argv);
  QElapsedTimer clock;
  clock.start();
  auto now = [&clock] { return static_cast<int64_t>(clock.elapsed()); };

  vornik::TSimBus bus(opt.Bus, config, faults);
  TSimDevice& device = bus.Device(0);  // the dialling device (--connect serves just one)
  enum class TLine { None, Tcp, Pty } line = TLine::None;
  QTcpSocket* client = nullptr;
  TPty pty;
  std::string ptyOut;          // bytes waiting for the paced serial line
  double ptyCredit = 0;        // bytes the line could carry since the last write
  int64_t ptyLastMs = 0;
  QTimer ptyPace;
  ptyPace.setTimerType(Qt::PreciseTimer);
  ptyPace.setInterval(1);

  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  auto rearm = [&] {
    const auto next = bus.NextWakeMs();
    if (!next) {
      wake.stop();
      return;
    }
    wake.start(static_cast<int>(std::max<int64_t>(0, *next - now())));
  };
  // The dialling side (--connect).
  std::unique_ptr<vornik::TSimDialIn> dial;
  if (!opt.ConnectHost.empty()) dial = std::make_unique<vornik::TSimDialIn>(device, opt.Announce);
  QTcpSocket* dialled = nullptr;  // the connection being dialled or up
  QTimer redial;
  redial.setSingleShot(true);
  std::function<void()> dialNow;
  auto armRedial = [&] {
    if (!dial) return;
    if (const auto at = dial->RedialAtMs()) redial.start(static_cast<int>(std::max<int64_t>(0, *at - now())));
  };
  // Ends the dialled connection from our side; what was written still goes out first.
  // Closes a connection once what was written has gone out, and frees the socket then.
  auto closeAfterFlush = [&](QTcpSocket* s) {
    s->disconnect();
    s->flush();
    s->disconnectFromHost();
    if (s->state() == QAbstractSocket::UnconnectedState)
      s->deleteLater();
    else
      QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
    bus.LinkDown();
  };
  auto hangUp = [&] {
    QTcpSocket* s = dialled;
    dialled = nullptr;
    if (client == s) client = nullptr;
    if (line == TLine::Tcp) line = TLine::None;
    closeAfterFlush(s);
  };
  // Listening: the device hung up after an answer (a fault); what was written goes out first.
  auto hangUpListened = [&] {
    if (dial || !bus.TakeHangUp() || client == nullptr || line != TLine::Tcp) return;
    std::printf("vornik-sim: answered, hanging up (fault)\n");
    QTcpSocket* s = client;
    client = nullptr;
    line = TLine::None;
    closeAfterFlush(s);
  };
  auto afterDevice = [&] {
    hangUpListened();
    if (dial && dialled != nullptr && client == dialled && dial->HangUpDue(now())) {
      std::printf("vornik-sim: restarting: hung up, dialling again in %lld ms\n",
                  static_cast<long long>(*dial->RedialAtMs() - now()));
      hangUp();
      armRedial();
    }
  };
  QObject::connect(&wake, &QTimer::timeout, [&] {
    bus.Tick(now());
    afterDevice();
    rearm();
  });

  auto flushPty = [&] {
    if (ptyOut.empty()) {
      ptyPace.stop();
      return;
    }
    std::size_t n = ptyOut.size();
    if (opt.Baud > 0) {
      const int64_t t = now();
      ptyCredit += static_cast<double>(t - ptyLastMs) * opt.Baud / 10000.0;
      ptyLastMs = t;
      n = std::min(n, static_cast<std::size_t>(ptyCredit));
      ptyCredit -= static_cast<double>(n);
    }
    if (n > 0) {
      const ssize_t w = ::write(pty.Master(), ptyOut.data(), n);
      if (w > 0) ptyOut.erase(0, static_cast<std::size_t>(w));
    }
    if (ptyOut.empty()) {
      ptyPace.stop();
    } else if (!ptyPace.isActive()) {
      ptyPace.start();
    }
  };
  QObject::connect(&ptyPace, &QTimer::timeout, flushPty);

  bus.OnOutput = [&](std::string_view Frame) {
    if (line == TLine::Tcp && client != nullptr) {
      client->write(Frame.data(), static_cast<qint64>(Frame.size()));
    } else if (line == TLine::Pty) {
      if (ptyOut.empty()) {
        // An idle line starts clocking out now, with one byte's time in hand.
        ptyLastMs = now();
        ptyCredit = 1;
      }
      ptyOut.append(Frame);
      flushPty();
    }
  };
  for (std::size_t i = 0; i < bus.Size(); ++i) {
    TSimDevice& d = bus.Device(i);
    // On a bus every line names the device it comes from.
    const std::string who = bus.Size() > 1 ? "[" + std::to_string(d.Config.Address) + "] " : std::string();
    d.OnRequest = [&opt, who](const std::string& Line) {
      if (!opt.Quiet) std::printf("%s%s\n", who.c_str(), Line.c_str());
    };
    d.OnInstalled = [&opt, &d, who](const vornik::TSimInstall& I) {
      std::printf("%s%s\n", who.c_str(), I.Summary().c_str());
      if (opt.SaveImage.empty()) return;
      try {
        vornik::WriteWholeFile(opt.SaveImage, d.InstalledImage());
        std::printf("Installed image saved to %s (%zu bytes, unscrambled)\n", opt.SaveImage.c_str(),
                    d.InstalledImage().size());
      } catch (const std::exception& e) {
        std::printf("Cannot save the installed image to %s: %s\n", opt.SaveImage.c_str(), e.what());
      }
    };
  }

  if (bus.Size() > 1) {
    std::printf("vornik-sim: bus of %zu devices, addresses %u..%u, %s runs\n", bus.Size(), config.Address,
                config.Address + static_cast<uint32_t>(bus.Size() - 1),
                config.StartInBootloader ? "the bootloader" : "the firmware");
  } else {
    std::printf("vornik-sim: device %u (KRV address %u), %s runs\n", config.Address, config.Address & 0xFF,
                config.StartInBootloader ? "the bootloader" : "the firmware");
  }
  const uint32_t low = config.Address & 0xFF;
  if (low == 0 || low >= 250)
    std::printf("vornik-sim: warning: KRV frames from address %u are refused by the PC; use KRVW\n", low);
  if (config.Address > 0 && config.Address <= 255 && config.Address != 250)
    std::printf("vornik-sim: warning: KRVW frames from a short address are refused by the PC; use KRV\n");

  QTcpServer server;
  if (opt.Tcp) {
    if (!server.listen(QHostAddress::LocalHost, static_cast<quint16>(opt.Port))) {
      std::fprintf(stderr, "vornik-sim: cannot listen on 127.0.0.1:%d: %s\n", opt.Port,
                   server.errorString().toLocal8Bit().constData());
      return 1;
    }
    std::printf("vornik-sim: listening on 127.0.0.1:%d\n", opt.Port);
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
      while (QTcpSocket* s = server.nextPendingConnection()) {
        if (client != nullptr) {
          std::printf("vornik-sim: a new connection replaces the old one\n");
          QTcpSocket* old = client;
          client = nullptr;
          old->disconnect();
          old->abort();
          old->deleteLater();
          bus.LinkDown();
        }
        client = s;
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        bus.LinkUp();
        std::printf("vornik-sim: connection from %s:%u\n", s->peerAddress().toString().toLocal8Bit().constData(),
                    static_cast<unsigned>(s->peerPort()));
        QObject::connect(s, &QTcpSocket::readyRead, [&, s] {
          const QByteArray bytes = s->readAll();
          line = TLine::Tcp;
          bus.Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), now());
          afterDevice();
          rearm();
        });
        QObject::connect(s, &QTcpSocket::disconnected, [&, s] {
          if (client != s) return;
          std::printf("vornik-sim: connection closed\n");
          client = nullptr;
          if (line == TLine::Tcp) line = TLine::None;
          bus.LinkDown();
          s->deleteLater();
          rearm();
        });
      }
    });
  }

  QSocketNotifier* ptyReader = nullptr;
  if (opt.Pty) {
    std::string path, error;
    if (!pty.Open(path, error)) {
      std::fprintf(stderr, "vornik-sim: cannot create a pseudo-terminal: %s\n", error.c_str());
      return 1;
    }
    std::printf("vornik-sim: serial line on %s (%d baud)\n", path.c_str(), opt.Baud);
    ptyReader = new QSocketNotifier(pty.Master(), QSocketNotifier::Read, &app);
    QObject::connect(ptyReader, &QSocketNotifier::activated, [&] {
      char buf[4096];
      const ssize_t n = ::read(pty.Master(), buf, sizeof buf);
      if (n <= 0) return;  // nothing, or the program closed its side for now
      line = TLine::Pty;
      bus.Feed(std::string_view(buf, static_cast<std::size_t>(n)), now());
      rearm();
    });
  }

  if (dial) {
    auto lost = [&](QTcpSocket* s, const char* why) {
      if (s != dialled) return;
      std::printf("vornik-sim: %s; dialling again in %lld ms\n", why, static_cast<long long>(dial->RetryMs));
      const bool wasUp = client == s;
      hangUp();
      if (!wasUp) bus.LinkUp();  // it never was down: only the dial failed
      dial->Lost(now());
      armRedial();
      rearm();
    };
    dialNow = [&, lost] {
      QTcpSocket* s = new QTcpSocket(&app);
      dialled = s;
      QObject::connect(s, &QTcpSocket::connected, [&, s] {
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        client = s;
        line = TLine::Tcp;
        const std::string first = dial->Connected(now());
        std::printf("vornik-sim: connected to %s:%d%s\n", opt.ConnectHost.c_str(), opt.ConnectPort,
                    first.empty() ? "" : ", announce frame sent");
        if (!first.empty()) s->write(first.data(), static_cast<qint64>(first.size()));
      });
      QObject::connect(s, &QTcpSocket::readyRead, [&, s] {
        const QByteArray bytes = s->readAll();
        if (client != s) return;
        bus.Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), now());
        afterDevice();
        rearm();
      });
      QObject::connect(s, &QTcpSocket::disconnected, [lost, s] { lost(s, "the PC ended the connection"); });
      QObject::connect(s, &QTcpSocket::errorOccurred, [lost, s](QAbstractSocket::SocketError) {
        lost(s, "connection failed or lost");
      });
      s->connectToHost(QString::fromStdString(opt.ConnectHost), static_cast<quint16>(opt.ConnectPort));
    };
    QObject::connect(&redial, &QTimer::timeout, [&] {
      if (dialled == nullptr) dialNow();
    });
    std::printf("vornik-sim: dialling %s:%d\n", opt.ConnectHost.c_str(), opt.ConnectPort);
    dialNow();
  }

  // Signals reach the event loop through a pipe, so shutting down happens outside the handler.
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) Fail("cannot create the signal pipe");
  QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
    char c;
    [[maybe_unused]] const auto n = ::read(signalPipe[0], &c, 1);
    app.quit();
  });
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);

  const int rc = QCoreApplication::exec();
  if (dialled != nullptr) {
    dialled->disconnect();
    dialled->abort();
  } else if (client != nullptr) {
    client->abort();
  }
  server.close();
  int requests = 0, installs = 0;
  std::size_t bytesOut = 0;
  for (std::size_t i = 0; i < bus.Size(); ++i) {
    requests += bus.Device(i).Counters.Requests;
    installs += bus.Device(i).Installs();
    bytesOut += bus.Device(i).Counters.BytesOut;
  }
  std::printf("vornik-sim: stopped after %d requests (%zu bytes in, %zu bytes out), %d installs\n", requests,
              device.Counters.BytesIn, bytesOut, installs);
  return rc;
}
