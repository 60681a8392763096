#include "platform/status_notifier_item.h"

#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <system_error>
#include <utility>

namespace tessvark {
namespace {

constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr char kWatcherPath[] = "/StatusNotifierWatcher";
constexpr char kItemPath[] = "/StatusNotifierItem";
constexpr char kItemInterface[] = "org.kde.StatusNotifierItem";
constexpr char kMenuPath[] = "/MenuBar";
constexpr char kMenuInterface[] = "com.canonical.dbusmenu";
// The watcher's arrivals, departures and replacements.
constexpr char kWatcherOwnerMatch[] =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
    "arg0='org.kde.StatusNotifierWatcher'";

// A watcher announcing a host: a panel that starts (again) may have missed the item.
constexpr char kHostRegisteredMatch[] =
    "type='signal',interface='org.kde.StatusNotifierWatcher',"
    "member='StatusNotifierHostRegistered'";

constexpr char kNoWatcher[] = "no StatusNotifierWatcher on the session bus";
constexpr char kLimitsExceeded[] = "org.tessvark.Tray.Error.LimitsExceeded";

// What one call may ask of the menu. Any process on the session bus may call, and the host loop
// that answers also takes the signals, so no call may cost more than a panel's biggest honest
// request (a few dozen ids and names).
constexpr std::size_t kMaxIds = 1024;
constexpr std::size_t kMaxNames = 256;
constexpr std::size_t kMaxEvents = 256;
// Messages handled per turn of the host loop, which looks at its signals between turns.
constexpr int kMessagesPerTurn = 32;

// A watcher that owns its name may not yet serve its object (Debian's status-notifier-watcher
// takes the name about a second before it exports the object): the registration is tried again
// after 250 ms, doubling to 2 s, then once a minute while the watcher stays.
constexpr std::uint64_t kFirstRetryUs = 250000;
constexpr std::uint64_t kLastQuickRetryUs = 2000000;
constexpr std::uint64_t kSlowRetryUs = 60000000;
// A lost session bus is dialled again after 1 s, doubling to 30 s.
constexpr std::uint64_t kFirstReconnectUs = 1000000;
constexpr std::uint64_t kLastReconnectUs = 30000000;

// The menu never changes, so its layout keeps one revision.
constexpr std::uint32_t kMenuRevision = 1;
constexpr std::uint32_t kMenuProtocolVersion = 3;

std::string ErrnoText(int negative_errno) {
  return std::error_code(-negative_errno, std::generic_category()).message();
}

std::uint64_t MonotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

// Appends an "a(iiay)" icon: each picture as width, height and its ARGB bytes.
int AppendPixmaps(sd_bus_message* reply, const std::vector<TrayPixmap>& pixmaps) {
  int r = sd_bus_message_open_container(reply, 'a', "(iiay)");
  for (const TrayPixmap& pixmap : pixmaps) {
    if (r >= 0) r = sd_bus_message_open_container(reply, 'r', "iiay");
    if (r >= 0) r = sd_bus_message_append(reply, "ii", pixmap.width, pixmap.height);
    if (r >= 0) r = sd_bus_message_append_array(reply, 'y', pixmap.argb.data(), pixmap.argb.size());
    if (r >= 0) r = sd_bus_message_close_container(reply);
  }
  if (r >= 0) r = sd_bus_message_close_container(reply);
  return r;
}

// One node of the exported menu. Id 0 is the root; entry i of the settings has id i + 1. Every
// property the menu shows is text.
struct MenuProperty {
  const char* name;
  std::string value;
};

// The properties a menu node may have; a caller's other names are dropped as they are read.
constexpr std::string_view kMenuPropertyNames[] = {"children-display", "type", "label"};

// Which of the menu's properties a call asked for. No names at all ask for every property.
struct WantedProperties {
  bool every = true;
  bool named[std::size(kMenuPropertyNames)] = {};

  bool Wants(std::string_view name) const {
    if (every) return true;
    for (std::size_t i = 0; i < std::size(kMenuPropertyNames); ++i) {
      if (kMenuPropertyNames[i] == name) return named[i];
    }
    return false;
  }
};

// -E2BIG when the call asks for more than one call may.
int ReadWantedProperties(sd_bus_message* message, WantedProperties& out) {
  int r = sd_bus_message_enter_container(message, 'a', "s");
  const char* text = nullptr;
  std::size_t count = 0;
  while (r >= 0 && (r = sd_bus_message_read(message, "s", &text)) > 0) {
    if (++count > kMaxNames) return -E2BIG;
    out.every = false;
    for (std::size_t i = 0; i < std::size(kMenuPropertyNames); ++i) {
      if (kMenuPropertyNames[i] == text) out.named[i] = true;
    }
  }
  if (r >= 0) r = sd_bus_message_exit_container(message);
  return r;
}

// The array is read in place, so even a huge one costs nothing before its size is seen.
int ReadIds(sd_bus_message* message, std::vector<std::int32_t>& out) {
  const void* data = nullptr;
  std::size_t size = 0;
  const int r = sd_bus_message_read_array(message, 'i', &data, &size);
  if (r < 0) return r;
  if (size / sizeof(std::int32_t) > kMaxIds) return -E2BIG;
  const auto* ids = static_cast<const std::int32_t*>(data);
  out.assign(ids, ids + size / sizeof(std::int32_t));
  return r;
}

// A failed read of a call's arguments: its own error reply for a call that asks too much.
int RefuseArguments(int r, sd_bus_error* error) {
  if (r != -E2BIG) return r;
  return sd_bus_error_setf(error, kLimitsExceeded,
                           "At most %zu ids, %zu property names and %zu events in one call",
                           kMaxIds, kMaxNames, kMaxEvents);
}

// `ids` sorted, each once.
void DropRepeats(std::vector<std::int32_t>& ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

// The session bus at `address`, or the user's when it is empty.
int ConnectToSessionBus(const std::string& address, sd_bus** bus) {
  if (address.empty()) return sd_bus_open_user_with_description(bus, "tessvark-tray");
  int r = sd_bus_new(bus);
  if (r >= 0) r = sd_bus_set_address(*bus, address.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(*bus, 1);
  if (r >= 0) r = sd_bus_start(*bus);
  return r;
}

class StatusNotifierItem final : public HostLoopSource {
 public:
  StatusNotifierItem(sd_bus* bus, TrayIconSettings settings, std::function<void(HostAction)> post,
                     TrayReport report)
      : bus_(bus),
        settings_(std::move(settings)),
        post_(std::move(post)),
        report_(std::move(report)),
        service_("org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1") {}

  ~StatusNotifierItem() override { CloseBus(); }

  StatusNotifierItem(const StatusNotifierItem&) = delete;
  StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

  // Exports the two objects and sends, in this order, the request for the item's name, the
  // watch on the watcher's name and the registration. The bus handles one connection's messages
  // in order, so the name is ours before the watcher looks it up, and a watcher that appears
  // after the registration found none is still seen. Nothing here waits for the bus. False, and
  // the reason reported, when the connection refused any of it.
  bool Start() {
    int r = sd_bus_add_object_vtable(bus_, nullptr, kItemPath, kItemInterface, kItemVtable, this);
    if (r >= 0) {
      r = sd_bus_add_object_vtable(bus_, nullptr, kMenuPath, kMenuInterface, kMenuVtable, this);
    }
    if (r >= 0) {
      r = sd_bus_request_name_async(bus_, nullptr, service_.c_str(), 0, OnNameRequested, this);
    }
    if (r >= 0) {
      // Without the watch a later watcher goes unseen; that is no reason to end the connection,
      // which is what sd-bus does when no handler takes the failure.
      r = sd_bus_add_match_async(bus_, nullptr, kWatcherOwnerMatch, OnWatcherOwnerChanged,
                                 IgnoreReply, this);
    }
    if (r >= 0) {
      r = sd_bus_add_match_async(bus_, nullptr, kHostRegisteredMatch, OnHostRegistered,
                                 IgnoreReply, this);
    }
    if (r >= 0) r = Register();
    if (r < 0) Unavailable("the item could not be put on the session bus (" + ErrnoText(r) + ")");
    return r >= 0;
  }

  Wait NextWait() override {
    Wait wait;
    std::uint64_t until = UINT64_MAX;
    if (bus_ == nullptr) {
      until = reconnect_at_;
    } else {
      wait.fd = sd_bus_get_fd(bus_);
      const int events = sd_bus_get_events(bus_);
      wait.events = static_cast<short>(events > 0 ? events : 0);
      if (sd_bus_get_timeout(bus_, &until) < 0) until = UINT64_MAX;
      if (register_at_ != 0 && register_at_ < until) until = register_at_;
      // Messages left over from the last turn are served at once, after a look at the signals.
      if (more_ready_) until = 0;
    }
    if (until != UINT64_MAX) {
      const std::uint64_t now = MonotonicMicroseconds();
      const std::uint64_t left_ms = until <= now ? 0 : (until - now + 999) / 1000;
      wait.timeout_ms = left_ms > INT_MAX ? INT_MAX : static_cast<int>(left_ms);
    }
    return wait;
  }

  void Serve() override {
    const std::uint64_t now = MonotonicMicroseconds();
    if (bus_ == nullptr) {
      if (now >= reconnect_at_) Reconnect();
      return;
    }
    if (register_at_ != 0 && now >= register_at_) {
      register_at_ = 0;
      Register();
    }
    int r = 0;
    int handled = 0;
    while (handled < kMessagesPerTurn && (r = sd_bus_process(bus_, nullptr)) > 0) ++handled;
    more_ready_ = handled == kMessagesPerTurn;
    if (r < 0 || !sd_bus_is_open(bus_)) {
      // The session ended under the program, or the bus broke: the icon comes back once a bus
      // answers at the same address again.
      CloseBus();
      Unavailable("the session bus connection was lost");
      reconnect_backoff_us_ = kFirstReconnectUs;
      reconnect_at_ = now + reconnect_backoff_us_;
    }
  }

 private:
  static const sd_bus_vtable kItemVtable[];
  static const sd_bus_vtable kMenuVtable[];

  void CloseBus() {
    registration_ = sd_bus_slot_unref(registration_);
    bus_ = sd_bus_close_unref(bus_);
    register_at_ = 0;
    more_ready_ = false;
  }

  // Dials the session bus again and puts the item back on it; on failure the next try waits
  // twice as long, up to its bound.
  void Reconnect() {
    sd_bus* bus = nullptr;
    if (ConnectToSessionBus(settings_.bus_address, &bus) >= 0) {
      bus_ = bus;
      if (Start()) return;
      CloseBus();
    } else {
      sd_bus_unref(bus);
    }
    reconnect_backoff_us_ = std::min(reconnect_backoff_us_ * 2, kLastReconnectUs);
    reconnect_at_ = MonotonicMicroseconds() + reconnect_backoff_us_;
  }

  // Registers now and starts the back-off of retries from its beginning.
  void RegisterAfresh() {
    register_at_ = 0;
    register_backoff_us_ = kFirstRetryUs;
    Register();
  }

  void RetryRegistrationLater() {
    register_at_ = MonotonicMicroseconds() + register_backoff_us_;
    register_backoff_us_ = register_backoff_us_ >= kLastQuickRetryUs
                               ? kSlowRetryUs
                               : std::min(register_backoff_us_ * 2, kLastQuickRetryUs);
  }

  // News the same as the last that was said is not said again, so a watcher that keeps
  // refusing, or keeps coming and going, costs one line per change.
  void Say(const std::string& line) {
    if (line == last_said_) return;
    last_said_ = line;
    report_(line);
  }
  void Unavailable(const std::string& reason) { Say("unavailable: " + reason); }
  // Only an icon that was reported missing is reported shown.
  void Shown() {
    if (!last_said_.empty()) Say("shown");
  }

  // Asks the watcher to show the item; an earlier request still waiting for its answer is
  // dropped, so only the newest answer counts.
  int Register() {
    registration_ = sd_bus_slot_unref(registration_);
    return sd_bus_call_method_async(bus_, &registration_, kWatcherName, kWatcherPath,
                                    kWatcherName, "RegisterStatusNotifierItem", OnRegistered, this,
                                    "s", service_.c_str());
  }

  static int IgnoreReply(sd_bus_message*, void*, sd_bus_error*) { return 0; }

  static int OnNameRequested(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* self = static_cast<StatusNotifierItem*>(userdata);
    if (sd_bus_message_is_method_error(reply, nullptr)) {
      const sd_bus_error* error = sd_bus_message_get_error(reply);
      self->Unavailable("the bus name " + self->service_ + " could not be taken (" +
                        error->name + ")");
    }
    return 0;
  }

  static int OnRegistered(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* self = static_cast<StatusNotifierItem*>(userdata);
    // A connection that is closing answers every waiting call with an error of its own; the
    // loss itself is reported once the connection has gone.
    if (!sd_bus_is_open(self->bus_)) return 0;
    if (!sd_bus_message_is_method_error(reply, nullptr)) {
      self->register_backoff_us_ = kFirstRetryUs;
      self->Shown();
      return 0;
    }
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    const std::string name = error->name != nullptr ? error->name : "";
    if (name == SD_BUS_ERROR_SERVICE_UNKNOWN || name == SD_BUS_ERROR_NAME_HAS_NO_OWNER) {
      // The watcher's arrival will be seen.
      self->Unavailable(kNoWatcher);
    } else {
      self->Unavailable("the StatusNotifierWatcher did not register the item (" + name + ": " +
                        (error->message != nullptr ? error->message : "") + ")");
      self->RetryRegistrationLater();
    }
    return 0;
  }

  static int OnHostRegistered(sd_bus_message*, void* userdata, sd_bus_error*) {
    static_cast<StatusNotifierItem*>(userdata)->RegisterAfresh();
    return 0;
  }

  static int OnWatcherOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error*) {
    auto* self = static_cast<StatusNotifierItem*>(userdata);
    const char* name = nullptr;
    const char* old_owner = nullptr;
    const char* new_owner = nullptr;
    if (sd_bus_message_read(signal, "sss", &name, &old_owner, &new_owner) < 0) return 0;
    if (new_owner[0] != '\0') {
      self->RegisterAfresh();
    } else {
      self->register_at_ = 0;
      self->Unavailable(kNoWatcher);
    }
    return 0;
  }

  // --- The item ---

  static int GetItemProperty(sd_bus*, const char*, const char*, const char* property,
                             sd_bus_message* reply, void* userdata, sd_bus_error*) {
    const auto* self = static_cast<const StatusNotifierItem*>(userdata);
    const TrayIconSettings& settings = self->settings_;
    const std::string_view name = property;
    if (name == "Category") return sd_bus_message_append(reply, "s", "ApplicationStatus");
    if (name == "Id") return sd_bus_message_append(reply, "s", settings.id.c_str());
    if (name == "Title") return sd_bus_message_append(reply, "s", settings.title.c_str());
    if (name == "Status") return sd_bus_message_append(reply, "s", "Active");
    // No icon name: hosts take the pixmap, and no icon theme is needed.
    if (name == "IconName") return sd_bus_message_append(reply, "s", "");
    if (name == "IconPixmap") return AppendPixmaps(reply, settings.icon);
    if (name == "ItemIsMenu") return sd_bus_message_append(reply, "b", 0);
    if (name == "Menu") return sd_bus_message_append(reply, "o", kMenuPath);
    if (name == "WindowId") return sd_bus_message_append(reply, "i", 0);
    // No overlay, no attention state, no theme of its own: hosts read these all the same.
    if (name == "OverlayIconPixmap" || name == "AttentionIconPixmap") {
      return AppendPixmaps(reply, {});
    }
    if (name != "ToolTip") return sd_bus_message_append(reply, "s", "");
    // What is left is ToolTip: icon name, icon, title, description.
    int r = sd_bus_message_open_container(reply, 'r', "sa(iiay)ss");
    if (r >= 0) r = sd_bus_message_append(reply, "s", "");
    if (r >= 0) r = AppendPixmaps(reply, {});
    if (r >= 0) r = sd_bus_message_append(reply, "ss", settings.title.c_str(), "");
    if (r >= 0) r = sd_bus_message_close_container(reply);
    return r;
  }

  static int OnActivate(sd_bus_message* call, void* userdata, sd_bus_error*) {
    static_cast<StatusNotifierItem*>(userdata)->post_(HostAction::kOpen);
    return sd_bus_reply_method_return(call, "");
  }

  // The menu is the host's to show (Menu), and a middle click or the wheel mean nothing here.
  static int OnIgnoredGesture(sd_bus_message* call, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(call, "");
  }

  // --- The menu ---

  bool KnownId(std::int32_t id) const {
    return id >= 0 && static_cast<std::size_t>(id) <= settings_.menu.size();
  }

  std::vector<MenuProperty> PropertiesOf(std::int32_t id) const {
    if (id == 0) return {{"children-display", "submenu"}};
    const TrayMenuEntry& entry = settings_.menu[static_cast<std::size_t>(id - 1)];
    if (!entry.action) return {{"type", "separator"}};
    return {{"label", entry.label}};
  }

  int AppendProperties(sd_bus_message* reply, std::int32_t id,
                       const WantedProperties& names) const {
    int r = sd_bus_message_open_container(reply, 'a', "{sv}");
    for (const MenuProperty& property : PropertiesOf(id)) {
      if (r < 0 || !names.Wants(property.name)) continue;
      r = sd_bus_message_append(reply, "{sv}", property.name, "s", property.value.c_str());
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    return r;
  }

  // One "(ia{sv}av)" node; its children, each in a variant, down to `depth` levels (-1: all).
  int AppendLayout(sd_bus_message* reply, std::int32_t id, std::int32_t depth,
                   const WantedProperties& names) const {
    int r = sd_bus_message_open_container(reply, 'r', "ia{sv}av");
    if (r >= 0) r = sd_bus_message_append(reply, "i", id);
    if (r >= 0) r = AppendProperties(reply, id, names);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "v");
    if (id == 0 && depth != 0) {
      const std::int32_t count = static_cast<std::int32_t>(settings_.menu.size());
      for (std::int32_t child = 1; r >= 0 && child <= count; ++child) {
        r = sd_bus_message_open_container(reply, 'v', "(ia{sv}av)");
        if (r >= 0) r = AppendLayout(reply, child, depth < 0 ? depth : depth - 1, names);
        if (r >= 0) r = sd_bus_message_close_container(reply);
      }
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_message_close_container(reply);
    return r;
  }

  static int NoSuchItem(sd_bus_error* error, std::int32_t id) {
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "No menu item %d", id);
  }

  // What a host's event on an entry asks for; true when the id names an item.
  bool HandleEvent(std::int32_t id, std::string_view event) {
    if (!KnownId(id)) return false;
    if (event == "clicked" && id > 0) {
      const TrayMenuEntry& entry = settings_.menu[static_cast<std::size_t>(id - 1)];
      if (entry.action) post_(*entry.action);
    }
    return true;
  }

  static int GetMenuProperty(sd_bus*, const char*, const char*, const char* property,
                             sd_bus_message* reply, void*, sd_bus_error*) {
    const std::string_view name = property;
    if (name == "Version") return sd_bus_message_append(reply, "u", kMenuProtocolVersion);
    if (name == "TextDirection") return sd_bus_message_append(reply, "s", "ltr");
    if (name == "Status") return sd_bus_message_append(reply, "s", "normal");
    return sd_bus_message_append(reply, "as", 0);  // IconThemePath: none
  }

  static int OnGetLayout(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    const auto* self = static_cast<const StatusNotifierItem*>(userdata);
    std::int32_t parent = 0;
    std::int32_t depth = 0;
    WantedProperties names;
    int r = sd_bus_message_read(call, "ii", &parent, &depth);
    if (r >= 0) r = ReadWantedProperties(call, names);
    if (r < 0) return RefuseArguments(r, error);
    if (!self->KnownId(parent)) return NoSuchItem(error, parent);
    sd_bus_message* reply = nullptr;
    r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0) r = sd_bus_message_append(reply, "u", kMenuRevision);
    if (r >= 0) r = self->AppendLayout(reply, parent, depth, names);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }

  // An empty id list asks for every item; unknown ids are left out, each id answered once.
  static int OnGetGroupProperties(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    const auto* self = static_cast<const StatusNotifierItem*>(userdata);
    std::vector<std::int32_t> asked;
    WantedProperties names;
    int r = ReadIds(call, asked);
    if (r >= 0) r = ReadWantedProperties(call, names);
    if (r < 0) return RefuseArguments(r, error);
    std::vector<std::int32_t> ids;
    std::vector<bool> taken(self->settings_.menu.size() + 1, false);
    for (const std::int32_t id : asked) {
      if (!self->KnownId(id) || taken[static_cast<std::size_t>(id)]) continue;
      taken[static_cast<std::size_t>(id)] = true;
      ids.push_back(id);
    }
    if (asked.empty()) {
      for (std::int32_t id = 0; self->KnownId(id); ++id) ids.push_back(id);
    }
    sd_bus_message* reply = nullptr;
    r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(ia{sv})");
    for (std::int32_t id : ids) {
      if (r < 0) break;
      r = sd_bus_message_open_container(reply, 'r', "ia{sv}");
      if (r >= 0) r = sd_bus_message_append(reply, "i", id);
      if (r >= 0) r = self->AppendProperties(reply, id, names);
      if (r >= 0) r = sd_bus_message_close_container(reply);
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }

  static int OnGetProperty(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    const auto* self = static_cast<const StatusNotifierItem*>(userdata);
    std::int32_t id = 0;
    const char* name = nullptr;
    const int r = sd_bus_message_read(call, "is", &id, &name);
    if (r < 0) return r;
    if (!self->KnownId(id)) return NoSuchItem(error, id);
    for (const MenuProperty& property : self->PropertiesOf(id)) {
      if (property.name == std::string_view(name)) {
        return sd_bus_reply_method_return(call, "v", "s", property.value.c_str());
      }
    }
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "Menu item %d has no %s", id,
                             name);
  }

  static int OnEvent(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<StatusNotifierItem*>(userdata);
    std::int32_t id = 0;
    const char* event = nullptr;
    const int r = sd_bus_message_read(call, "is", &id, &event);
    if (r < 0) return r;
    if (!self->HandleEvent(id, event)) return NoSuchItem(error, id);
    return sd_bus_reply_method_return(call, "");
  }

  // Answers the ids it does not know, each once. A call with too many events does nothing.
  static int OnEventGroup(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<StatusNotifierItem*>(userdata);
    std::vector<std::pair<std::int32_t, std::string>> events;
    int r = sd_bus_message_enter_container(call, 'a', "(isvu)");
    while (r >= 0 && (r = sd_bus_message_enter_container(call, 'r', "isvu")) > 0) {
      if (events.size() == kMaxEvents) return RefuseArguments(-E2BIG, error);
      std::int32_t id = 0;
      const char* event = nullptr;
      r = sd_bus_message_read(call, "is", &id, &event);
      if (r >= 0) r = sd_bus_message_skip(call, "vu");
      if (r >= 0) r = sd_bus_message_exit_container(call);
      if (r >= 0) events.emplace_back(id, event);
    }
    if (r >= 0) r = sd_bus_message_exit_container(call);
    if (r < 0) return r;
    std::vector<std::int32_t> unknown;
    for (const auto& [id, event] : events) {
      if (!self->HandleEvent(id, event)) unknown.push_back(id);
    }
    DropRepeats(unknown);
    return ReplyIds(call, {&unknown});
  }

  // Nothing to prepare: the menu is always up to date.
  static int OnAboutToShow(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    const auto* self = static_cast<const StatusNotifierItem*>(userdata);
    std::int32_t id = 0;
    const int r = sd_bus_message_read(call, "i", &id);
    if (r < 0) return r;
    if (!self->KnownId(id)) return NoSuchItem(error, id);
    return sd_bus_reply_method_return(call, "b", 0);
  }

  // No item needs an update; the second list holds the ids it does not know.
  static int OnAboutToShowGroup(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    const auto* self = static_cast<const StatusNotifierItem*>(userdata);
    std::vector<std::int32_t> ids;
    const int r = ReadIds(call, ids);
    if (r < 0) return RefuseArguments(r, error);
    std::vector<std::int32_t> unknown;
    for (std::int32_t id : ids) {
      if (!self->KnownId(id)) unknown.push_back(id);
    }
    DropRepeats(unknown);
    const std::vector<std::int32_t> none;
    return ReplyIds(call, {&none, &unknown});
  }

  // A reply of one "ai" argument per list.
  static int ReplyIds(sd_bus_message* call,
                      std::initializer_list<const std::vector<std::int32_t>*> lists) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(call, &reply);
    for (const std::vector<std::int32_t>* ids : lists) {
      if (r >= 0) {
        r = sd_bus_message_append_array(reply, 'i', ids->data(), ids->size() * sizeof(std::int32_t));
      }
    }
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }

  sd_bus* bus_;                          // null while the session bus is lost
  sd_bus_slot* registration_ = nullptr;  // the registration waiting for its answer
  std::uint64_t register_at_ = 0;        // when to register again (monotonic µs); 0: not planned
  std::uint64_t register_backoff_us_ = kFirstRetryUs;
  std::uint64_t reconnect_at_ = 0;  // when to dial a lost bus again (monotonic µs)
  std::uint64_t reconnect_backoff_us_ = kFirstReconnectUs;
  bool more_ready_ = false;  // the last turn stopped at its bound with messages left
  const TrayIconSettings settings_;
  const std::function<void(HostAction)> post_;
  const TrayReport report_;
  const std::string service_;
  std::string last_said_;  // the last line reported; empty while none was
};

constexpr auto kConst = SD_BUS_VTABLE_PROPERTY_CONST;
constexpr auto kAnyone = SD_BUS_VTABLE_UNPRIVILEGED;

const sd_bus_vtable StatusNotifierItem::kItemVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Category", "s", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("Id", "s", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("Title", "s", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("Status", "s", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("IconName", "s", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("IconPixmap", "a(iiay)", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("ItemIsMenu", "b", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("Menu", "o", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("IconThemePath", "s", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("OverlayIconName", "s", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("OverlayIconPixmap", "a(iiay)", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("AttentionIconName", "s", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("AttentionIconPixmap", "a(iiay)", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("AttentionMovieName", "s", GetItemProperty, 0, kConst),
    SD_BUS_PROPERTY("WindowId", "i", GetItemProperty, 0, kConst),
    SD_BUS_METHOD("Activate", "ii", "", OnActivate, kAnyone),
    SD_BUS_METHOD("ContextMenu", "ii", "", OnIgnoredGesture, kAnyone),
    SD_BUS_METHOD("SecondaryActivate", "ii", "", OnIgnoredGesture, kAnyone),
    SD_BUS_METHOD("Scroll", "is", "", OnIgnoredGesture, kAnyone),
    SD_BUS_VTABLE_END};

const sd_bus_vtable StatusNotifierItem::kMenuVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Version", "u", GetMenuProperty, 0, kConst),
    SD_BUS_PROPERTY("TextDirection", "s", GetMenuProperty, 0, kConst),
    SD_BUS_PROPERTY("Status", "s", GetMenuProperty, 0, kConst),
    SD_BUS_PROPERTY("IconThemePath", "as", GetMenuProperty, 0, kConst),
    SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", OnGetLayout, kAnyone),
    SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})", OnGetGroupProperties, kAnyone),
    SD_BUS_METHOD("GetProperty", "is", "v", OnGetProperty, kAnyone),
    SD_BUS_METHOD("Event", "isvu", "", OnEvent, kAnyone),
    SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", OnEventGroup, kAnyone),
    SD_BUS_METHOD("AboutToShow", "i", "b", OnAboutToShow, kAnyone),
    SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai", OnAboutToShowGroup, kAnyone),
    SD_BUS_VTABLE_END};

}  // namespace

std::unique_ptr<HostLoopSource> ShowStatusNotifierItem(TrayIconSettings settings,
                                                       std::function<void(HostAction)> post,
                                                       TrayReport report) {
  sd_bus* bus = nullptr;
  const int r = ConnectToSessionBus(settings.bus_address, &bus);
  if (r < 0) {
    sd_bus_unref(bus);
    // sd-bus says "No medium found" when it was told of no bus at all.
    report("unavailable: no session bus (" +
           (r == -ENOMEDIUM ? "neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set"
                            : ErrnoText(r)) +
           ")");
    return nullptr;
  }
  auto item = std::make_unique<StatusNotifierItem>(bus, std::move(settings), std::move(post),
                                                   std::move(report));
  if (!item->Start()) return nullptr;
  return item;
}

}  // namespace tessvark
