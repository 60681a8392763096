#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "session/ocr_runtime.h"

namespace tessvark::testing {

// Records every operation as "Name|arg|arg" and answers with `reply` (or throws when asked to).
class FakeRuntime : public OcrRuntime {
 public:
  RuntimeResponse reply = MakeOkResponse("{\"fake\":true}");
  bool throw_on_call = false;

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  ZonePreviewOptions LastPreviewOptions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_options_;
  }

  RuntimeResponse ListZones() override { return Record("ListZones"); }
  RuntimeResponse CreateZone(const std::string& b) override { return Record("CreateZone|" + b); }
  RuntimeResponse UpdateZone(const std::string& id, const std::string& b) override {
    return Record("UpdateZone|" + id + "|" + b);
  }
  RuntimeResponse DeleteZone(const std::string& id) override { return Record("DeleteZone|" + id); }
  RuntimeResponse ReorderZones(const std::string& b) override {
    return Record("ReorderZones|" + b);
  }
  RuntimeResponse GetHideEmpty() override { return Record("GetHideEmpty"); }
  RuntimeResponse SetHideEmpty(const std::string& b) override {
    return Record("SetHideEmpty|" + b);
  }
  RuntimeResponse GetSourceGeometry() override { return Record("GetSourceGeometry"); }
  RuntimeResponse SetSourceGeometry(const std::string& b) override {
    return Record("SetSourceGeometry|" + b);
  }
  RuntimeResponse GetStatus() override { return Record("GetStatus"); }
  RuntimeResponse ListSources() override { return Record("ListSources"); }
  RuntimeResponse RefreshSources(const std::string& b) override {
    return Record("RefreshSources|" + b);
  }
  RuntimeResponse SelectSource(const std::string& b) override {
    return Record("SelectSource|" + b);
  }
  RuntimeResponse ClearSource() override { return Record("ClearSource"); }
  RuntimeResponse GetPreview(bool working) override {
    return Record(working ? "GetPreview|working" : "GetPreview|source");
  }
  RuntimeResponse GetZonePreview(const std::string& id, const std::string& kind, std::int32_t slot,
                                 const ZonePreviewOptions& options) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last_options_ = options;
    }
    return Record("GetZonePreview|" + id + "|" + kind + "|" + std::to_string(slot));
  }
  RuntimeResponse GetVmixOutput() override { return Record("GetVmixOutput"); }
  RuntimeResponse SetVmixOutput(const std::string& b) override {
    return Record("SetVmixOutput|" + b);
  }
  RuntimeResponse SetOutputSwitches(const std::string& b) override {
    return Record("SetOutputSwitches|" + b);
  }
  RuntimeResponse TestVmixOutput(const std::string& b) override {
    return Record("TestVmixOutput|" + b);
  }
  RuntimeResponse DiscoverVmixInputs(const std::string& b) override {
    return Record("DiscoverVmixInputs|" + b);
  }
  RuntimeResponse StartVmixLanSearch() override { return Record("StartVmixLanSearch"); }
  RuntimeResponse GetVmixLanSearch() override { return Record("GetVmixLanSearch"); }
  RuntimeResponse CancelVmixLanSearch() override { return Record("CancelVmixLanSearch"); }
  RuntimeResponse SetSrtSettings(const std::string& b) override {
    return Record("SetSrtSettings|" + b);
  }
  RuntimeResponse SetSrtListening(const std::string& b) override {
    return Record("SetSrtListening|" + b);
  }
  RuntimeResponse HandleSports(const std::string& m, const std::string& p,
                               const std::string& b) override {
    return Record("HandleSports|" + m + "|" + p + "|" + b);
  }
  RuntimeResponse HandleDisplayFormat(const std::string& m, const std::string& p,
                                      const std::string& b) override {
    return Record("HandleDisplayFormat|" + m + "|" + p + "|" + b);
  }

 private:
  RuntimeResponse Record(std::string call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
    if (throw_on_call) throw std::runtime_error("fake runtime failure");
    return reply;
  }

  std::mutex mutex_;
  std::vector<std::string> calls_;
  ZonePreviewOptions last_options_;
};

}  // namespace tessvark::testing
