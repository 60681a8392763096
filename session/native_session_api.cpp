// The operator API operations that this build does not offer yet. Each answers as the web server
// does while no runtime is set; they are replaced one group at a time.

#include "session/native_session.h"

namespace tessvark {
namespace {

RuntimeResponse NotAvailable() {
  return MakeErrorResponse(503, "This local function is not available in the native prototype.");
}

}  // namespace

// Zones.
RuntimeResponse NativeSession::ListZones() { return NotAvailable(); }
RuntimeResponse NativeSession::CreateZone(const std::string&) { return NotAvailable(); }
RuntimeResponse NativeSession::UpdateZone(const std::string&, const std::string&) {
  return NotAvailable();
}
RuntimeResponse NativeSession::DeleteZone(const std::string&) { return NotAvailable(); }
RuntimeResponse NativeSession::ReorderZones(const std::string&) { return NotAvailable(); }
RuntimeResponse NativeSession::GetHideEmpty() { return NotAvailable(); }
RuntimeResponse NativeSession::SetHideEmpty(const std::string&) { return NotAvailable(); }

// Source geometry.
RuntimeResponse NativeSession::GetSourceGeometry() { return NotAvailable(); }
RuntimeResponse NativeSession::SetSourceGeometry(const std::string&) { return NotAvailable(); }

// Zone previews.
RuntimeResponse NativeSession::GetZonePreview(const std::string&, const std::string&, std::int32_t,
                                              const ZonePreviewOptions&) {
  return NotAvailable();
}

// Status.
RuntimeResponse NativeSession::GetStatus() { return NotAvailable(); }

// Sources.
RuntimeResponse NativeSession::ListSources() { return NotAvailable(); }
RuntimeResponse NativeSession::RefreshSources(const std::string&) { return NotAvailable(); }
RuntimeResponse NativeSession::SelectSource(const std::string&) { return NotAvailable(); }
RuntimeResponse NativeSession::ClearSource() { return NotAvailable(); }

// Outputs.
RuntimeResponse NativeSession::GetVmixOutput() { return NotAvailable(); }
RuntimeResponse NativeSession::SetVmixOutput(const std::string&) { return NotAvailable(); }
RuntimeResponse NativeSession::SetOutputSwitches(const std::string&) { return NotAvailable(); }
RuntimeResponse NativeSession::TestVmixOutput(const std::string&) { return NotAvailable(); }
RuntimeResponse NativeSession::DiscoverVmixInputs(const std::string&) { return NotAvailable(); }
RuntimeResponse NativeSession::StartVmixLanSearch() { return NotAvailable(); }
RuntimeResponse NativeSession::GetVmixLanSearch() { return NotAvailable(); }
RuntimeResponse NativeSession::CancelVmixLanSearch() { return NotAvailable(); }

// Sports and display format.
RuntimeResponse NativeSession::HandleSports(const std::string&, const std::string&,
                                            const std::string&) {
  return NotAvailable();
}
RuntimeResponse NativeSession::HandleDisplayFormat(const std::string&, const std::string&,
                                                   const std::string&) {
  return NotAvailable();
}

}  // namespace tessvark
