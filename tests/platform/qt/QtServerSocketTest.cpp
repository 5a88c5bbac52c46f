// The listening socket with QtPortLink clients on 127.0.0.1.
#include "platform/qt/QtServerSocket.h"

#include <gtest/gtest.h>

#include <QTcpServer>
#include <map>

#include "QtTestSupport.h"
#include "platform/qt/QtPortLink.h"

namespace vornik {
namespace {

using testing::EnsureQtApp;
using testing::SpinUntil;

class QtServerSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApp();
    server.onAccept = [this](ServerConnection& c) { accepted.push_back(&c); };
    server.onData = [this](ServerConnection& c, std::string_view bytes) { data[&c].append(bytes); };
    server.onClose = [this](ServerConnection& c) { closed.push_back(&c); };
    server.onError = [this](ServerConnection&, int code) { errors.push_back(code); };
    server.listen(0, "127.0.0.1");
    ASSERT_TRUE(server.isListening());
    ASSERT_GT(server.port(), 0);
  }
  /// A client link connected and accepted.
  std::unique_ptr<QtPortLink> Client() {
    auto link = std::make_unique<QtPortLink>();
    const std::size_t before = accepted.size();
    link->openTcp("127.0.0.1", server.port());
    EXPECT_TRUE(SpinUntil([&] { return accepted.size() == before + 1; }));
    return link;
  }

  QtServerSocket server;
  std::vector<ServerConnection*> accepted, closed;
  std::map<ServerConnection*, std::string> data;
  std::vector<int> errors;
};

TEST_F(QtServerSocketTest, AcceptsExchangesAndReportsTheHangUp) {
  auto client = Client();
  std::string answer;
  client->onData = [&](std::string_view bytes) { answer.append(bytes); };
  ServerConnection& c = *accepted[0];
  EXPECT_EQ(c.remoteAddress(), "127.0.0.1");
  ASSERT_NE(client->tcpSocket(), nullptr);
  EXPECT_EQ(c.remotePort(), client->tcpSocket()->localPort());
  EXPECT_TRUE(c.isConnected());
  EXPECT_EQ(server.connections(), std::vector<ServerConnection*>{&c});

  client->write(std::string("\x02hello\x00\x03", 8));
  ASSERT_TRUE(SpinUntil([&] { return data[&c].size() == 8; }));
  EXPECT_EQ(data[&c], std::string("\x02hello\x00\x03", 8));
  c.write("answer");
  ASSERT_TRUE(SpinUntil([&] { return answer == "answer"; }));

  int ownData = 0;
  c.userData = &ownData;
  client->close();
  ASSERT_TRUE(SpinUntil([&] { return closed.size() == 1; }));
  EXPECT_EQ(closed[0], &c);
  EXPECT_TRUE(server.connections().empty());
  EXPECT_TRUE(errors.empty());
  testing::SpinFor(20);
  EXPECT_EQ(closed.size(), 1u);
}

TEST_F(QtServerSocketTest, ClosingFromAHandlerEndsTheConnectionOnce) {
  auto client = Client();
  int clientDisconnects = 0;
  client->onDisconnect = [&] { ++clientDisconnects; };
  std::string addressAfterClose;
  server.onData = [&](ServerConnection& c, std::string_view) {
    c.close();
    addressAfterClose = c.remoteAddress();  // still readable inside the handler
    c.close();                             // a second close does nothing
    EXPECT_THROW(c.write("late"), EPortError);
  };
  client->write("quit");
  ASSERT_TRUE(SpinUntil([&] { return clientDisconnects == 1 && closed.size() == 1; }));
  EXPECT_EQ(addressAfterClose, "127.0.0.1");
  EXPECT_TRUE(server.connections().empty());
  testing::SpinFor(20);
  EXPECT_EQ(closed.size(), 1u);
}

TEST_F(QtServerSocketTest, ClosingTheServerClosesEveryConnectionInOrder) {
  auto a = Client();
  auto b = Client();
  ASSERT_EQ(server.connections().size(), 2u);
  const auto open = server.connections();
  EXPECT_EQ(open, accepted);  // oldest first
  server.close();
  EXPECT_EQ(closed, accepted);
  EXPECT_FALSE(server.isListening());
  EXPECT_EQ(server.port(), 0);
  ASSERT_TRUE(SpinUntil([&] { return !a->isOpen() && !b->isOpen(); }));

  // Listening again works, on the same object.
  server.listen(0, "127.0.0.1");
  auto c = Client();
  EXPECT_EQ(server.connections().size(), 1u);
}

TEST_F(QtServerSocketTest, BusyOrBadListeningPortThrows) {
  QtServerSocket other;
  EXPECT_THROW(other.listen(server.port(), "127.0.0.1"), EPortError);
  EXPECT_FALSE(other.isListening());
  EXPECT_THROW(other.listen(70000), EPortError);
  EXPECT_THROW(other.listen(0, "not an address"), EPortError);
}

TEST_F(QtServerSocketTest, ServerDestroyedWithOpenConnections) {
  auto owned = std::make_unique<QtServerSocket>();
  int closes = 0;
  owned->onClose = [&](ServerConnection&) { ++closes; };
  owned->listen(0, "127.0.0.1");
  QtPortLink client;
  int connects = 0, disconnects = 0;
  client.onConnect = [&] { ++connects; };
  client.onDisconnect = [&] { ++disconnects; };
  client.openTcp("127.0.0.1", owned->port());
  ASSERT_TRUE(SpinUntil([&] { return connects == 1 && owned->connections().size() == 1; }));
  owned.reset();
  EXPECT_EQ(closes, 0);  // a server being destroyed reports nothing
  ASSERT_TRUE(SpinUntil([&] { return disconnects == 1; }));
}

}  // namespace
}  // namespace vornik
