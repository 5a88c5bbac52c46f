// The engine on Qt's loop over real links: a TCP connection to a device on 127.0.0.1 and a serial
// line over a pseudo-terminal reached through the COM mapping. Bounds are generous; the timing
// rules themselves are tested on the virtual loop.
#include <gtest/gtest.h>

#include <QSocketNotifier>
#include <algorithm>
#include <optional>

#include "platform/qt/PseudoTerminal.h"
#include "platform/qt/QtTestSupport.h"
#include "comms/KRVComms.h"
#include "platform/qt/EchoDevice.h"
#include "platform/qt/QtEventLoop.h"
#include "platform/qt/QtPortLink.h"
#include "platform/qt/QtServerSocket.h"

namespace vornik {
namespace {

using testing::EchoDevice;
using testing::EnsureQtApp;
using testing::PseudoTerminal;
using testing::SpinUntil;

constexpr uint32_t kDevice = 5;

struct TResult {
  std::string S;
  uint16_t ErrorCode = 0xFFFF;
};

/// Sends one CSYSI-style request and keeps its one result.
std::shared_ptr<std::vector<TResult>> Ask(TKRVComms& comms, const std::string& pck, const std::string& ans) {
  auto results = std::make_shared<std::vector<TResult>>();
  auto* item = new TKuldendo(pck, kDevice);
  item->Ans = ans;
  item->OnResult = [results](TKRVComms*, const std::string& S, uint16_t ErrorCode, int32_t, int32_t) {
    results->push_back({S, ErrorCode});
  };
  item->SendWith(&comms);
  return results;
}

/// A device answering on a TCP server socket.
class TcpDevice {
 public:
  TcpDevice() {
    server.onAccept = [this](ServerConnection&) { ++accepts; };
    server.onData = [this](ServerConnection& c, std::string_view bytes) {
      const std::string reply = device.Feed(bytes);
      if (!reply.empty() && answering) c.write(reply);
    };
    server.listen(0, "127.0.0.1");
  }
  QtServerSocket server;
  EchoDevice device{kDevice};
  int accepts = 0;
  bool answering = true;
};

/// A device answering on the master side of a pseudo-terminal.
class PtyDevice {
 public:
  explicit PtyDevice(PseudoTerminal& pty) : pty_(pty), notifier_(pty.masterFd(), QSocketNotifier::Read) {
    QObject::connect(&notifier_, &QSocketNotifier::activated, [this] {
      const std::string reply = device.Feed(pty_.ReadNew());
      if (!reply.empty()) pty_.Send(reply);
    });
  }
  EchoDevice device{kDevice};

 private:
  PseudoTerminal& pty_;
  QSocketNotifier notifier_;
};

class KRVCommsRealIoTest : public ::testing::Test {
 protected:
  void SetUp() override { EnsureQtApp(); }
  void MakeEngine(TSerialPortMap map = {}) {
    links.setSerialPortMap(std::move(map));
    comms.emplace(QtEventLoop::instance(), links);
    comms->KRVAddress = kDevice;
    comms->QuickReconnect = true;
    comms->OnConnect = [this](TKRVComms*) { ++connects; };
    comms->OnDisConnect = [this](TKRVComms*) { ++disconnects; };
  }
  void TearDown() override {
    if (comms) comms->SetActive(false);
    comms.reset();
  }

  QtPortLinkFactory links;
  std::optional<TKRVComms> comms;
  int connects = 0;
  int disconnects = 0;
};

TEST_F(KRVCommsRealIoTest, ExchangesOverTcpAndReconnectsAfterTheDeviceHangsUp) {
  TcpDevice peer;
  MakeEngine();
  comms->Host = "127.0.0.1";
  comms->Port = peer.server.port();
  comms->SetActive(true);
  ASSERT_TRUE(SpinUntil([&] { return comms->LinkUp(); }));
  EXPECT_EQ(connects, 1);

  for (int i = 0; i < 20; ++i) {
    const std::string data(static_cast<std::size_t>(i * 13), static_cast<char>(0xF0 + i % 16));
    auto r = Ask(*comms, "CSYSI" + data, "ASYSI");
    ASSERT_TRUE(SpinUntil([&] { return !r->empty(); })) << i;
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ(r->front().ErrorCode, 0) << i;
    EXPECT_EQ(r->front().S, "ASYSI" + data) << i;
  }
  EXPECT_EQ(peer.device.requests(), 20);

  // The device drops the line: the engine notices, opens a new connection and works on.
  peer.server.connections().front()->close();
  ASSERT_TRUE(SpinUntil([&] { return disconnects == 1; }));
  ASSERT_TRUE(SpinUntil([&] { return comms->LinkUp() && peer.accepts == 2; }));
  auto r = Ask(*comms, "CFLRC", "AFLRC");
  ASSERT_TRUE(SpinUntil([&] { return !r->empty(); }));
  EXPECT_EQ(r->front().ErrorCode, 0);
}

TEST_F(KRVCommsRealIoTest, SilentTcpDeviceEndsTheItemWithErrorCode5) {
  TcpDevice peer;
  peer.answering = false;
  MakeEngine();
  comms->Host = "127.0.0.1";
  comms->Port = peer.server.port();
  comms->SetActive(true);
  ASSERT_TRUE(SpinUntil([&] { return comms->LinkUp(); }));
  auto r = Ask(*comms, "CSYSI", "ASYSI");
  ASSERT_TRUE(SpinUntil([&] { return !r->empty(); }));
  EXPECT_EQ(r->front().ErrorCode, 5);
  EXPECT_EQ(peer.device.requests(), 3);  // every try reached the device
}

TEST_F(KRVCommsRealIoTest, ExchangesOverAPseudoTerminalThroughTheComMapping) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok());
  PtyDevice device(pty);
  MakeEngine({{5, pty.slavePath()}});
  comms->Port = 5;
  comms->Baud = 115200;
  comms->SetActive(true);
  ASSERT_TRUE(comms->LinkUp());  // a serial open completes at once
  EXPECT_EQ(connects, 1);
  for (int i = 0; i < 10; ++i) {
    const std::string data(static_cast<std::size_t>(i * 31), static_cast<char>(i));
    auto r = Ask(*comms, "CFLUD" + data, "AFLUD");
    ASSERT_TRUE(SpinUntil([&] { return !r->empty(); })) << i;
    EXPECT_EQ(r->front().ErrorCode, 0) << i;
    EXPECT_EQ(r->front().S, "AFLUD" + data) << i;
  }
}

TEST_F(KRVCommsRealIoTest, OutputPastApdOutSizeEndsItemsWithErrorCode4AndKeepsTheLine) {
  // Nobody reads the device side: packets sent without waiting back up until the port's output
  // buffer (ApdOutSize) refuses one, which ends that item as sent too fast.
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok());
  MakeEngine({{5, pty.slavePath()}});
  comms->Port = 5;
  comms->ApdOutSize = 4096;
  comms->SetActive(true);
  ASSERT_TRUE(comms->LinkUp());
  std::vector<uint16_t> codes;
  const std::string block(256, 'b');
  for (int i = 0; i < 400; ++i) {
    auto* item = new TKuldendo("CFLUL" + block, kDevice);
    item->Options = TKRVSendOptions{psoDontAck, psoDontWait};
    item->OnResult = [&codes](TKRVComms*, const std::string&, uint16_t ErrorCode, int32_t, int32_t) {
      codes.push_back(ErrorCode);
    };
    item->SendWith(&*comms);
  }
  ASSERT_TRUE(SpinUntil([&] { return codes.size() == 400; }, 20000)) << codes.size();
  const auto refused = std::count(codes.begin(), codes.end(), uint16_t{4});
  EXPECT_GT(refused, 0);
  EXPECT_EQ(refused + std::count(codes.begin(), codes.end(), uint16_t{0}), 400);
  EXPECT_TRUE(comms->LinkUp());  // a refused write is no link failure
  EXPECT_EQ(disconnects, 0);
}

TEST_F(KRVCommsRealIoTest, MissingAndBusySerialPortsEndItemsWith11And10) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok());
  QtPortLink holder({{5, pty.slavePath()}});
  holder.openSerial(5, 115200);

  struct Case {
    int port;
    TOpenFailure failure;
    uint16_t code;
  };
  for (const Case c : {Case{7, TOpenFailure::ofNotExists, 11}, Case{5, TOpenFailure::ofInUse, 10}}) {
    MakeEngine({{5, pty.slavePath()}, {7, "/dev/vornik-no-such-port"}});
    comms->Port = c.port;
    comms->SetActive(true);
    EXPECT_FALSE(comms->LinkUp());
    EXPECT_EQ(comms->OpenFailure(), c.failure) << c.port;
    auto r = Ask(*comms, "CSYSI", "ASYSI");
    ASSERT_TRUE(SpinUntil([&] { return !r->empty(); })) << c.port;
    EXPECT_EQ(r->front().ErrorCode, c.code) << c.port;
    comms->SetActive(false);
  }
}

}  // namespace
}  // namespace vornik
