#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/mutex.h"
#include "core/state_value.h"
#include "outputs/vmix/vmix_output_controller.h"
#include "session/runtime_response.h"
#include "session/session_engine.h"
#include "session/session_server.h"

namespace tessvark {

// The session's outputs: the vMix controller with its sender thread, and the output operations
// of the API (configuration and on/off switch, saved as "output_config.json", the host test, the
// input listing and the network search).
//
// The controller is made by Start, before the server listens, and kept until destruction; the
// hooks and operations that run before Start or after a failed start answer as if there were no
// output. Locks: a change of the stored output document holds the session's settings mutex
// throughout, writes the file without the engine mutex and takes the engine mutex only to read
// and keep the stored text; the controller's own locks come last.
class SessionOutputs {
 public:
  SessionOutputs(SessionEngine& engine, SessionServer& server, Mutex& settings);
  SessionOutputs(const SessionOutputs&) = delete;
  SessionOutputs& operator=(const SessionOutputs&) = delete;

  // Makes the controller over `provider`, applies the stored output document (when there is
  // one) and starts the sender. Called once.
  void Start(VmixValueProvider provider, const std::string& stored_document);
  // Blanks what the run wrote and joins the sender; harmless when repeated or never started.
  void StopSender();

  // The controller's side of the worker's hooks and of the session's resets.
  void PublishValues(StateValue values);
  void ReleaseHold(std::uint64_t generation);
  void RequestClear();
  void SetActiveSources(const std::vector<std::string>& roles, std::uint64_t generation);

  RuntimeResponse GetVmixOutput();
  RuntimeResponse SetVmixOutput(const std::string& body) EXCLUDES(settings_);
  RuntimeResponse SetOutputSwitches(const std::string& body) EXCLUDES(settings_);
  RuntimeResponse TestVmixOutput(const std::string& body);
  RuntimeResponse DiscoverVmixInputs(const std::string& body);
  RuntimeResponse StartVmixLanSearch();
  RuntimeResponse GetVmixLanSearch();
  RuntimeResponse CancelVmixLanSearch();

 private:
  // Saves the output document for `config` and applies it; false when it could not be saved.
  bool StoreVmixConfig(const VmixOutputConfig& config) REQUIRES(settings_);

  SessionEngine& engine_;
  SessionServer& server_;
  Mutex& settings_;
  VmixOutputControllerPtr vmix_;  // written only by Start, before any reader runs
};

}  // namespace tessvark
