// `vornik-tool ports`: the serial ports present, with their stable names, what the adapters say
// about themselves, whether this user may open them (and the group to join when not) and the
// latency timers of USB adapters. No port at all is an answer too (exit 0).
#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>

#include "VerbCommon.h"
#include "VerbOutput.h"
#include "Verbs.h"
#include "platform/qt/SerialDevices.h"

namespace vornik {

namespace {

QString Q(const std::string& S) { return QString::fromStdString(S); }

std::string Hex4(uint16_t V) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04x", static_cast<unsigned>(V));
  return buf;
}

QJsonObject PortJson(const TSerialPortReport& P) {
  QJsonObject o;
  o["path"] = Q(P.Path);
  o["by_id"] = P.StableName.empty() ? QJsonValue() : QJsonValue(Q(P.StableName));
  o["description"] = Q(P.Description);
  o["manufacturer"] = Q(P.Manufacturer);
  o["serial_number"] = Q(P.SerialNumber);
  o["vendor_id"] = P.VendorId ? QJsonValue(Q(Hex4(*P.VendorId))) : QJsonValue();
  o["product_id"] = P.ProductId ? QJsonValue(Q(Hex4(*P.ProductId))) : QJsonValue();
  o["may_open"] = P.MayOpen;
  o["group"] = Q(P.Group);
  o["permission_hint"] = P.PermissionHint.empty() ? QJsonValue() : QJsonValue(Q(P.PermissionHint));
  o["latency_timer_ms"] = P.LatencyTimerMs ? QJsonValue(*P.LatencyTimerMs) : QJsonValue();
  return o;
}

std::string PortLine(const TSerialPortReport& P) {
  std::string line = P.Path;
  if (!P.StableName.empty()) line += "  " + P.StableName;
  const std::string& what = P.Description.empty() ? P.Manufacturer : P.Description;
  if (!what.empty()) line += "  \"" + what + "\"";
  if (P.VendorId && P.ProductId) line += "  " + Hex4(*P.VendorId) + ":" + Hex4(*P.ProductId);
  if (!P.SerialNumber.empty()) line += "  serial " + P.SerialNumber;
  if (P.LatencyTimerMs) line += "  latency " + std::to_string(*P.LatencyTimerMs) + " ms";
  line += P.MayOpen ? "  may open" : "  may not open";
  if (!P.PermissionHint.empty()) line += " (" + P.PermissionHint + ")";
  return line + "\n";
}

}  // namespace

int RunPorts(const TVerbArgs& Args, const QElapsedTimer& Clock) {
  const std::string verb = "ports";
  bool json = false;
  for (const std::string& a : Args) {
    if (a == "--json") {
      json = true;
    } else {
      return UsageFailure(verb, "unexpected argument: " + a, std::find(Args.begin(), Args.end(), "--json") != Args.end(),
                          Clock);
    }
  }
  const std::vector<TSerialPortReport> ports = PresentSerialPorts();
  QJsonArray list;
  std::string lines;
  for (const TSerialPortReport& p : ports) {
    list.append(PortJson(p));
    lines += PortLine(p);
  }
  const std::string text =
      ports.empty() ? "no serial ports found" : std::to_string(ports.size()) + (ports.size() == 1 ? " serial port" : " serial ports");
  return Report(json, {{"ports", list}}, "ok", text, Clock, kExitOk, lines);
}

}  // namespace vornik
