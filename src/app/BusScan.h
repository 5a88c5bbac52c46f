// A scan of one line for the devices that answer: the identification (CSYSI, KRVW and then KRV
// as a single identify asks it) goes to each address of a list in turn over one open link, and
// every device that answers is kept with its identification record. A KRV frame carries only the
// low byte of an address and cannot carry 251..254 (the framings' start and stop bytes), so
// addresses above 250 are asked in KRVW alone (a low byte could be another device's address, or the
// broadcast). The broadcast addresses themselves are never asked.
//
// The answer times and tries are the session's (the settings); a scan wants them short, since
// most addresses stay silent. A device is listed under the sender address of its answer, once,
// in address order: a late answer that arrives while the next address is being asked still
// names the device that sent it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/DeviceOperations.h"
#include "app/DeviceSession.h"
#include "procedures/uDeviceCommands.h"

namespace vornik {

struct TScanOutcome : TOperationOutcome {
  std::vector<TIdentifyOutcome> Devices;  ///< in address order (Sender set on each)
  std::size_t Asked = 0;                  ///< addresses asked
};

/// Parses an address list: addresses and ranges A-B separated by commas, each number decimal,
/// "$" or "0x" hexadecimal ("1-30,$40", "178550-178609"). Sorted, without repeats; Error says
/// what is wrong (nullopt then).
std::optional<std::vector<uint32_t>> ParseAddressList(std::string_view Text, std::string& Error);

/// Whether Address is a broadcast address that a scan never asks (255, 0xFFFFFFFF).
bool IsBroadcastAddress(uint32_t Address);

class TBusScan {
 public:
  explicit TBusScan(TDeviceSession& Session);
  TBusScan(const TBusScan&) = delete;
  TBusScan& operator=(const TBusScan&) = delete;

  /// After each address: how many have been asked, of how many, and the devices found so far.
  std::function<void(std::size_t Asked, std::size_t Total, std::size_t Found)> OnProgress;

  /// Asks every address of Addresses (broadcast addresses are left out); Done once, from the loop.
  /// Results: "ok" (also when nobody answered), "stopped", "no-link" (the link did not open, or
  /// was lost part of the way: the devices found until then are kept).
  void Start(std::vector<uint32_t> Addresses, std::function<void(const TScanOutcome&)> Done);
  /// Ends after the address being asked.
  void Stop() { stopped_ = true; }

 private:
  void Next();
  void Finish();

  TDeviceSession& session_;
  TDeviceCommands commands_;
  std::vector<uint32_t> addresses_;
  std::size_t next_ = 0;
  bool stopped_ = false;
  TScanOutcome outcome_;
  std::function<void(const TScanOutcome&)> done_;
};

}  // namespace vornik
