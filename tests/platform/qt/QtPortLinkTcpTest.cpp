// TCP client links against a small peer in the same process on 127.0.0.1.
#include <gtest/gtest.h>

#include <QTcpServer>
#include <QTcpSocket>
#include <memory>
#include <vector>

#include "QtTestSupport.h"
#include "platform/qt/QtPortLink.h"

namespace vornik {
namespace {

using testing::EnsureQtApp;
using testing::SpinUntil;

/// Records what a link reports.
struct LinkEvents {
  int connects = 0;
  int disconnects = 0;
  std::vector<int> errors;
  std::string data;
  void Attach(PortLink& link) {
    link.onConnect = [this] { ++connects; };
    link.onDisconnect = [this] { ++disconnects; };
    link.onError = [this](int code) { errors.push_back(code); };
    link.onData = [this](std::string_view bytes) { data.append(bytes); };
  }
};

class QtPortLinkTcpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApp();
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&server, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* s = server.nextPendingConnection()) peers.push_back(s);
    });
  }
  void ConnectLink() {
    events.Attach(link);
    link.openTcp("127.0.0.1", server.serverPort());
    ASSERT_TRUE(link.isOpen());  // connecting counts as open
    ASSERT_TRUE(SpinUntil([&] { return events.connects == 1 && peers.size() == 1; }));
  }
  std::string PeerReadAtLeast(std::size_t n) {
    std::string got;
    SpinUntil([&] {
      got += peers[0]->readAll().toStdString();
      return got.size() >= n;
    });
    return got;
  }

  QTcpServer server;
  std::vector<QTcpSocket*> peers;
  QtPortLink link;
  LinkEvents events;
};

TEST_F(QtPortLinkTcpTest, RequestAnswerExchangesWithLowDelay) {
  ConnectLink();
  ASSERT_NE(link.tcpSocket(), nullptr);
  EXPECT_EQ(link.tcpSocket()->socketOption(QAbstractSocket::LowDelayOption).toInt(), 1);

  // The peer answers every request with "A" + request, like a device answering a command.
  QTcpSocket* peer = peers[0];
  QObject::connect(peer, &QTcpSocket::readyRead, [peer] { peer->write("A" + peer->readAll()); });
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (int i = 0; i < 20; ++i) {
    const std::string request = std::to_string(i) + all.substr(static_cast<std::size_t>(i * 12), 12);
    events.data.clear();
    link.write(request);
    ASSERT_TRUE(SpinUntil([&] { return events.data.size() >= request.size() + 1; })) << i;
    EXPECT_EQ(events.data, "A" + request) << i;
  }
  EXPECT_EQ(link.bytesToWrite(), 0u);
  EXPECT_TRUE(events.errors.empty());
  EXPECT_EQ(events.disconnects, 0);
}

TEST_F(QtPortLinkTcpTest, PeerHangUpIsADisconnectNotAnError) {
  ConnectLink();
  peers[0]->write("last words");
  peers[0]->flush();
  peers[0]->disconnectFromHost();
  ASSERT_TRUE(SpinUntil([&] { return events.disconnects == 1; }));
  EXPECT_EQ(events.data, "last words");
  EXPECT_TRUE(events.errors.empty());
  EXPECT_FALSE(link.isOpen());
  EXPECT_THROW(link.write("x"), EPortError);
  testing::SpinFor(20);
  EXPECT_EQ(events.disconnects, 1);
}

TEST_F(QtPortLinkTcpTest, LocalCloseReportsOneDisconnect) {
  ConnectLink();
  link.write("bye");
  link.close();
  EXPECT_EQ(events.disconnects, 1);  // reported from inside close()
  EXPECT_FALSE(link.isOpen());
  EXPECT_EQ(PeerReadAtLeast(3), "bye");  // what was written before close still goes out
  ASSERT_TRUE(SpinUntil([&] { return peers[0]->state() == QAbstractSocket::UnconnectedState; }));
  link.close();
  testing::SpinFor(20);
  EXPECT_EQ(events.disconnects, 1);
  EXPECT_TRUE(events.errors.empty());
}

TEST_F(QtPortLinkTcpTest, RefusedConnectionIsAnError) {
  QTcpServer closed;
  ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
  const quint16 port = closed.serverPort();
  closed.close();
  events.Attach(link);
  link.openTcp("127.0.0.1", port);
  ASSERT_TRUE(SpinUntil([&] { return !events.errors.empty(); }));
  EXPECT_EQ(events.errors, std::vector<int>{10061});
  EXPECT_EQ(events.connects, 0);
  EXPECT_EQ(events.disconnects, 0);
  EXPECT_FALSE(link.isOpen());
}

TEST_F(QtPortLinkTcpTest, BadPortNumbersAreRefusedAtOnce) {
  EXPECT_THROW(link.openTcp("127.0.0.1", 0), EPortError);
  EXPECT_THROW(link.openTcp("127.0.0.1", 70000), EPortError);
  EXPECT_FALSE(link.isOpen());
}

TEST_F(QtPortLinkTcpTest, OnePortObjectOpensEitherWay) {
  ConnectLink();
  // Re-opening as serial drops the TCP connection first.
  try {
    link.openSerial(7, 115200);
  } catch (const EPortError&) {
  }
  EXPECT_EQ(events.disconnects, 1);
  EXPECT_EQ(link.tcpSocket(), nullptr);
  // And back to TCP on the same object.
  link.openTcp("127.0.0.1", server.serverPort());
  ASSERT_TRUE(SpinUntil([&] { return events.connects == 2 && peers.size() == 2; }));
  link.write("again");
  QTcpSocket* second = peers[1];
  std::string got;
  ASSERT_TRUE(SpinUntil([&] {
    got += second->readAll().toStdString();
    return got == "again";
  }));
}

TEST_F(QtPortLinkTcpTest, OutputBeyondTheBufferSizeIsRefusedOnceTheSocketBacksUp) {
  // The peer does not read: the system's socket buffers fill first (they are not counted), then
  // Qt's own buffer grows until a write would take it past the limit.
  ConnectLink();
  link.setOutBufferSize(65536);
  const std::string chunk(16384, 'z');
  std::size_t accepted = 0;
  std::string refusal;
  while (refusal.empty() && accepted < (256u << 20)) {
    try {
      link.write(chunk);
      accepted += chunk.size();
    } catch (const EPortError& e) {
      refusal = e.what();
    }
  }
  ASSERT_FALSE(refusal.empty()) << accepted;
  EXPECT_NE(refusal.find("Output buffer full"), std::string::npos) << refusal;
  EXPECT_GT(link.bytesToWrite() + chunk.size(), 65536u);
  EXPECT_LE(link.bytesToWrite(), 65536u);
  EXPECT_TRUE(link.isOpen());
  EXPECT_TRUE(events.errors.empty());
  const std::string got = PeerReadAtLeast(accepted);
  EXPECT_EQ(got.size(), accepted);
}

TEST_F(QtPortLinkTcpTest, HandlerMayCloseOrDestroyTheLink) {
  ConnectLink();
  link.onData = [this](std::string_view) { link.close(); };
  peers[0]->write("x");
  ASSERT_TRUE(SpinUntil([&] { return !link.isOpen(); }));
  EXPECT_EQ(events.disconnects, 1);

  auto owned = std::make_unique<QtPortLink>();
  owned->onConnect = [&] { owned.reset(); };
  owned->openTcp("127.0.0.1", server.serverPort());
  ASSERT_TRUE(SpinUntil([&] { return owned == nullptr; }));
  testing::SpinFor(20);
}

}  // namespace
}  // namespace vornik
