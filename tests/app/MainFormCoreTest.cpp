#include "app/uMainFormCore.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/HexText.h"
#include "app/TestFirmware.h"
#include "testkit/TempDir.h"
#include "app/VornikTexts.h"
#include "app/uCmdLineRun.h"
#include "firmware/uHexfileToStr.h"
#include "sim/SimDevice.h"
#include "testkit/MemoryLink.h"
#include "testkit/SimPeer.h"
#include "testkit/VirtualLoop.h"

namespace vornik {
namespace {

using test::HexText;
using test::ImageWithInfo;
using test::InfoBlock;
using test::ReadAll;
using test::TempDir;
using test::WriteAll;
using testkit::MemoryLinkFactory;
using testkit::VirtualLoop;

class MainFormCoreTest : public ::testing::Test {
 protected:
  MainFormCoreTest() : Links(Loop, nullptr) {}

  // Window or command-line mode, with every output captured.
  std::unique_ptr<TMainFormCore> Make(bool commandLine) {
    auto f = std::make_unique<TMainFormCore>(Loop, Links, Dir.Path("vornik"), commandLine);
    f->ConsoleWrite = [this](std::string_view t) { Console += t; };
    f->OnMessageLine = [this](const std::string& l) { Lines.push_back(l); };
    f->OnMessageBox = [this](const std::string& m) { Boxes.push_back(m); };
    return f;
  }
  std::string File(const std::string& name, const std::string& content) {
    WriteAll(Dir.Path(name), content);
    return Dir.Path(name);
  }

  TempDir Dir;
  VirtualLoop Loop;
  MemoryLinkFactory Links;
  std::string Console;
  std::vector<std::string> Lines;
  std::vector<std::string> Boxes;
};

TEST_F(MainFormCoreTest, FileNamesBesideTheExecutable) {
  auto f = Make(true);
  EXPECT_EQ(f->IniFileName(), Dir.Path("vornik.ini"));
  EXPECT_EQ(f->LogFileName(), Dir.Path("vornik.log"));
  EXPECT_EQ(f->ProgramExitCode, 99);
  EXPECT_EQ(f->KRVCommsCfg.ConnType(), TConnType::ConnTypeSerial);
  EXPECT_EQ(f->KRVCommsCfg.ComPort(), 1);
  EXPECT_EQ(f->KRVCommsCfg.Baudrate(), 115200);
  EXPECT_EQ(f->KRVCommsCfg.KRVAddress(), 255);
  EXPECT_EQ(f->KRVCommsCfg.AddressText(), ":1");
}

TEST_F(MainFormCoreTest, MessagesGoToTheViewOrTheConsole) {
  auto w = Make(false);
  w->LogMessage("a\r\nb");
  w->ReportMessage("Hibás");
  EXPECT_EQ(Lines, (std::vector<std::string>{"a#13#10b", "Hibás"}));
  EXPECT_EQ(Boxes, (std::vector<std::string>{"Hibás"}));
  EXPECT_EQ(Console, "");

  Lines.clear();
  Boxes.clear();
  auto c = Make(true);
  c->LogMessage("a\r\nb\nc");
  c->ReportMessage("Érvénytelen ŐŰ");
  c->ReportMessage("");
  c->OnProcessPercentDone(10);
  c->OnProcessPercentDone(20);
  EXPECT_EQ(Console, "a b_c\nErvenytelen OU\n\n..");
  EXPECT_TRUE(Lines.empty());
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(MainFormCoreTest, MissingFilesAreOnlyLogged) {
  auto f = Make(false);
  f->edFWFile = "";
  EXPECT_FALSE(f->LoadFirmwareFile());
  EXPECT_TRUE(Lines.empty());
  f->edFWFile = Dir.Path("nothere.hex");
  EXPECT_FALSE(f->LoadFirmwareFile());
  std::filesystem::create_directory(Dir.Path("dir.hex"));
  f->edFWFile = Dir.Path("dir.hex");
  EXPECT_FALSE(f->LoadFirmwareFile());
  EXPECT_EQ(Lines, (std::vector<std::string>{"A kiválasztott állomány nem található: " + Dir.Path("nothere.hex"),
                                             "A kiválasztott állomány nem található: " + Dir.Path("dir.hex")}));
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(MainFormCoreTest, RefusedFilesAreReported) {
  auto f = Make(false);
  struct {
    std::string name, content, message;
  } cases[] = {
      {"fw.txt", HexText(0x4000, ImageWithInfo(0x4000, 0x4100)), texts::kNotAFirmware},
      {"fw.bin", "x", texts::kNotAFirmware},
      {"noext", "x", texts::kNotAFirmware},
      {"bad.hex", ":10000000\n", "Hibás hexfájl: "},
      {"nobuild.hex", HexText(0x100, std::string(64, 'A')), texts::kNoInfoBlock},
      {"nobuild.qob", std::string(40, 'A') + "StartAddr:0000000256", texts::kNoInfoBlock},
  };
  for (const auto& c : cases) {
    Boxes.clear();
    f->edFWFile = File(c.name, c.content);
    EXPECT_FALSE(f->LoadFirmwareFile()) << c.name;
    ASSERT_EQ(Boxes.size(), 1u) << c.name;
    EXPECT_EQ(Boxes[0].rfind(c.message, 0), 0u) << c.name << ": " << Boxes[0];
    EXPECT_TRUE(f->FWInfoRows.empty());
  }
}

TEST_F(MainFormCoreTest, FailedLoadForgetsThePreviousFirmware) {
  auto f = Make(false);
  f->edFWFile = File("fw.hex", HexText(0x4000, ImageWithInfo(0x4000, 0x4100)));
  ASSERT_TRUE(f->LoadFirmwareFile());
  f->edFWFile = File("fw.txt", "x");
  EXPECT_FALSE(f->LoadFirmwareFile());
  EXPECT_TRUE(f->Firmware.FWImage.empty());
  EXPECT_FALSE(f->Firmware.FWInfoFound);
  EXPECT_EQ(f->Firmware.FWStartAddr, 0);
  EXPECT_TRUE(f->FWInfoRows.empty());
}

TEST_F(MainFormCoreTest, HexWithInformationBlock) {
  auto f = Make(false);
  const std::string plain = ImageWithInfo(0x4000, 0x4100);
  for (const char* name : {"fw.hex", "fw.HEX", "fw.Hex"}) {
    Lines.clear();
    f->edFWFile = File(name, HexText(0x4000, plain));
    ASSERT_TRUE(f->LoadFirmwareFile()) << name;
    EXPECT_EQ(f->Firmware.FWStartAddr, 0x4000);
    EXPECT_EQ(f->Firmware.FWBuildStr, "Build:12345");
    EXPECT_TRUE(f->Firmware.FWInfoFound);
    EXPECT_FALSE(f->Firmware.IsBootloaderImage);
    std::string unscrambled = f->Firmware.FWImage;
    ScrambleImage(unscrambled, 0x4000);
    EXPECT_EQ(unscrambled, plain);
    EXPECT_NE(f->Firmware.FWImage, plain);
    EXPECT_EQ(Lines.back(), "A betöltött firmware buildszáma: Build:12345");
    ASSERT_GE(f->FWInfoRows.size(), 5u);
    EXPECT_EQ(f->FWInfoRows[0], (TFWInfoRow{"File path", f->edFWFile}));
    EXPECT_EQ(f->FWInfoRows[1], (TFWInfoRow{"Memory address", "16384"}));
    EXPECT_EQ(f->FWInfoRows[2], (TFWInfoRow{"BuildStr", "Build:12345"}));
    EXPECT_EQ(f->FWInfoRows[3], (TFWInfoRow{"CompName", "KRVDEM"}));
    EXPECT_EQ(f->FWInfoRows[4], (TFWInfoRow{"ProjName", "Test project"}));
    EXPECT_EQ(f->FWInfoRows.back().Name, "Pin1_485");
  }
}

TEST_F(MainFormCoreTest, BuildStringOutsideTheBlockGivesTheSingleBuildRow) {
  auto f = Make(false);
  std::string img(0x200, '\x22');
  img.replace(0x40, 11, "Build:ABCDE");
  f->edFWFile = File("fw.hex", HexText(0x10000, img));
  ASSERT_TRUE(f->LoadFirmwareFile());
  EXPECT_FALSE(f->Firmware.FWInfoFound);
  EXPECT_EQ(f->FWInfoRows, (std::vector<TFWInfoRow>{{"File path", f->edFWFile},
                                                    {"Memory address", "65536"},
                                                    {"BuildStr", "Build:ABCDE"}}));
}

TEST_F(MainFormCoreTest, BootloaderRecognitionByVectorTable) {
  auto f = Make(false);
  // First eight little-endian words sum to 0 modulo 2^32.
  std::string boot(0x9000, '\x33');
  const uint32_t words[8] = {0x10000000, 0x20000000, 0x30000000, 0x40000000, 0x50000000, 0x60000000, 0x70000000, 0x80000000};
  uint32_t sum = 0;
  for (int i = 0; i < 8; ++i) {
    uint32_t w = i < 7 ? words[i] : 0u - sum;
    sum += w;
    for (int b = 0; b < 4; ++b) boot[static_cast<std::size_t>(i * 4 + b)] = static_cast<char>(w >> (8 * b));
  }
  boot.replace(0x8000, 83, InfoBlock());
  f->edFWFile = File("boot.hex", HexText(0, boot));
  ASSERT_TRUE(f->LoadFirmwareFile());
  EXPECT_TRUE(f->Firmware.IsBootloaderImage);

  std::string notBoot = boot;
  notBoot[0] ^= 1;
  f->edFWFile = File("app.hex", HexText(0, notBoot));
  ASSERT_TRUE(f->LoadFirmwareFile());
  EXPECT_FALSE(f->Firmware.IsBootloaderImage);

  // The same bytes at another address are never a bootloader.
  f->edFWFile = File("high.hex", HexText(0x100000, boot.substr(0, 0x100) + "Build:00001"));
  ASSERT_TRUE(f->LoadFirmwareFile());
  EXPECT_FALSE(f->Firmware.IsBootloaderImage);
}

TEST_F(MainFormCoreTest, QobPackageAtAddressZeroLogsTheChecksumLine) {
  auto f = Make(false);
  std::string plain(64, '\0');  // vector words all zero: a bootloader image
  std::string scrambled = plain;
  ScrambleImage(scrambled, 0);
  f->edFWFile = File("p.qob", scrambled + "Build:77777" + "StartAddr:0000000000");
  ASSERT_TRUE(f->LoadFirmwareFile());
  EXPECT_TRUE(f->Firmware.IsBootloaderImage);
  EXPECT_EQ(f->Firmware.FWImage, scrambled);
  EXPECT_EQ(f->Firmware.FWBuildStr, "Build:77777");
  EXPECT_TRUE(Boxes.empty());
  ASSERT_GE(Lines.size(), 2u);
  EXPECT_EQ(Lines[0].rfind("Checksum: [$", 0), 0u) << Lines[0];
  EXPECT_NE(Lines[0].find("] $" + std::string(64, '0') + " = 0"), std::string::npos) << Lines[0];
  EXPECT_EQ(f->FWInfoRows, (std::vector<TFWInfoRow>{{"File path", f->edFWFile},
                                                    {"Memory address", "0"},
                                                    {"BuildStr", "Build:77777"}}));
}

TEST_F(MainFormCoreTest, ApplyIniSettingsCompletesTheFileAndFeedsEngineAndUploader) {
  auto f = Make(true);
  f->KRVComms.Nyugtazas = false;
  f->ApplyIniSettings();
  const std::string ini = ReadAll(f->IniFileName());
  EXPECT_EQ(ini,
            "[DEBUG]\nLog_All_Packages=0\nLog_Raw_Data=0\nLog_Printable_Raw=0\nBroadcastVetele=0\n"
            "Half_Duplex_Mode=0\nSwitch_Direction_Time=5\nTimeout1=300\nTimeout2=2000\nTimeout3=4500\n"
            "TriesMax=4\nIgnoreAFLUD=0\nBlockLength=128\n\n[BATCH]\nBatchSize=50\nTimeBetweenPcks=1\n"
            "CSYGATimeout=0\n");
  EXPECT_TRUE(f->KRVComms.Nyugtazas);
  EXPECT_FALSE(f->KRVComms.BroadcastVetele);
  EXPECT_EQ(f->KRVComms.Timeout_1, 300);
  EXPECT_EQ(f->KRVComms.Timeout_2, 2000);
  EXPECT_EQ(f->KRVComms.Timeout_3, 4500);
  EXPECT_EQ(f->KRVComms.Max_tries_cmd, 4);
  EXPECT_EQ(f->FirmwareUploader.BlockLength, 128);
  EXPECT_TRUE(f->FirmwareUploader.ReconnectSerialPort);

  // Edited values take effect at the next start without a restart.
  WriteAll(f->IniFileName(), "[debug]\ntimeout1=$20\nBlockLength=64\nLog_Raw_Data=1\n[batch]\nBatchSize=7\n");
  f->KRVCommsCfg.SetConnType(TConnType::ConnTypeTCPIP);
  f->ApplyIniSettings();
  EXPECT_EQ(f->KRVComms.Timeout_1, 32);
  EXPECT_TRUE(f->KRVComms.Log_Raw_Data);
  EXPECT_EQ(f->FirmwareUploader.BlockLength, 64);
  EXPECT_EQ(f->FirmwareUploader.BatchSize(), 7);
  EXPECT_FALSE(f->FirmwareUploader.ReconnectSerialPort);
}

TEST_F(MainFormCoreTest, ConnectSwitchCopiesTheSettingsOnlyWhileInactive) {
  auto f = Make(false);
  std::vector<bool> enabled;
  f->OnEnableDeviceControls = [&](bool e) { enabled.push_back(e); };
  f->KRVCommsCfg.SetComPort(3);
  f->KRVCommsCfg.SetBaudrate(9600);
  f->KRVCommsCfg.SetKRVAddress(5);
  f->chbSlowWriteMode = true;
  f->SetConnected(true);
  EXPECT_TRUE(f->KRVComms.Active());
  EXPECT_EQ(f->KRVComms.Port, 3);
  EXPECT_EQ(f->KRVComms.Baud, 9600);
  EXPECT_EQ(f->KRVComms.Host, "");
  EXPECT_EQ(f->KRVComms.KRVAddress, 5u);
  EXPECT_TRUE(f->KRVComms.SlowWriteMode);
  EXPECT_TRUE(f->KRVComms.QuickReconnect);
  EXPECT_FALSE(f->KRVCommsCfg.Enabled());
  ASSERT_NE(Links.Last, nullptr);
  ASSERT_EQ(Links.Last->Opens.size(), 1u);
  EXPECT_FALSE(Links.Last->Opens[0].Tcp);
  EXPECT_EQ(Links.Last->Opens[0].Port, 3);
  EXPECT_EQ(Links.Last->Opens[0].Baud, 9600);
  EXPECT_EQ(enabled, std::vector<bool>{false});  // the engine's OnConnect

  f->SetConnected(true);  // same state: nothing
  EXPECT_EQ(Links.Last->Opens.size(), 1u);
  EXPECT_THROW(f->KRVCommsCfg.ApplyToComms(), ECfgFrame);

  f->SetConnected(false);
  EXPECT_FALSE(f->KRVComms.Active());
  EXPECT_TRUE(f->KRVCommsCfg.Enabled());

  f->KRVCommsCfg.SetConnType(TConnType::ConnTypeTCPIP);
  f->KRVCommsCfg.SetAddressText("127.0.0.1:1001");
  f->SetConnected(true);
  EXPECT_EQ(f->KRVComms.Host, "127.0.0.1");
  EXPECT_EQ(f->KRVComms.Port, 1001);
  f->SetConnected(false);
}

TEST_F(MainFormCoreTest, FrameBindingErrors) {
  TKRVCommsCfgFrame frame;
  try {
    frame.ApplyToComms();
    FAIL();
  } catch (const ECfgFrame& e) {
    EXPECT_STREQ(e.what(), "Nincs beállítva TKRVComms komponens");
  }
  EXPECT_THROW(frame.LoadFromComms(), ECfgFrame);

  TKRVComms engine(Loop, Links);
  engine.Host = "dev.local";
  engine.Port = 1002;
  engine.Baud = 9600;
  engine.KRVAddress = 178556;
  frame.SetKRVComms(&engine);
  EXPECT_EQ(frame.ConnType(), TConnType::ConnTypeTCPIP);
  EXPECT_EQ(frame.AddressText(), "dev.local:1002");
  EXPECT_EQ(frame.Baudrate(), 9600);
  EXPECT_EQ(frame.KRVAddress(), 178556);
  engine.SetActive(true);
  try {
    frame.ApplyToComms();
    FAIL();
  } catch (const ECfgFrame& e) {
    EXPECT_STREQ(e.what(), "Nyitott TKRVComms paraméterei nem változtathatók");
  }
  engine.SetActive(false);

  // A serial device picked by path: the engine gets port 0, which the path stands for; a COM
  // entry or TCP/IP leave no path behind.
  frame.SetConnType(TConnType::ConnTypeSerial);
  frame.SetSerialDevice("/dev/serial/by-id/usb-adapter");
  frame.ApplyToComms();
  EXPECT_EQ(engine.Port, TCfgFrame::kSerialDevicePort);
  EXPECT_EQ(engine.Host, "");
  EXPECT_EQ(frame.AppliedSerialDevice(), "/dev/serial/by-id/usb-adapter");
  frame.SetConnType(TConnType::ConnTypeTCPIP);
  frame.ApplyToComms();
  EXPECT_EQ(frame.AppliedSerialDevice(), "");
  frame.SetConnType(TConnType::ConnTypeSerial);
  frame.SetComPort(4);
  frame.ApplyToComms();
  EXPECT_EQ(engine.Port, 4);
  EXPECT_EQ(frame.AppliedSerialDevice(), "");
  frame.SetKRVComms(nullptr);
}

TEST_F(MainFormCoreTest, UploadDoneSetsExitCodeAndClosesTheLink) {
  auto f = Make(true);
  f->SetConnected(true);
  f->SetUpdateRunning(true);
  f->FirmwareUploaderUploadDone(TFWUploadResult::fwrKRVError);
  EXPECT_EQ(f->ProgramExitCode, 2);
  EXPECT_TRUE(f->CmdLineDone);
  EXPECT_FALSE(f->Connected());
  EXPECT_FALSE(f->KRVComms.Active());
  EXPECT_FALSE(f->UpdateRunning());
  EXPECT_EQ(Console.rfind("\nHiba történt: ", 0), std::string::npos);  // folded on the console
  EXPECT_EQ(Console.rfind("\nHiba tortent: ", 0), 0u) << Console;

  Console.clear();
  f->FirmwareUploaderUploadDone(TFWUploadResult::fwrOk);
  EXPECT_EQ(f->ProgramExitCode, 0);
  EXPECT_EQ(Console, "\nA firmware telepitese sikeresen befejezodott.\n");
}

// The command-line run against no device: the arguments reach the link, and the run ends
// with an upload result once the device stays silent.
TEST_F(MainFormCoreTest, CommandLineRunSettingsReachTheLink) {
  File("fw.hex", HexText(0x4000, ImageWithInfo(0x4000, 0x4100)));
  WriteAll(Dir.Path("vornik.ini"), "[DEBUG]\nTimeout1=20\nTimeout2=20\nTimeout3=20\nTriesMax=1\n");
  struct {
    std::vector<std::string> args;
    bool tcp;
    std::string host;
    int port, baud;
    uint32_t address;
  } cases[] = {
      {{"/START", "-FW", Dir.Path("fw.hex"), "-ADDRESS", "5", "-PORT", "3", "-BAUD", "9600"}, false, "", 3, 9600, 5},
      {{"-start", "-fw", Dir.Path("fw.hex"), "-address", "7", "-port", "2", "-baud", "12345"}, false, "", 2, 150, 7},
      {{"-start", "-fw", Dir.Path("fw.hex"), "-address", "$1F", "-ip", "host", "-port", "1001"}, true, "host", 1001, 0, 31},
  };
  for (const auto& c : cases) {
    Console.clear();
    auto f = Make(true);
    CmdLineTimerTimer(*f, c.args);
    ASSERT_NE(Links.Last, nullptr);
    ASSERT_FALSE(Links.Last->Opens.empty()) << Console;
    const auto& open = Links.Last->Opens[0];
    EXPECT_EQ(open.Tcp, c.tcp);
    EXPECT_EQ(open.Port, c.port);
    if (c.tcp) EXPECT_EQ(open.Host, c.host);
    else EXPECT_EQ(open.Baud, c.baud);
    EXPECT_EQ(f->KRVComms.KRVAddress, c.address);
    EXPECT_NE(Console.find("A betoltott FW adatai:\nFile path=" + Dir.Path("fw.hex") + "\nMemory address=16384\n"),
              std::string::npos)
        << Console;
    ASSERT_TRUE(Loop.runUntil([&] { return f->CmdLineDone; }, 120000));
    EXPECT_GT(f->ProgramExitCode, 0);
    EXPECT_LE(f->ProgramExitCode, 12);
    EXPECT_FALSE(f->KRVComms.Active());
  }
}

TEST_F(MainFormCoreTest, CommandLineRunStopsWithUsageOrUnusableFile) {
  auto f = Make(true);
  CmdLineTimerTimer(*f, {"-start", "-fw", Dir.Path("missing.hex"), "-address", "1", "-port", "1", "-baud", "9600"});
  EXPECT_TRUE(f->CmdLineDone);
  EXPECT_EQ(f->ProgramExitCode, 99);
  EXPECT_EQ(Console, "A kivalasztott allomany nem talalhato: " + Dir.Path("missing.hex") + "\n");
  EXPECT_EQ(Links.Last == nullptr || Links.Last->Opens.empty(), true);

  Console.clear();
  auto g = Make(true);
  CmdLineTimerTimer(*g, {"-start", "-?"});
  EXPECT_TRUE(g->CmdLineDone);
  EXPECT_EQ(g->ProgramExitCode, 99);
  EXPECT_EQ(Console.rfind("Pelda a program parancsori hasznalatara:\n\nTCP/IP-s kapcsolat eseten:\n", 0), 0u);
}

TEST_F(MainFormCoreTest, CommandLineUpdateInstallsTheImageOnTheSimulatedDevice) {
  const std::string plain = ImageWithInfo(0x4000, 0x6000);
  File("fw.hex", HexText(0x4000, plain));
  for (bool tcp : {true, false}) {
    TSimDevice device;
    testing::TSimPeer peer(Loop, device);
    MemoryLinkFactory links(Loop, &peer, testkit::MemoryLinkSettings{.LatencyMs = 1});
    Console.clear();
    TMainFormCore f(Loop, links, Dir.Path("vornik"), true);
    f.ConsoleWrite = [this](std::string_view t) { Console += t; };
    std::vector<std::string> args = {"-start", "-fw", Dir.Path("fw.hex"), "-address", "178556", "-port", "3"};
    if (tcp) {
      args.insert(args.end(), {"-ip", "127.0.0.1"});
    } else {
      args.insert(args.end(), {"-baud", "115200"});
    }
    CmdLineTimerTimer(f, args);
    ASSERT_TRUE(Loop.runUntil([&] { return f.CmdLineDone; }, 600000)) << Console;
    EXPECT_EQ(f.ProgramExitCode, 0) << Console;
    EXPECT_EQ(device.InstalledImage(), plain);
    EXPECT_NE(Console.find("\n\n..."), std::string::npos) << Console;
    EXPECT_NE(Console.find(".\nA firmware telepitese sikeresen befejezodott.\n"), std::string::npos) << Console;
    EXPECT_FALSE(f.KRVComms.Active());
    EXPECT_TRUE(f.FirmwareUploader.ReconnectSerialPort != tcp);
  }
}

TEST_F(MainFormCoreTest, RefusedUploadStartStillEndsTheRun) {
  File("fw.hex", HexText(0x4000, ImageWithInfo(0x4000, 0x4100)));
  WriteAll(Dir.Path("vornik.ini"), "[DEBUG]\nBlockLength=0\n");
  auto f = Make(true);
  CmdLineTimerTimer(*f, {"-start", "-fw", Dir.Path("fw.hex"), "-address", "1", "-ip", "h", "-port", "1"});
  EXPECT_TRUE(f->CmdLineDone);
  EXPECT_EQ(f->ProgramExitCode, 99);
  EXPECT_FALSE(f->KRVComms.Active());
  EXPECT_NE(Console.find("Invalid block length"), std::string::npos) << Console;
}

}  // namespace
}  // namespace vornik
