// The engine's own texts: error-code texts, packet log tags, plain log messages, debug lines and
// exception texts. They are written to the log and shown to the technician byte for byte, so they
// live here in one table and nowhere else.
#pragma once

#include <cstdint>

#include "comms/KRVErrorCodes.h"

namespace vornik::commstexts {

struct TErrorText {
  uint16_t Code;
  const char* Text;
};

inline constexpr TErrorText kErrorTexts[] = {
    {ecOk, "OK"},
    {ecWrongAddress, "Belső hiba - rossz címet adtak meg."},
    {ecNotActive, "Belső hiba - a kapcsolat nem aktív."},
    {ecNoLink, "A kapcsolat nem elérhető - ellenőrizze a soros port / IP-cím beállításait."},
    {ecOverflow, "Puffertúlcsordulás - talán túl gyorsan próbáltak adatot küldeni."},
    {ecNoAnswer, "A készülék nem válaszol."},
    {ecLinkClosed, "A csomag nem került sorra, mert a kapcsolatot lezárták."},
    {ecWrongAnswer, "Nem a megadott válasz jött."},
    {ecNotPaused, "Belső hiba - érvénytelen soron kívüli küldés."},
    {ecEncodeFailed, "Belső hiba - sikertelen KRV-kódolás."},
    {ecPortInUse, "A megnyitni kívánt soros portot egy másik program használja."},
    {ecPortMissing, "A megnyitni kívánt soros port nem létezik."},
    {ecFrameChecksum, "Csomaghiba - rossz ellenőrzőösszeg."},
    {ecFrameTooBig, "Csomaghiba - túl nagy csomag."},
    {ecFrameNoDelimiter, "Csomaghiba - hiányzó startjel vagy stopjel."},
    {ecFrameBadAddress, "Csomaghiba - rossz cím, vagy nincs érvényes gyári szám beállítva a készüléken."},
    {ecFrameLength, "Csomaghiba - az adatblokk nem akkora, mint amit a fejlécben megadtak."},
    {ecFrameTooShort, "Csomaghiba - az elméleti legkisebb csomagnál is kisebb csomag."},
    {ecInternal, "Belső hiba."},
};
inline constexpr const char* kUnknownError = "Ismeretlen hiba.";

// Plain messages.
inline constexpr const char* kActive = "KRVPort active.";
inline constexpr const char* kInactive = "KRVPort inactive.";
inline constexpr const char* kOverflow = "Overflow, puffer was truncated.";
inline constexpr const char* kOpenFailed = "Opening port failed: %s (%s:%d)";
inline constexpr const char* kConnected = "Connected (%s:%d)";
inline constexpr const char* kDisconnected = "Disconnected (%s:%d)";
inline constexpr const char* kCommError = "Comm. error: %d (%s:%d)";

// Send refusals.
inline constexpr const char* kTagNotActive = "NEM AKTIV";
inline constexpr const char* kTagNoLink = "NINCS KAPCS";
inline constexpr const char* kTagQueueFull = "PUFFER TELE";
inline constexpr const char* kTagNotPaused = "NEM PAUSED";

// Sending.
inline constexpr const char* kTagSend = "KIKULD";
inline constexpr const char* kTagPollSend = "POLLPAR";
inline constexpr const char* kTagAckSuffix = "_ACK";
inline constexpr const char* kTagPackSuffix = "_PACK";
inline constexpr const char* kTagNackSuffix = "_NACK";
inline constexpr const char* kTagTimeoutSuffix = "_TOUT";
inline constexpr const char* kTagNoWaitSuffix = "_WW";
inline constexpr const char* kTagQuick = "GYORSPARANCS";
inline constexpr const char* kTagAckSent = "NYUGTAKULDES";

// Waiting.
inline constexpr const char* kTagWaitOverAnswer = "VAR VEGE, VALASZ OK";
inline constexpr const char* kTagWaitOverEmpty = "URES VAR. VEGE";
inline constexpr const char* kTagRepeat = "PAR. UJRA %dX";
inline constexpr const char* kTagFailed = "PAR. SIKERTELEN";
inline constexpr const char* kTagPollFailed = "POLL. SIKERTELEN";
inline constexpr const char* kTagNoConnection = "NINCS KAPCSOLAT";

// Receiving (classification cases).
inline constexpr const char* kTagNackRepeat = "NACK - UJRAKULD";
inline constexpr const char* kTagNackNothing = "NACK - TOROLT CS";
inline constexpr const char* kTagStrayNack = "KOSZA NACK,VARUNK";
inline constexpr const char* kTagStrayAck = "KOSZA ACK,VARUNK";
inline constexpr const char* kTagStrayPacket = "KOSZA CS,VARUNK";
inline constexpr const char* kTagEvent = "ESEMENY,VARUNK";
inline constexpr const char* kTagAckOk = "NYUGTA - OK";
inline constexpr const char* kTagAnswerOk = "VALASZ - OK";
inline constexpr const char* kTagWrongAnswer = "NEM JO VALASZ";
inline constexpr const char* kTagBadAddress = "ROSSZ CIM";
inline constexpr const char* kTagAnswerWaitOn = "VALASZ,MEG VARUNK";
inline constexpr const char* kTagWrongAnswerWaitOn = "NEM JO VALASZ,VARUNK";
inline constexpr const char* kTagAckWaitStarts = "PNY - VAR INDUL";
inline constexpr const char* kTagAckWaitGoesOn = "PNY - VAR FOLYT";
inline constexpr const char* kTagPollAnswer = "POLLVAL - CS OK";
inline constexpr const char* kTagOtherDevice = "NEM CIMZETT,VARUNK";
inline constexpr const char* kTagNotForPc = "NEM PCNEK,VARUNK";
inline constexpr const char* kTagDuringPlainWait = "CS VAR. KOZBEN";
inline constexpr const char* kTagUnexpected = "NEM VART CS";
inline constexpr const char* kTagBadFrameWaiting = "HIBAS:%d %s,VARUNK";
inline constexpr const char* kTagBadFrame = "HIBAS:%d %s";

// Raw data lines.
inline constexpr const char* kRawOut = "KI:";
inline constexpr const char* kRawSlow = "KI_SLOW:";
inline constexpr const char* kRawSlowLast = "KI_EOB: ";
inline constexpr const char* kRawError = "KHIBA:";
inline constexpr const char* kRawIn = "BE:";

// Debug lines.
inline constexpr const char* kDbgProcIn = "TKRVComms.OnPckProcessing Belépés";
inline constexpr const char* kDbgProcOut = "TKRVComms.OnPckProcessing Kilépés";
inline constexpr const char* kDbgWaitIn = "TKRVComms.Waiting_over Belépés";
inline constexpr const char* kDbgWaitOut = "TKRVComms.Waiting_over Kilépés";
inline constexpr const char* kDbgQueueToIn = "TKRVComms.OnQueueTimedOut Belépés";
inline constexpr const char* kDbgQueueToOut = "TKRVComms.OnQueueTimedOut Kilépés";
inline constexpr const char* kDbgSendIn = "TKRVComms.OnTimerSendPackages Belépés";
inline constexpr const char* kDbgSendOut = "TKRVComms.OnTimerSendPackages Kilépés";
inline constexpr const char* kDbgSendInactive = "TKRVComms.OnTimerSendPackages Nem aktív: lelőve";
inline constexpr const char* kDbgSendWaiting = "TKRVComms.OnTimerSendPackages Válaszra várunk: kilépés";
inline constexpr const char* kDbgSendHalfDuplex = "TKRVComms.OnTimerSendPackages Half_Duplex_Mode: kilépés";
inline constexpr const char* kDbgSendNoLine = "TKRVComms.OnTimerSendPackages Nincs vonalban: leállítás";
inline constexpr const char* kDbgSendEmpty = "TKRVComms.OnTimerSendPackages Nincs több küldendő: leállítás";

// Exceptions (misuse).
inline constexpr const char* kExUnassignedPort = "Unassigned KRVPort in SendWith. Pck: ";
inline constexpr const char* kExUnassignedBatch = "Unassigned KRVCommsBatch in SendWith. Pck: ";
inline constexpr const char* kExObjTag = "Use of ObjTag without specifing OnResult: ";
inline constexpr const char* kExInvalidOptions = "Invalid options: %s (%s)";

/// Forbidden option pairs, checked in this order.
struct TForbiddenPair {
  uint8_t A;
  uint8_t B;
  const char* Text;
};
inline constexpr TForbiddenPair kForbiddenPairs[] = {
    {1, 2, "psoForceAck, psoDontAck"},       {2, 4, "psoDontAck, psoWaitAfterAck"},
    {3, 5, "psoForceWait, psoDontWait"},     {3, 9, "psoForceWait, psoDontQueue"},
    {4, 5, "psoWaitAfterAck, psoDontWait"},  {4, 9, "psoWaitAfterAck, psoDontQueue"},
    {5, 12, "psoDontWait, psoUsePollTimeout"}, {7, 9, "psoFirstInQueue, psoDontQueue"},
    {9, 12, "psoDontQueue, psoUsePollTimeout"}, {10, 13, "psoDontLog, psoLogAsPoll"},
};

// The TCP server's lines: the connection's remote address and port, then the address part.
inline constexpr const char* kSrvUnknownAddr = "cím ismeretlen";
inline constexpr const char* kSrvNewConnection = "%15s:%-4.d (%s): Új kapcsolat.";
inline constexpr const char* kSrvIdentifySent = "%15s:%-4.d (%s): CSYSI elküldve: <%s>";
inline constexpr const char* kSrvRawIn = "%15s:%-4.d BE: %s %s";
inline constexpr const char* kSrvUnknownData = "%15s:%-4.d (%s): Ismeretlen adat: <%s>";
inline constexpr const char* kSrvBadFrame = "%15s:%-4.d (%s): Hibás csomag: <%s>";
inline constexpr const char* kSrvFrameArrived = "%15s:%-4.d (%d): Csomag érkezett: <%s>.";
inline constexpr const char* kSrvIdentified = "%15s:%-4.d (%d): Cím azonosítva.";
inline constexpr const char* kSrvSpontaneous =
    "%15s:%-4.d (%d): A készülék magától küldött csomagot, ezért nem szólítom meg.";
inline constexpr const char* kSrvTakeOver =
    "%15s:%-4.d (%d): A készülék több socketen kapcsolódik egyszerre, az előző kapcsolatot (%s:%d) figyelmen kívül "
    "hagyom.";
inline constexpr const char* kSrvUnknownDevice = "%15s:%-4.d (%d): Ismeretlen című készülék.";
inline constexpr const char* kSrvClosed = "%15s:%-4.d (%s): A kapcsolat megszakadt.";
inline constexpr const char* kSrvSocketError = "%15s:%-4.d (%s): Sockethiba: %d";
inline constexpr const char* kSrvTimedOut =
    "%15s:%-4.d (%s): %d másodperc alatt sem azonosította magát, a kapcsolatot bontom.";
inline constexpr const char* kSrvTooMany =
    "%15s:%-4.d (%s): Túl sok az azonosítatlan kapcsolat (%d), a legrégebbit bontom.";

}  // namespace vornik::commstexts
