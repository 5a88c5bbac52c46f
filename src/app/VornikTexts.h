// The application's own user-visible texts: window caption, loading messages, command-line
// usage and validation messages. Gathered here so the command line, the window and the tests
// use the same bytes. UTF-8; the console folds the accented letters (ToConsoleText).
#pragma once

namespace vornik::texts {

inline constexpr const char* kAppTitle = "Vornik";
inline constexpr const char* kCaptionPrefix = "Telvaro Vornik v";
inline constexpr const char* kCaptionMemory = " [felhasznált memória: ";
inline constexpr const char* kCaptionMemoryEnd = " kbyte]";

// Loading a firmware file.
inline constexpr const char* kFileNotFound = "A kiválasztott állomány nem található: %s";
inline constexpr const char* kNotAFirmware =
    "A kiválasztott fájl nem firmware. Csak HEX vagy QOB állományokat lehet telepíteni.";
inline constexpr const char* kNoInfoBlock =
    "A kiválasztott firmware elavult, hibás vagy sérült: nem találtam benne információs blokkot!";
inline constexpr const char* kLoadedBuild = "A betöltött firmware buildszáma: ";
inline constexpr const char* kBadHexFile = "Hibás hexfájl: ";
inline constexpr const char* kRepeatedPackets = "Hiba miatt ismételt csomagok száma: %d";

// Information table.
inline constexpr const char* kRowFilePath = "File path";
inline constexpr const char* kRowMemoryAddress = "Memory address";
inline constexpr const char* kRowBuildStr = "BuildStr";

// Command-line run.
inline constexpr const char* kUsageExample = "Példa a program parancsori használatára:";
inline constexpr const char* kMissingFirmware =
    "Nem adta meg a firmware állományát. Példa a helyes paraméterezésre:";
inline constexpr const char* kMissingAddress =
    "Meg kell adnia a frissítendő készülék KRV címét. Példa a helyes paraméterezésre:";
inline constexpr const char* kMissingSerialPort = "Meg kell adnia a soros portot. Példa a helyes paraméterezésre:";
inline constexpr const char* kMissingBaudrate = "Meg kell adnia a baudrate-et. Példa a helyes paraméterezésre:";
inline constexpr const char* kMissingTcpPort = "Meg kell adnia a TCP portot. Példa a helyes paraméterezésre:";
inline constexpr const char* kLoadedFirmwareData = "A betöltött FW adatai:";
inline constexpr const char* kUsageTcpHeader = "TCP/IP-s kapcsolat esetén:";
inline constexpr const char* kUsageTcpLine =
    "    vornik -start -ip 192.168.1.120 -port 1001 -address 178556 -fw c:\\fws\\legujabb.qob";
inline constexpr const char* kUsageSerialHeader = "Soros porti kapcsolat esetén:";
inline constexpr const char* kUsageSerialLine =
    "    vornik -start -port 1 -baud 115200 -address 178556 -fw c:\\fws\\legujabb.qob";

// Update start messages.
inline constexpr const char* kUpdatingBootloader = "A bootloader frissítése...";
inline constexpr const char* kUpdatingFirmware = "A firmware frissítése...";

// Connection settings.
inline constexpr const char* kNoCommsComponent = "Nincs beállítva TKRVComms komponens";
inline constexpr const char* kCommsIsOpen = "Nyitott TKRVComms paraméterei nem változtathatók";

}  // namespace vornik::texts
