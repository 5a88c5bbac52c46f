// Helper process for the port-in-use test: opens the serial device named on the command line as
// COM1 through QtPortLink, prints "open" (or the failure text), and keeps the port until its
// standard input closes.
#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <unistd.h>

#include "platform/qt/QtPortLink.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2) return 2;
  vornik::QtPortLink link({{1, argv[1]}});
  try {
    link.openSerial(1, 115200);
  } catch (const vornik::EPortError& e) {
    std::printf("%s\n", e.what());
    return 1;
  }
  std::printf("open\n");
  std::fflush(stdout);
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char c;
    if (::read(STDIN_FILENO, &c, 1) <= 0) app.quit();
  });
  return app.exec();
}
