#include "ocr/analysis_core.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <utility>

#include "core/agent_roles.h"
#include "ocr/zone_geometry.h"

namespace tessvark {
namespace {

// The status a zone's reading is shown with. A zone whose every digit slot holds no ink shows
// nothing on the board (a penalty that is not running, a blank shot clock): that is no misreading,
// so it says "empty" instead of the reader's word for a missing digit, which the interface shows
// as a warning. A zone with any ink that does not read keeps the reader's word.
std::string ZoneStatus(const ReaderResult& result) {
  if (result.has_value) return result.status;
  bool digit_slots = false;
  for (const SlotReading& slot : result.slots) {
    if (slot.kind != "digit") continue;
    if (slot.status != "empty") return result.status;
    digit_slots = true;
  }
  return digit_slots ? "empty" : result.status;
}

// A reading without a value where the reader saw ink it could not take for digits: the board
// still shows something, most likely what it showed before.
bool ReadingInDoubt(const RoleReading& reading) {
  static const char* const kDoubts[] = {"unrecognized", "unknown",           "missing_units", "all_ink",
                                        "not_a_time",   "separator_unclear", "withheld"};
  if (reading.value.kind != StateKind::kNull) return false;
  return std::any_of(std::begin(kDoubts), std::end(kDoubts), [&](const char* s) { return reading.status == s; });
}

// The reader of the role's row; a role the table does not know is read as a time.
RoleReader ReaderOf(const std::string& role) {
  const AgentRole* row = FindAgentRole(role);
  return row != nullptr ? row->reader : RoleReader::kClock;
}

bool IsPossessionRole(const std::string& role) {
  return ReaderOf(role) == RoleReader::kPossession;
}

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Optional white space, an optional sign, then at least one digit; what follows the digits is
// ignored. Absent without digits or outside the int32 range.
std::optional<int64_t> LeadingInt32(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || !IsDigit(text[i])) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return value;
}

// A decimal number taking up the whole text: optional white space, an optional sign, digits with
// an optional point, an optional exponent. No infinities, NaN or hexadecimal forms.
std::optional<double> WholeDecimal(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  const size_t start = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) ++digits;
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && IsDigit(text[i]); ++i) ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (i >= text.size() || !IsDigit(text[i])) return std::nullopt;
    while (i < text.size() && IsDigit(text[i])) ++i;
  }
  if (i != text.size()) return std::nullopt;
  errno = 0;
  const double value = std::strtod(text.c_str() + start, nullptr);
  if (errno == ERANGE && std::isinf(value)) return std::nullopt;
  return value;
}

StateValue NullValue() { return StateValue::MakeNull(); }

bool SamePicture(const cv::Mat& a, const cv::Mat& b) {
  if (a.size != b.size || a.type() != b.type()) return false;
  const size_t row_bytes = static_cast<size_t>(a.cols) * a.elemSize();
  for (int y = 0; y < a.rows; ++y) {
    if (std::memcmp(a.ptr(y), b.ptr(y), row_bytes) != 0) return false;
  }
  return true;
}

}  // namespace

ZoneImage PrepareZoneImage(const cv::Mat& working_image, const AnalysisZone& zone) {
  const std::optional<CornerQuad> corners =
      zone.perspective ? std::optional<CornerQuad>(zone.corners) : std::nullopt;
  ZoneCrop crop = WarpZonePerspective(working_image, zone.x, zone.y, zone.width, zone.height, corners, zone.id);
  return ZoneImage{&zone, std::move(crop.image), crop.failed, std::move(crop.error)};
}

std::optional<double> ClockSecondsFromText(const std::optional<std::string>& text,
                                           const std::optional<std::string>& mode) {
  if (!text || !mode) return std::nullopt;
  if (*mode == "tenths") return WholeDecimal(*text);
  if (*mode != "minutes") return std::nullopt;
  const size_t colon = text->find(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::optional<int64_t> minutes = LeadingInt32(text->substr(0, colon));
  const std::optional<int64_t> seconds = LeadingInt32(text->substr(colon + 1));
  if (!minutes || !seconds) return std::nullopt;
  // Both parts fit in 32 bits; their sum is formed in 64 so that no text can overflow it.
  return static_cast<double>(*minutes * 60 + *seconds);
}

ZoneValue ReadClockZone(const cv::Mat& picture, const std::string& role,
                        const std::optional<ZoneProcessing>& processing, ClockFormat format) {
  const ReaderResult result = ReadClock(picture, role, processing, format);
  ZoneValue out{NullValue(), NullValue(), NullValue(), ZoneStatus(result)};
  if (result.status == "no_frame") return out;
  const std::string mode = result.mode.value_or("minutes");
  out.clock_mode = StateValue::MakeString(std::string(mode));
  if (result.has_value) {
    out.value = StateValue::MakeString(std::string(result.text));
    const std::optional<double> seconds = ClockSecondsFromText(result.text, mode);
    if (seconds) out.clock_seconds = StateValue::MakeDouble(*seconds);
  }
  return out;
}

StateValue NumberValue(const std::string& role, const ReaderResult& result) {
  if (ReaderOf(role) == RoleReader::kShotClock) {
    return result.has_value ? StateValue::MakeString(std::string(result.text)) : NullValue();
  }
  return result.has_value && result.numeric ? StateValue::MakeInt(result.number) : NullValue();
}

ZoneValue ReadZoneValue(const cv::Mat& picture, const AnalysisZone& zone) {
  const std::string& role = zone.role;
  ReaderResult result;
  switch (ReaderOf(role)) {
    case RoleReader::kShotClock:
      result = ReadShotClock(picture, zone.processing);
      break;
    case RoleReader::kCount:
      result = ReadCount(picture, role, zone.processing);
      break;
    case RoleReader::kNumber:
      result = ReadNumber(picture, role, zone.processing);
      break;
    case RoleReader::kPeriod:
      result = ReadPeriod(picture, zone.processing);
      break;
    case RoleReader::kClock:
    case RoleReader::kPossession:
      return ReadClockZone(picture, role, zone.processing, zone.clock_format);
  }
  return ZoneValue{NumberValue(role, result), NullValue(), NullValue(), ZoneStatus(result)};
}

AnalysisCore::AnalysisCore(std::string agent_id, TimestampClock timestamp, MonotonicClock clock,
                           double clock_lane_interval, double values_lane_interval, ZoneValueReader reader)
    : state_store_(std::move(agent_id), std::move(timestamp)),
      scheduler_(clock_lane_interval, values_lane_interval, std::move(clock)),
      reader_(reader ? std::move(reader) : ZoneValueReader(ReadZoneValue)) {}

AnalysisStep AnalysisCore::Analyze(const std::shared_ptr<const WorkingFrame>& frame,
                                   const AnalysisSetup& setup, bool force) {
  const StepReadings step = ReadStep(frame, setup, force);
  if (step.run_list.empty()) return AnalysisStep{step.status, state_store_.Snapshot()};
  return Publish(step, setup);
}

StepReadings AnalysisCore::ReadStep(const std::shared_ptr<const WorkingFrame>& frame,
                                    const AnalysisSetup& setup, bool force) {
  StepReadings step;
  if (!frame) return step;
  const std::vector<AnalysisLane> due = scheduler_.DueLanes();
  const std::vector<AnalysisZone>& zones = setup.zones;
  const RoleFilter& role_filter = setup.role_filter;

  step.lane_context = LaneRunContext{frame->frame_number, frame->profile_key, setup.generation};
  {
    MutexLock lock(mutex_);
    for (AnalysisLane lane : due) {
      const std::optional<LaneRunContext>& last = lane_contexts_[static_cast<size_t>(lane)];
      if (force || !last || !(*last == step.lane_context)) step.run_list.push_back(lane);
    }
  }
  if (step.run_list.empty()) {
    step.status = kStepNothingToRun;
    return step;
  }
  const std::vector<AnalysisLane>& run_list = step.run_list;
  auto runs = [&run_list](AnalysisLane lane) {
    for (AnalysisLane candidate : run_list) {
      if (candidate == lane) return true;
    }
    return false;
  };

  if (setup.generation != cut_generation_) {
    cutter_.KeepOnly(zones);
    cut_generation_ = setup.generation;
  }
  // A zone whose role the engine does not know (possible in stored files) is skipped, so that
  // one bad zone cannot stop every other zone from being read. Only the zones read are cut from
  // the working picture; the rest of it is never made.
  std::vector<ZoneImage> images;
  for (const AnalysisZone& zone : zones) {
    if (zone.role.empty() || !RoleEnabled(role_filter, zone.role)) continue;
    const std::optional<AnalysisLane> lane = FindLaneForRole(zone.role);
    if (!lane || !runs(*lane)) continue;
    ZoneCrop crop = cutter_.Cut(frame->image, setup.geometry, zone);
    images.push_back(ZoneImage{&zone, std::move(crop.image), crop.failed, std::move(crop.error)});
  }

  step.context = ReadingContext{frame->source};
  std::vector<ZoneMemo> memos;
  {
    MutexLock lock(mutex_);
    memos = memos_;
  }
  std::vector<ZoneMemo> fresh_memos;
  for (AnalysisLane lane : kAnalysisLanes) {
    if (!runs(lane)) continue;
    std::vector<RoleReading> lane_readings = ReadLane(lane, images, step.context, memos, fresh_memos);
    for (RoleReading& reading : lane_readings) step.readings.push_back(std::move(reading));
  }
  RememberReadings(zones, std::move(fresh_memos));
  return step;
}

std::vector<RoleReading> AnalysisCore::ReadLane(AnalysisLane lane, const std::vector<ZoneImage>& images,
                                                const ReadingContext& context, const std::vector<ZoneMemo>& memos,
                                                std::vector<ZoneMemo>& fresh_memos) {
  auto in_lane = [lane](const ZoneImage& image) { return FindLaneForRole(image.zone->role) == lane; };

  const ZoneImage* home = nullptr;
  const ZoneImage* guest = nullptr;
  bool has_possession = false;
  for (const ZoneImage& image : images) {
    if (!in_lane(image) || !IsPossessionRole(image.zone->role)) continue;
    has_possession = true;
    (image.zone->role == "home_possession" ? home : guest) = &image;
  }
  std::optional<PossessionDecision> shown;
  if (has_possession) {
    std::optional<PossessionDecision> decision;
    if (home != nullptr && guest != nullptr) decision = ComparePossession(home->image, guest->image);
    MutexLock lock(mutex_);
    shown = smoother_.Update(decision);
  }

  std::vector<RoleReading> readings;
  for (const ZoneImage& image : images) {
    if (!in_lane(image)) continue;
    const AnalysisZone& zone = *image.zone;
    // A zone that could not be cut from the frame has no picture to read.
    RoleReading reading{zone.role, NullValue(), NullValue(), NullValue(), context, "no_frame"};
    if (!image.failed) {
      if (IsPossessionRole(zone.role)) {
        reading.status = shown ? "ok" : "undecided";
        if (shown) reading.value = StateValue::MakeInt(zone.role == "home_possession" ? shown->first : shown->second);
      } else {
        ZoneValue value = ReadOrReuse(image, memos, fresh_memos);
        reading.value = std::move(value.value);
        reading.clock_mode = std::move(value.clock_mode);
        reading.clock_seconds = std::move(value.clock_seconds);
        reading.status = std::move(value.status);
      }
    }
    readings.push_back(std::move(reading));
  }
  scheduler_.CompleteLane(lane);
  return readings;
}

ZoneValue AnalysisCore::ReadOrReuse(const ZoneImage& image, const std::vector<ZoneMemo>& memos,
                                     std::vector<ZoneMemo>& fresh_memos) {
  const AnalysisZone& zone = *image.zone;
  for (const ZoneMemo& memo : memos) {
    if (memo.zone == zone && SamePicture(memo.picture, image.image)) {
      fresh_memos.push_back(memo);
      return memo.value;
    }
  }
  ZoneValue value = reader_(image.image, zone);
  fresh_memos.push_back(ZoneMemo{zone, image.image, value});
  return value;
}

void AnalysisCore::RememberReadings(const std::vector<AnalysisZone>& zones, std::vector<ZoneMemo> fresh_memos) {
  MutexLock lock(mutex_);
  for (ZoneMemo& kept : memos_) {
    auto is_kept = [&](const ZoneMemo& memo) { return memo.zone == kept.zone; };
    const bool in_set = std::find(zones.begin(), zones.end(), kept.zone) != zones.end();
    if (in_set && std::none_of(fresh_memos.begin(), fresh_memos.end(), is_kept)) {
      fresh_memos.push_back(std::move(kept));
    }
  }
  memos_ = std::move(fresh_memos);
}

AnalysisStep AnalysisCore::Publish(const StepReadings& step, const AnalysisSetup& setup) {
  MutexLock lock(mutex_);
  if (!reading_context_ || !(*reading_context_ == step.context)) {
    readings_.clear();
    smoother_.Reset();
    reading_context_ = step.context;
  }
  const bool same_zones = setup.generation == readings_generation_;
  KeepReadingsOfZonedRolesLocked(setup);
  for (const RoleReading& reading : step.readings) {
    bool merged = false;
    for (RoleReading& stored : readings_) {
      if (stored.role == reading.role) {
        // A reading in doubt leaves the last value of the same zones standing, and says why;
        // a blank, a lost picture or changed zones do not.
        if (same_zones && ReadingInDoubt(reading) && stored.value.kind != StateKind::kNull) {
          stored.status = reading.status;
        } else {
          stored = reading;
        }
        merged = true;
        break;
      }
    }
    if (!merged) readings_.push_back(reading);
  }
  for (AnalysisLane lane : step.run_list) lane_contexts_[static_cast<size_t>(lane)] = step.lane_context;
  return AnalysisStep{kStepPublished, state_store_.ApplyValues(BuildValuesFromReadings(
                                          readings_, setup.zones, step.context, setup.role_filter))};
}

void AnalysisCore::KeepReadingsOfZonedRolesLocked(const AnalysisSetup& setup) {
  if (setup.generation == readings_generation_) return;
  const std::set<std::string> zoned = RolesWithZones(setup.zones);
  std::erase_if(readings_, [&](const RoleReading& reading) { return zoned.count(reading.role) == 0; });
  readings_generation_ = setup.generation;
}

void AnalysisCore::ClearReadingsLocked() {
  readings_.clear();
  reading_context_.reset();
  lane_contexts_ = {};
  smoother_.Reset();
  memos_.clear();
}

void AnalysisCore::Reset() {
  {
    MutexLock lock(mutex_);
    ClearReadingsLocked();
  }
  scheduler_.ClearPendingFrame();
}

void AnalysisCore::ApplyZoneChange(const AnalysisSetup& setup, const std::optional<SourceContext>& identity) {
  {
    MutexLock lock(mutex_);
    role_filter_ = setup.role_filter;
    ClearReadingsLocked();
  }
  RecomputeFromReadings(setup.zones, identity);
}

void AnalysisCore::ApplySetupChange(const AnalysisSetup& setup) {
  MutexLock lock(mutex_);
  role_filter_ = setup.role_filter;
  KeepReadingsOfZonedRolesLocked(setup);
  if (reading_context_) {
    state_store_.ApplyValues(BuildValuesFromReadings(readings_, setup.zones, *reading_context_, role_filter_));
  }
}

StateValue AnalysisCore::RecomputeFromReadings(const std::vector<AnalysisZone>& zones,
                                               const std::optional<SourceContext>& identity) {
  const ReadingContext context{identity ? *identity : SourceContext{"", "", ""}};
  MutexLock lock(mutex_);
  return state_store_.ApplyValues(BuildValuesFromReadings(readings_, zones, context, role_filter_));
}

std::vector<RoleReading> AnalysisCore::Readings() const {
  MutexLock lock(mutex_);
  return readings_;
}

}  // namespace tessvark
