#pragma once

// The desktop's side of the tray, played by the tests: a private session bus, a stand-in
// org.kde.StatusNotifierWatcher and a stand-in host that reads an item and clicks it, all over
// sd-bus. Nothing here uses the program's own tray code.

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tessvark::testing {

// A session bus of the test's own: dbus-daemon with a configuration written into `folder` (one
// socket there, no service activation), never the user's bus. Ended with the object or by Stop.
class PrivateSessionBus {
 public:
  explicit PrivateSessionBus(const std::string& folder);
  ~PrivateSessionBus();
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  // The bus's address; empty when the daemon did not start (`problem` says why).
  const std::string& address() const { return address_; }
  const std::string& problem() const { return problem_; }
  // Ends the daemon now, as when the session ends under its clients.
  void Stop();

 private:
  pid_t pid_ = -1;
  std::string address_;
  std::string problem_;
};

// Debian's own StatusNotifierWatcher (the program status-notifier-watcher of the package
// haskell-status-notifier-item-utils) on a bus, as a process; ended with the object or by Stop.
// It owns the watcher's name a while before it serves its object, as it does on a desktop.
class DebianWatcher {
 public:
  DebianWatcher(const std::string& bus_address, const std::string& log_path);
  ~DebianWatcher() { Stop(); }
  DebianWatcher(const DebianWatcher&) = delete;
  DebianWatcher& operator=(const DebianWatcher&) = delete;

  bool started() const { return pid_ > 0; }
  void Stop();

 private:
  pid_t pid_ = -1;
};

struct ItemRegistration {
  std::string service;  // what RegisterStatusNotifierItem was given
  std::string sender;   // the connection that asked
};

// A stand-in StatusNotifierWatcher on a connection and thread of its own: owns the watcher's
// name, records every RegisterStatusNotifierItem and accepts it, or refuses it with the error
// `refusal` when one is given. `on_registration` runs on its thread as each one arrives, before
// the answer goes out.
class StandInWatcher {
 public:
  using RegistrationHook = std::function<void(const ItemRegistration&)>;
  explicit StandInWatcher(const std::string& bus_address, std::string refusal = {},
                          RegistrationHook on_registration = {});
  // The name goes with the connection.
  ~StandInWatcher();
  StandInWatcher(const StandInWatcher&) = delete;
  StandInWatcher& operator=(const StandInWatcher&) = delete;

  // True once the watcher's name is owned.
  bool ready() const { return bus_ != nullptr; }
  std::vector<ItemRegistration> Registrations();
  // Waits, at most the tests' patience, for at least `count` registrations.
  bool WaitForRegistrations(std::size_t count);

 private:
  static int OnRegister(sd_bus_message* call, void* userdata, sd_bus_error* error);
  void Serve();

  sd_bus* bus_ = nullptr;
  std::string refusal_;
  RegistrationHook on_registration_;
  int stop_fd_ = -1;  // an eventfd that ends the thread
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ItemRegistration> registrations_;  // guarded by mutex_
};

// One picture of an item's icon as the host reads it.
struct HostPixmap {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> argb;
  bool operator==(const HostPixmap&) const = default;
};

struct HostToolTip {
  std::string icon_name;
  std::vector<HostPixmap> icon;
  std::string title;
  std::string description;
};

// One node of an exported menu; property values as text (strings quoted, booleans and numbers
// bare, anything else as its D-Bus signature in angle brackets).
struct MenuNode {
  std::int32_t id = 0;
  std::map<std::string, std::string> properties;
  std::vector<MenuNode> children;
};

// The tree as one line: id{name=value,...}[child,...]; the brackets only when there are children.
std::string RenderMenu(const MenuNode& node);
// The id of the first node whose label is `label`, or -1.
std::int32_t MenuIdOf(const MenuNode& node, const std::string& label);

// What a stand-in host call gave: the error name of a failure, empty on success.
struct HostCall {
  std::string error;
  std::string text;  // the rendered answer of calls that return something
};

// The stand-in host's side: synchronous calls on an item over a connection of the calling
// thread, which must be the thread that made the object.
class StandInHost {
 public:
  explicit StandInHost(const std::string& bus_address);
  ~StandInHost();
  StandInHost(const StandInHost&) = delete;
  StandInHost& operator=(const StandInHost&) = delete;

  bool connected() const { return bus_ != nullptr; }

  // The owner of a bus name, empty when it has none.
  std::string NameOwner(const std::string& name);

  // Properties of an object; nothing when the read failed. A text property is read as `type`:
  // "s", or "o" for an object path.
  std::optional<std::string> TextProperty(const std::string& service, const char* path,
                                          const char* interface, const char* name,
                                          const char* type = "s");
  std::optional<bool> BoolProperty(const std::string& service, const char* path,
                                   const char* interface, const char* name);
  std::optional<std::uint32_t> UintProperty(const std::string& service, const char* path,
                                            const char* interface, const char* name);
  std::optional<std::vector<HostPixmap>> IconPixmap(const std::string& service);
  std::optional<HostToolTip> ToolTip(const std::string& service);
  // The names GetAll reports for an interface, sorted.
  std::vector<std::string> PropertyNames(const std::string& service, const char* path,
                                         const char* interface);

  // The watcher's RegisteredStatusNotifierItems; nothing when it could not be read.
  std::optional<std::vector<std::string>> RegisteredItems();
  // Announces a host on the bus, as a watcher does when a panel starts.
  bool AnnounceHost();

  // The item's methods, at "/StatusNotifierItem".
  HostCall Activate(const std::string& service);

  // The menu's methods, at `menu` (the item's Menu property).
  std::optional<MenuNode> Layout(const std::string& service, const std::string& menu,
                                 std::int32_t parent = 0, std::int32_t depth = -1,
                                 const std::vector<std::string>& names = {});
  // Sends GetGroupProperties without waiting for its answer, which is never read; false when
  // the call could not be sent.
  bool SendGroupProperties(const std::string& service, const std::string& menu,
                           const std::vector<std::int32_t>& ids,
                           const std::vector<std::string>& names);
  // The answer rendered as id{...};id{...}.
  HostCall GroupProperties(const std::string& service, const std::string& menu,
                           const std::vector<std::int32_t>& ids,
                           const std::vector<std::string>& names);
  HostCall MenuProperty(const std::string& service, const std::string& menu, std::int32_t id,
                        const std::string& name);
  HostCall MenuEvent(const std::string& service, const std::string& menu, std::int32_t id,
                     const std::string& event);
  // The events given as (id, event) pairs; the answer's unknown ids rendered as "1,2".
  HostCall MenuEventGroup(const std::string& service, const std::string& menu,
                          const std::vector<std::pair<std::int32_t, std::string>>& events);
  // The answer rendered as "true" or "false".
  HostCall AboutToShow(const std::string& service, const std::string& menu, std::int32_t id);
  // The answer's two id lists rendered as "updates|errors".
  HostCall AboutToShowGroup(const std::string& service, const std::string& menu,
                            const std::vector<std::int32_t>& ids);

 private:
  // Calls a method whose arguments `append` adds; the reply goes to `read` when it succeeded.
  HostCall Call(const std::string& service, const char* path, const char* interface,
                const char* member, const std::function<int(sd_bus_message*)>& append,
                const std::function<std::string(sd_bus_message*)>& read = {});
  sd_bus_message* GetProperty(const std::string& service, const char* path,
                              const char* interface, const char* name, const char* type);

  sd_bus* bus_ = nullptr;
};

}  // namespace tessvark::testing
