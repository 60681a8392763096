#pragma once

#include <cstdint>
#include <string>

#include "core/mutex.h"
#include "ocr/analysis_inputs.h"
#include "sources/video_frame.h"

namespace tessvark {

// The video source the operator selected. A plain record: the session keeps it under its engine
// mutex (SessionEngine).
struct SourceSelection {
  bool selected = false;
  std::string type = "none";  // "example", "ndi", "omt" or "srt" while selected
  std::string id;
  std::string name;
  // Raised by every change of source and every new SRT stream; frames stamped with another
  // generation belong to an earlier choice.
  std::int32_t generation = 0;
  // The NDI source chosen last, still listed while another kind is selected or it is offline.
  std::string remembered_ndi_id;
  std::string remembered_ndi_name;
};

// The identity of the selection: type ("none" without one), id and decimal generation.
SourceContext ContextOf(const SourceSelection& selection);
// The key of the selection's zones, geometry and hide-empty switch ("none" without one).
std::string ProfileKeyOf(const SourceSelection& selection);
// NDI, OMT and SRT: the kinds whose frames arrive through the frame slot.
bool IsLiveReceiverType(const std::string& type);
// The frame was received for the selection in force: a live kind, its source and its generation.
bool MatchesSelection(const SourceSelection& selection, const VideoFrame& frame);

// The copy of the selection that the receiver callbacks read, so that they never wait for the
// engine mutex. Written with the engine mutex held; its own mutex is a leaf.
class PublishedSelection {
 public:
  void Publish(const SourceSelection& selection) EXCLUDES(mutex_);
  // Only `selected`, `type`, `id` and `generation` are filled.
  SourceSelection Read() const EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  bool selected_ GUARDED_BY(mutex_) = false;
  std::string type_ GUARDED_BY(mutex_) = "none";
  std::string id_ GUARDED_BY(mutex_);
  std::int32_t generation_ GUARDED_BY(mutex_) = 0;
};

}  // namespace tessvark
