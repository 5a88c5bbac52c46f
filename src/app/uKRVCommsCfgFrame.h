// The connection settings bound to one communication engine. Binding copies the engine's
// settings into the settings (LoadFromComms); ApplyToComms copies the settings into the engine
// before it is activated: port and host by connection type, baud rate and device address always.
// Both refuse without an engine, and ApplyToComms refuses while the engine is active, with the
// texts the technician sees ("Nincs beállítva TKRVComms komponens", "Nyitott TKRVComms
// paraméterei nem változtathatók"); the settings and the engine then stay unchanged.
#pragma once

#include <stdexcept>

#include "app/uCfgFrame.h"

namespace vornik {

class TKRVComms;

class ECfgFrame : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TKRVCommsCfgFrame : public TCfgFrame {
 public:
  explicit TKRVCommsCfgFrame(std::string Name = "KRVCommsCfg") : TCfgFrame(std::move(Name)) {}

  TKRVComms* KRVComms() const { return FKRVComms; }
  /// Binds the engine and takes its settings (LoadFromComms); nullptr unbinds.
  void SetKRVComms(TKRVComms* Value);

  void LoadFromComms();
  void ApplyToComms();
  /// The device path the engine's port stands for since the last ApplyToComms (a device chosen
  /// by path, port kSerialDevicePort); empty for a COM entry or TCP/IP.
  const std::string& AppliedSerialDevice() const { return FAppliedSerialDevice; }

 private:
  TKRVComms* FKRVComms = nullptr;
  std::string FAppliedSerialDevice;
};

}  // namespace vornik
