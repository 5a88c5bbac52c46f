// vornik-tool: the firmware file conversions, the frame codec and the device verbs on the command
// line, for scripts and build pipelines. The verbs are in Verbs.h; this file has the usage text
// and the dispatch.
#include <QCoreApplication>
#include <QElapsedTimer>

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "VerbCommon.h"
#include "Verbs.h"
#include "VornikVersion.h"

using namespace vornik;

namespace {

constexpr const char* kUsage =
    "Usage: vornik-tool COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  hex2qob IN [OUT]    convert a HEX file (or a QOB package) into a QOB package;\n"
    "                      OUT defaults to IN with the extension .qob\n"
    "  hex2bin IN [OUT]    write the plain image of a HEX file (or a QOB package) as a BIN file;\n"
    "                      OUT defaults to IN with the extension .bin\n"
    "  info FILE [--json]  what the loader finds in a HEX or QOB file: its information rows, one\n"
    "                      name=value per line, then the start address in hexadecimal, the size,\n"
    "                      the CRC-16 the install command carries, the SHA-256 of the plain image\n"
    "                      and whether it is a bootloader\n"
    "  frame-decode [--mode krv|krvw|both] HEXBYTES...\n"
    "                      decode one frame given as hexadecimal bytes (blanks and colons allowed)\n"
    "  frame-encode [options] (--hex HEXBYTES | --text TEXT)\n"
    "                      encode a payload into a frame and print its bytes in hexadecimal\n"
    "      --krvw            KRVW format (default KRV)\n"
    "      --to N            destination address (default 1)\n"
    "      --from N          source address (default 250)\n"
    "      --short N         KRVW short source address (default 250)\n"
    "      --id N            packet id 0..255 (default 0: KRV picks a random id, KRVW sends 0)\n"
    "      --info KIND       nem_kerek_nyugtat, kerek_nyugtat, pozitiv_nyugta, negativ_nyugta,\n"
    "                        ismetelt_csomag, or its number 0..4 (default nem_kerek_nyugtat)\n"
    "      --asyer           KRVW: set the Enable_ASYER bit\n"
    "      --no-bitmatrix    KRVW: set the Disable_bitmatrix bit\n"
    "      --ext HEXBYTES    KRVW header extension (at most 255 bytes)\n"
    "  ports [--json]      the serial ports present: path, stable /dev/serial/by-id/ name, adapter\n"
    "                      description, maker, serial number, USB vendor:product, latency timer, and\n"
    "                      whether this user may open it (else the group to join)\n"
    "\n"
    "\n"
    "Device commands (CONNECTION is --ip HOST --port N or --serial PATH [--baud B], with\n"
    "[--address A] (default 255), [--settings FILE] (DEBUG and BATCH sections, read only),\n"
    "[--log FILE] (communication log), [--answer-ms T1[,T2,T3]] and [--tries N] (answer times and\n"
    "transmissions instead of the settings file's) and [--json] (the result as one JSON object)):\n"
    "  identify    CONNECTION\n"
    "  restart     CONNECTION\n"
    "  update      CONNECTION --fw FILE [--batched] [--erase-flash] [--bootloader] [--skip-current]\n"
    "  flash-read  CONNECTION --start-page P --length N [--page-size S] [--block-size B] [--turbo]\n"
    "              --out FILE\n"
    "  flash-write CONNECTION --start-page P [--page-size S] [--turbo] [--verify] FILE...\n"
    "  scan        CONNECTION [--addresses LIST]\n"
    "              asks each address of LIST (default 1-254; e.g. 1-30,$40 or 178550-178609) for its\n"
    "              identification and lists those that answered (50 ms, one try unless given)\n"
    "  fleet       --fw FILE [--parallel N] [--batched] [--skip-current] [--settings FILE]\n"
    "              [--log-dir DIR] [--json] DEVICES_FILE\n"
    "  listen      --listen-port N [--bind ADDR] --fw FILE [--address A]... [--count K]\n"
    "              [--idle-timeout S] [--parallel N] [--batched] [--skip-current] [--settings FILE]\n"
    "              [--unidentified-timeout S] [--max-unidentified N] [--max-per-address N]\n"
    "              [--log-dir DIR] [--json]\n"
    "              updates every device that connects in and identifies itself (only the listed\n"
    "              addresses with --address); ends after K devices, after S seconds without a new\n"
    "              one, or on SIGINT/SIGTERM (running updates are aborted)\n"
    "DEVICES_FILE: one HOST:PORT:ADDRESS ([IPv6]:PORT:ADDRESS) or serial:PATH:BAUD:ADDRESS a line;\n"
    "'#' starts a comment. Devices on one serial device are updated one after another on one open\n"
    "port; a device named twice is refused. Exit code of device\n"
    "commands: 0 success, 1 failed after the device answered, 2 bad usage or input file, 3 no link\n"
    "or no answer. Progress goes to standard error.\n"
    "\n"
    "Files named *.qob are read as packages, any other file as Intel HEX; the update verbs take\n"
    "*.hex and *.qob only. A file NAME.sha256 beside a firmware file (as sha256sum writes it) is\n"
    "checked first; hex2qob and hex2bin write one beside their output. Every number (addresses,\n"
    "pages, ports, counts) is decimal, $hexadecimal or 0xhexadecimal. Exit code of the file\n"
    "commands: 0 success, 1 failure, 2 bad usage.\n"
    "  -h, --help          show this text\n"
    "  --version           show the program's version\n";

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer clock;
  clock.start();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::cerr << kUsage;
    return kExitUsage;
  }
  const std::string cmd = args[0];
  args.erase(args.begin());
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    std::cout << kUsage;
    return kExitOk;
  }
  if (cmd == "--version") {
    std::cout << "vornik-tool " VORNIK_VERSION "\n";
    return kExitOk;
  }
  for (const std::string& a : args) {
    if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return kExitOk;
    }
  }
  const TVerb* verb = FindVerb(cmd);
  if (verb == nullptr) {
    // A script that asked for JSON gets its one object also for a verb this program does not know.
    for (const std::string& a : args)
      if (a == "--json") return UsageFailure(cmd, "unknown command; try 'vornik-tool --help'", true, clock);
    std::cerr << "vornik-tool: unknown command: " << cmd << "\nTry 'vornik-tool --help'.\n";
    return kExitUsage;
  }
  if (!verb->Device) {
    try {
      return verb->Run(args, clock);
    } catch (const std::exception& e) {
      std::cerr << e.what() << "\n";
      return kExitFailed;
    }
  }
  // A closed console must not end an update half way; writes to it simply fail.
  std::signal(SIGPIPE, SIG_IGN);
  QCoreApplication app(argc, argv);
  try {
    return verb->Run(args, clock);
  } catch (const std::exception& e) {
    const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
    return Report(json, {}, "failed", e.what(), clock, kExitFailed);
  }
}
