#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/mutex.h"
#include "settings/config_json.h"

namespace tessvark {

// The stored settings of one source profile, a (source type, source id) pair named by its
// ProfileKey text.
struct ZoneProfile {
  std::string key;
  std::string zones = "[]";  // compact JSON array text
  bool has_zones = false;
  bool hide_empty = false;
  bool has_hide_empty = false;
  bool has_geometry = false;
  ProfileCorners corners;  // meaningful only with has_geometry
};

// The persisted source configuration: a plain value, guarded by its owner.
struct SourceConfiguration {
  std::string source_type = "none";
  std::string source_id;
  std::string ndi_source_id;
  std::string ndi_source_name;
  std::vector<ZoneProfile> profiles;  // keys unique, in the order first added
  bool vmix_enabled = true;
  bool sse_enabled = false;
  bool rest_enabled = false;
  bool rss_enabled = false;
  bool output_config_loaded = false;
  std::string output_config_text;

  // The profile whose key equals `key` byte for byte, or null.
  ZoneProfile* FindProfile(const std::string& key);
  const ZoneProfile* FindProfile(const std::string& key) const;
  // That profile, or a new one appended with zones "[]", all flags false and zero corners.
  ZoneProfile& FindOrAddProfile(const std::string& key);
};

// What a load tells its caller; either flag means the configuration should be saved at once.
struct ConfigLoadResult {
  bool zone_store_rewritten = false;
  bool geometry_needs_rewrite = false;
};

// {"source_id":..,"source_type":..} with both values escaped, no white space.
std::string ProfileKey(const std::string& source_type, const std::string& source_id);
// Reads a key back; false (outputs untouched) unless it is an object whose first "source_type"
// and "source_id" are strings.
bool ParseProfileKey(const std::string& key, std::string& source_type, std::string& source_id);

// One save of the configuration, numbered in the order its caller built the record: under the
// caller's own lock, so that a record built later reflects everything an earlier one did.
struct ConfigSave {
  std::uint64_t sequence = 0;
  SourceConfiguration config;
};

// The session's source configuration in "source_config.json", "zone_store.json",
// "source_geometry.json" and "output_config.json" of one data folder. A file that exists but
// cannot be used is never replaced before its content has been kept under a second name
// ("<file>.unreadable", or "source_geometry.legacy-v1.json" for the geometry); when no copy can
// be made the save is refused instead.
//
// Load, Write (and so Save) and SaveOutputConfig hold the store mutex for their whole run, so
// files are written one save at a time; callers may hold the session's engine mutex around them
// (engine mutex first), but need not. PrepareSave only numbers a save and may be called under any
// lock. ApplyFactoryDefaults takes no lock.
class ConfigStore {
 public:
  explicit ConfigStore(std::filesystem::path directory);
  ConfigStore(const ConfigStore&) = delete;
  ConfigStore& operator=(const ConfigStore&) = delete;

  // Reads the four files into `config` (defaults for whatever cannot be used). Writes nothing
  // except the copy and rewrite of an unusable "zone_store.json" and the legacy copy of a
  // version-1 geometry file. Throws std::filesystem::filesystem_error only when a file's status
  // cannot be queried for a reason other than "not found".
  ConfigLoadResult Load(SourceConfiguration& config) EXCLUDES(mutex_);

  // Merges the Example profiles of the factory-defaults document at `path` into `config`.
  // On false `error` is set and `config` is unchanged.
  bool ApplyFactoryDefaults(SourceConfiguration& config, const std::filesystem::path& path,
                            std::string& error);

  // Writes "zone_store.json", "source_geometry.json" and "source_config.json" from `config`, in
  // that order, after keeping every pending copy. On false `error` is set; files before the
  // failing one are replaced, the others untouched. The same as Write(PrepareSave(config)).
  bool Save(const SourceConfiguration& config, std::string& error) EXCLUDES(mutex_);

  // Numbers a save for Write. A caller that writes outside the lock under which it built its
  // record prepares the save under that lock, so the numbers follow the records.
  ConfigSave PrepareSave(SourceConfiguration config);
  // Writes the save as Save does, unless a save prepared after it was written already: a later
  // configuration is never overwritten by an earlier one. That save is refused (false, `error`
  // set) and nothing is written.
  bool Write(const ConfigSave& save, std::string& error) EXCLUDES(mutex_);

  // Writes `text` as "output_config.json" (it must parse as JSON).
  bool SaveOutputConfig(const std::string& text, std::string& error) EXCLUDES(mutex_);

  const std::filesystem::path& directory() const { return directory_; }

 private:
  // One file whose current content must be kept before the file is replaced.
  struct PendingCopy {
    std::string copy_name;
    std::string text;      // the unusable text, when it could be read
    bool unread = false;   // the file exists but its bytes could not be read
    bool IsSet() const { return unread || !text.empty(); }
  };

  // Keeps `text` as the new file `name` in the data folder, or under `name` + "." + a nanosecond
  // reading when that is taken.
  bool KeepUnusableCopy(const std::string& name, const std::string& text, std::string& error)
      REQUIRES(mutex_);
  bool KeepPendingCopy(PendingCopy& pending, const std::string& file_name, std::string& error)
      REQUIRES(mutex_);
  void LoadSourceConfig(SourceConfiguration& config) REQUIRES(mutex_);
  bool LoadZoneStore(SourceConfiguration& config) REQUIRES(mutex_);
  bool LoadGeometry(SourceConfiguration& config) REQUIRES(mutex_);
  void LoadOutputConfig(SourceConfiguration& config) REQUIRES(mutex_);

  const std::filesystem::path directory_;
  std::atomic<std::uint64_t> prepared_{0};  // saves numbered so far
  Mutex mutex_;
  std::uint64_t written_ GUARDED_BY(mutex_) = 0;  // the newest save written
  PendingCopy pending_geometry_ GUARDED_BY(mutex_);
  PendingCopy pending_source_config_ GUARDED_BY(mutex_);
  PendingCopy pending_zone_store_ GUARDED_BY(mutex_);
  PendingCopy pending_output_config_ GUARDED_BY(mutex_);
};

// The layouts the store writes (two-space indentation, compact zone lists, final newline).
std::string SourceConfigDocument(const SourceConfiguration& config);
std::string ZoneStoreDocument(const SourceConfiguration& config);
std::string GeometryDocument(const SourceConfiguration& config);

}  // namespace tessvark
