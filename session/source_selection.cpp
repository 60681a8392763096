#include "session/source_selection.h"

#include "session/ocr_zone.h"

namespace tessvark {

SourceContext ContextOf(const SourceSelection& selection) {
  SourceContext context;
  context.source_type = selection.selected ? selection.type : "none";
  context.source_id = selection.id;
  context.generation = std::to_string(selection.generation);
  return context;
}

std::string ProfileKeyOf(const SourceSelection& selection) {
  return ZoneProfileKey(selection.selected, selection.type, selection.id);
}

bool IsLiveReceiverType(const std::string& type) {
  return type == "ndi" || type == "srt" || type == "omt";
}

bool MatchesSelection(const SourceSelection& selection, const VideoFrame& frame) {
  return IsLiveReceiverType(selection.type) && frame.source_generation == selection.generation &&
         frame.source == selection.id;
}

void PublishedSelection::Publish(const SourceSelection& selection) {
  MutexLock lock(mutex_);
  selected_ = selection.selected;
  type_ = selection.type;
  id_ = selection.id;
  generation_ = selection.generation;
}

SourceSelection PublishedSelection::Read() const {
  MutexLock lock(mutex_);
  SourceSelection copy;
  copy.selected = selected_;
  copy.type = type_;
  copy.id = id_;
  copy.generation = generation_;
  return copy;
}

}  // namespace tessvark
