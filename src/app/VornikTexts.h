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
inline constexpr const char* kNothingLoaded = "nincs betöltött firmware.";
// A checksum file (NAME.sha256) beside the firmware file.
inline constexpr const char* kChecksumMismatch =
    "A kiválasztott állomány sérült: SHA-256 ellenőrzőösszege nem egyezik a(z) %s fájlban megadottal.";
inline constexpr const char* kChecksumUnreadable =
    "Az ellenőrzőösszeg-fájlban (%s) nincs a kiválasztott állományhoz tartozó SHA-256 sor.";
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
// After the usage asked for with "?": where this copy keeps its settings and its log.
inline constexpr const char* kSettingsFileIs = "A beállítások fájlja: ";
inline constexpr const char* kLogFileIs = "A napló fájlja: ";

// Update start messages.
inline constexpr const char* kUpdatingBootloader = "A bootloader frissítése...";
inline constexpr const char* kUpdatingFirmware = "A firmware frissítése...";

// Connection settings.
inline constexpr const char* kNoCommsComponent = "Nincs beállítva TKRVComms komponens";
inline constexpr const char* kCommsIsOpen = "Nyitott TKRVComms paraméterei nem változtathatók";

// The main window: pages, controls, hints.
inline constexpr const char* kPageFirmware = "Firmware frissítése";
inline constexpr const char* kPageFlash = "Külső flash kezelése";
inline constexpr const char* kPageFWInfo = "A kiválasztott firmware tulajdonságai";
inline constexpr const char* kPageCommLog = "Kommunikációs napló";
inline constexpr const char* kPageMessages = "Üzenetek";
inline constexpr const char* kColumnName = "Jellemző neve";
inline constexpr const char* kColumnValue = "Érték";
inline constexpr const char* kInstallStart = "Frissítés indítása";
inline constexpr const char* kInstall = "Telepítés";
inline constexpr const char* kStop = "Leállítás";
inline constexpr const char* kConnected = "Kapcsolódás";
inline constexpr const char* kSlowWriteMode = "Késleltetett portra írás";
inline constexpr const char* kBrowse = "Tallózás";
inline constexpr const char* kChooseFirmware = "Válassza ki a telepítendő firmware állományát:";
inline constexpr const char* kCSYSIButton = "Készülékinformációk beolvasása";
inline constexpr const char* kResetButton = "A készülék újraindítása";
inline constexpr const char* kCreateQOB = "QOB fájl készítése a HEX-ből...";
inline constexpr const char* kCreateBIN = "BIN fájl készítése a HEX-ből...";
inline constexpr const char* kTurboFWUpload = "Kötegelt mód (GPRS-en gyorsabb)";
inline constexpr const char* kTurboFWUploadHint =
    "Ha bejelöli, gyorsabb lesz a telepítés, de ha lassú vagy \r\n"
    "bizonytalan minőségű a kapcsolat, akkor előfordulhat, hogy\r\n"
    "a folyamat végén hibát kapunk, és nem sikerül a firmware frissítése.";
inline constexpr const char* kClrFlash = "Frissítés előtt törölje a készülék adatflash-ét";
inline constexpr const char* kClrFlashHint =
    "Erre a funkcióra akkor lehet szükség, ha az egymást követő firmware-k különböző módon kezelik a flasht.\r\n"
    "Ha bejelöli, a frissítés előtt az azt támogató készülékeken törölve lesz minden (!) az adatflashben tárolt \r\n"
    "adat (események, jogok, mérési adatok stb.).\r\n";
inline constexpr const char* kFirmwareFilter =
    "Minden fájl (*.*)|*.*|QOB állományok (*.qob)|*.qob|HEX állományok (*.hex)|*.hex";
inline constexpr const char* kFirmwareFilterPreselected = "QOB állományok (*.qob)";
inline constexpr const char* kCustomerFirmwareFile = "main.qob";
/// The address:port field's text in customer mode until the settings file says otherwise.
inline constexpr const char* kDefaultIPCim = "192.168.1.120:1001";

// The firmware page's questions and messages.
inline constexpr const char* kBootloaderQuestion1 =
    "A bootloadert készül felülírni! Ezzel a művelettel használhatatlanná teheti a készülékét, amelyet csak a "
    "gyártónak visszaküldve lehet javítani. Biztos benne, hogy folytatja?";
inline constexpr const char* kBootloaderQuestion2 = "Kérem, kattintson a \"Nem\" gombra a művelet folytatásához!";
inline constexpr const char* kClearFlashQuestion =
    "Bejelölte az adatflash törlése funkciót. Ezzel minden adatot (jogot, eseményt, mérési adatot stb.) töröl a "
    "készülékről. Biztosan folytatja?";
inline constexpr const char* kReadingDeviceInfo = "Készülékinformációk beolvasása...";
inline constexpr const char* kDeviceInfo = "Készülékinformációk: ";
inline constexpr const char* kErrorOccurred = "Hiba történt: ";
inline constexpr const char* kRestarting = "Készülék újraindítása...";
inline constexpr const char* kRestarted =
    "Ha a kapcsolatot jól állította be, akkor a készülék most újraindult. Az újraindulás TCP/IP kapcsolattal "
    "rendelkező készülékeken 4-5 másodpercet is igénybe vehet.";

// The flash page.
inline constexpr const char* kFlashFilesLabel =
    "Válassza ki a feltöltendő állományt ill. állományokat (több fájl kiválasztásakor az összefűzött tartalom lesz "
    "feltöltve):";
inline constexpr const char* kStartPageLabel = "A kezdőlap címe ($ jellel kezdve hexában is megadható):";
inline constexpr const char* kFileLengthLabel = "Letöltéskor a letöltendő fájl hossza (B):";
inline constexpr const char* kPageSizeLabel = "A flash lapmérete (bájt):";
inline constexpr const char* kBlockSizeLabel = "Hány bájtos blokkokban olvasson (max. 255):";
inline constexpr const char* kTurboFlash = "Turbó mód";
inline constexpr const char* kVerifyFailed = "A visszaolvasott tartalom eltér a felírttól; az első eltérés: ";
inline constexpr const char* kVerifyReadFailed = "A felírás befejeződött, de a visszaolvasás nem sikerült: ";
inline constexpr const char* kVerified = ", a visszaolvasott tartalom egyezik";
inline constexpr const char* kTurboFlashHint =
    "Ha bejelöli, gyorsabb lesz a feltöltés, de ha lassú vagy \r\n"
    "bizonytalan minőségű a kapcsolat, akkor hibás lehet a feltöltött fájl.";
inline constexpr const char* kUploadToFlash = "Fájl feltöltése a flashbe";
inline constexpr const char* kDownloadFromFlash = "Letöltés a flashből és kiírás fájlba...";
inline constexpr const char* kChooseFiles = "Állományok kiválasztása...";
inline constexpr const char* kAllFilesFilter = "Minden fájl (*.*)|*.*";
inline constexpr const char* kSaveAs = "Mentés másként";
inline constexpr const char* kInvalidPageSize = "Adjon meg érvényes lapméretet!";
inline constexpr const char* kInvalidStartPage = "Adjon meg érvényes kezdőlapot!";
inline constexpr const char* kMissingUploadFiles = "Adjon meg létező feltöltendő állományokat!";
inline constexpr const char* kInvalidStartPageAndLength = "Adjon meg érvényes kezdőlapot és fájlhosszt!";
inline constexpr const char* kInvalidBlockSize = "Adjon meg érvényes blokkméretet!";

// The connection settings frame.
inline constexpr const char* kConnTypeCaption = "A kapcsolat típusa";
inline constexpr const char* kConnTypeSerial = "soros porti kapcsolat";
inline constexpr const char* kConnTypeTCPIP = "TCP/IP (internet vagy ethernet hálózat)";
inline constexpr const char* kLabelSerial = "A használt soros port:";
inline constexpr const char* kLabelBaudrate = "A soros porti baudrate:";
inline constexpr const char* kLabelIPAddress = "Az IP-cím és a TCP-port (kettősponttal elválasztva):";
inline constexpr const char* kLabelKRVAddress = "A készülék KRV-címe:";
inline constexpr const char* kAddIP = "+";
inline constexpr const char* kRemoveIP = "–";

// The application's error handler.
inline constexpr const char* kErrorBoxTitle = "Vornik – hiba";
inline constexpr const char* kErrorLogPrefix = "Váratlan hiba: ";
inline constexpr const char* kCopyReport = "Jelentés másolása";

}  // namespace vornik::texts
