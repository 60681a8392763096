#include "tray_stand_in.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>
#include <iterator>

#include "tests/support/wait_until.h"

extern char** environ;

namespace tessvark::testing {
namespace {

constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr char kItemPath[] = "/StatusNotifierItem";
constexpr char kItemInterface[] = "org.kde.StatusNotifierItem";
constexpr char kMenuInterface[] = "com.canonical.dbusmenu";

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// How long poll may sleep for the connection's own deadline; -1 when it has none.
int BusTimeoutMs(sd_bus* bus) {
  std::uint64_t until = 0;
  if (sd_bus_get_timeout(bus, &until) < 0 || until == UINT64_MAX) return -1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t now_us = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                               static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
  if (until <= now_us) return 0;
  return static_cast<int>(std::min<std::uint64_t>((until - now_us + 999) / 1000, INT_MAX));
}

sd_bus* Connect(const std::string& address) {
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r >= 0) r = sd_bus_set_address(bus, address.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) {
    r = sd_bus_set_method_call_timeout(
        bus, std::chrono::duration_cast<std::chrono::microseconds>(kPatience).count());
  }
  if (r >= 0) r = sd_bus_start(bus);
  if (r < 0) return sd_bus_unref(bus);
  return bus;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The variant at the read position as text; the read position moves past it.
std::string RenderVariant(sd_bus_message* message) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(message, &type, &contents) <= 0 || type != 'v') return "<?>";
  const std::string signature = contents;
  if (sd_bus_message_enter_container(message, 'v', contents) < 0) return "<?>";
  std::string text = "<" + signature + ">";
  if (signature == "s") {
    const char* value = nullptr;
    if (sd_bus_message_read(message, "s", &value) > 0) text = Quoted(value);
  } else if (signature == "b") {
    int value = 0;
    if (sd_bus_message_read(message, "b", &value) > 0) text = value ? "true" : "false";
  } else if (signature == "i") {
    std::int32_t value = 0;
    if (sd_bus_message_read(message, "i", &value) > 0) text = std::to_string(value);
  } else {
    sd_bus_message_skip(message, signature.c_str());
  }
  sd_bus_message_exit_container(message);
  return text;
}

// An "a{sv}" of menu item properties.
bool ReadMenuProperties(sd_bus_message* message, std::map<std::string, std::string>& out) {
  if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) return false;
  int r = 0;
  while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* name = nullptr;
    if (sd_bus_message_read(message, "s", &name) <= 0) return false;
    out[name] = RenderVariant(message);
    if (sd_bus_message_exit_container(message) < 0) return false;
  }
  return r == 0 && sd_bus_message_exit_container(message) >= 0;
}

// One "(ia{sv}av)" layout node with its children.
bool ReadMenuNode(sd_bus_message* message, MenuNode& node) {
  if (sd_bus_message_enter_container(message, 'r', "ia{sv}av") <= 0) return false;
  if (sd_bus_message_read(message, "i", &node.id) <= 0) return false;
  if (!ReadMenuProperties(message, node.properties)) return false;
  if (sd_bus_message_enter_container(message, 'a', "v") < 0) return false;
  int r = 0;
  while ((r = sd_bus_message_enter_container(message, 'v', "(ia{sv}av)")) > 0) {
    node.children.emplace_back();
    if (!ReadMenuNode(message, node.children.back())) return false;
    if (sd_bus_message_exit_container(message) < 0) return false;
  }
  return r == 0 && sd_bus_message_exit_container(message) >= 0 &&
         sd_bus_message_exit_container(message) >= 0;
}

std::optional<std::vector<HostPixmap>> ReadPixmaps(sd_bus_message* message) {
  std::vector<HostPixmap> pixmaps;
  if (sd_bus_message_enter_container(message, 'a', "(iiay)") < 0) return std::nullopt;
  int r = 0;
  while ((r = sd_bus_message_enter_container(message, 'r', "iiay")) > 0) {
    HostPixmap pixmap;
    const void* data = nullptr;
    std::size_t size = 0;
    if (sd_bus_message_read(message, "ii", &pixmap.width, &pixmap.height) <= 0 ||
        sd_bus_message_read_array(message, 'y', &data, &size) < 0 ||
        sd_bus_message_exit_container(message) < 0) {
      return std::nullopt;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    pixmap.argb.assign(bytes, bytes + size);
    pixmaps.push_back(std::move(pixmap));
  }
  if (r < 0 || sd_bus_message_exit_container(message) < 0) return std::nullopt;
  return pixmaps;
}

std::string JoinIds(const void* data, std::size_t size) {
  const auto* ids = static_cast<const std::int32_t*>(data);
  std::string text;
  for (std::size_t i = 0; i < size / sizeof(std::int32_t); ++i) {
    text += (i == 0 ? "" : ",") + std::to_string(ids[i]);
  }
  return text;
}

int AppendIds(sd_bus_message* message, const std::vector<std::int32_t>& ids) {
  return sd_bus_message_append_array(message, 'i', ids.data(), ids.size() * sizeof(std::int32_t));
}

int AppendStrings(sd_bus_message* message, const std::vector<std::string>& texts) {
  int r = sd_bus_message_open_container(message, 'a', "s");
  for (const std::string& text : texts) {
    if (r >= 0) r = sd_bus_message_append(message, "s", text.c_str());
  }
  if (r >= 0) r = sd_bus_message_close_container(message);
  return r;
}

}  // namespace

// --- PrivateSessionBus ---

DebianWatcher::DebianWatcher(const std::string& bus_address, const std::string& log_path) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::string(*entry).rfind("DBUS_SESSION_BUS_ADDRESS=", 0) != 0) environment.push_back(*entry);
  }
  environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus_address);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = "status-notifier-watcher";
  char* argv[] = {program.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  if (posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

void DebianWatcher::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

PrivateSessionBus::PrivateSessionBus(const std::string& folder) {
  const std::string config = folder + "/session-bus.conf";
  std::ofstream(config)
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <type>session</type>\n"
         "  <listen>unix:path=" << folder << "/session-bus</listen>\n"
         "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
         "    <allow eavesdrop=\"true\"/>\n"
         "    <allow own=\"*\"/>\n"
         "  </policy>\n"
         "</busconfig>\n";
  const std::string log = folder + "/session-bus.log";

  int address_pipe[2];
  if (pipe2(address_pipe, O_CLOEXEC) != 0) {
    problem_ = "no pipe";
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, address_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> arguments = {"dbus-daemon", "--config-file=" + config, "--nofork",
                                        "--nopidfile", "--print-address=1"};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  if (posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(address_pipe[1]);

  // The daemon prints its address once it listens.
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (pid_ > 0 && line.find('\n') == std::string::npos) {
    pollfd readable = {address_pipe[0], POLLIN, 0};
    if (poll(&readable, 1, MillisecondsLeft(deadline)) <= 0) break;
    char buffer[256];
    const ssize_t got = read(address_pipe[0], buffer, sizeof(buffer));
    if (got <= 0) break;
    line.append(buffer, static_cast<std::size_t>(got));
  }
  close(address_pipe[0]);
  if (const std::size_t end = line.find('\n'); end != std::string::npos) {
    address_ = line.substr(0, end);
  } else {
    problem_ = "dbus-daemon printed no address: " + std::string(std::istreambuf_iterator<char>(
                                                        std::ifstream(log).rdbuf()),
                                                    std::istreambuf_iterator<char>());
  }
}

PrivateSessionBus::~PrivateSessionBus() { Stop(); }

void PrivateSessionBus::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

// --- StandInWatcher ---

StandInWatcher::StandInWatcher(const std::string& bus_address, std::string refusal,
                               RegistrationHook on_registration)
    : refusal_(std::move(refusal)), on_registration_(std::move(on_registration)) {
  static const sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", OnRegister,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  sd_bus* bus = Connect(bus_address);
  if (bus == nullptr) return;
  if (sd_bus_add_object_vtable(bus, nullptr, "/StatusNotifierWatcher", kWatcherName, kVtable,
                               this) < 0 ||
      sd_bus_request_name(bus, kWatcherName, 0) < 0) {
    sd_bus_flush_close_unref(bus);
    return;
  }
  bus_ = bus;
  stop_fd_ = eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { Serve(); });
}

StandInWatcher::~StandInWatcher() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    (void)!write(stop_fd_, &one, sizeof(one));
    thread_.join();
  }
  if (stop_fd_ >= 0) close(stop_fd_);
  sd_bus_flush_close_unref(bus_);
}

void StandInWatcher::Serve() {
  for (;;) {
    int r = 0;
    while ((r = sd_bus_process(bus_, nullptr)) > 0) {
    }
    if (r < 0) return;  // the bus went away
    pollfd fds[2] = {{sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0},
                     {stop_fd_, POLLIN, 0}};
    poll(fds, 2, BusTimeoutMs(bus_));
    if ((fds[1].revents & POLLIN) != 0) return;
  }
}

int StandInWatcher::OnRegister(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* self = static_cast<StandInWatcher*>(userdata);
  const char* service = nullptr;
  const int r = sd_bus_message_read(call, "s", &service);
  if (r < 0) return r;
  const ItemRegistration registration{service, sd_bus_message_get_sender(call)};
  if (self->on_registration_) self->on_registration_(registration);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->registrations_.push_back(registration);
  }
  self->changed_.notify_all();
  if (self->refusal_.empty()) return sd_bus_reply_method_return(call, "");
  return sd_bus_reply_method_errorf(call, self->refusal_.c_str(), "The test's watcher refuses %s",
                                    service);
}

std::vector<ItemRegistration> StandInWatcher::Registrations() {
  std::lock_guard<std::mutex> lock(mutex_);
  return registrations_;
}

bool StandInWatcher::WaitForRegistrations(std::size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, kPatience, [&] { return registrations_.size() >= count; });
}

// --- Menus ---

std::string RenderMenu(const MenuNode& node) {
  std::string text = std::to_string(node.id) + "{";
  bool first = true;
  for (const auto& [name, value] : node.properties) {
    text += (first ? "" : ",") + name + "=" + value;
    first = false;
  }
  text += "}";
  if (!node.children.empty()) {
    text += "[";
    for (std::size_t i = 0; i < node.children.size(); ++i) {
      text += (i == 0 ? "" : ",") + RenderMenu(node.children[i]);
    }
    text += "]";
  }
  return text;
}

std::int32_t MenuIdOf(const MenuNode& node, const std::string& label) {
  const auto found = node.properties.find("label");
  if (found != node.properties.end() && found->second == Quoted(label)) return node.id;
  for (const MenuNode& child : node.children) {
    if (const std::int32_t id = MenuIdOf(child, label); id >= 0) return id;
  }
  return -1;
}

// --- StandInHost ---

StandInHost::StandInHost(const std::string& bus_address) : bus_(Connect(bus_address)) {}

StandInHost::~StandInHost() { sd_bus_flush_close_unref(bus_); }

HostCall StandInHost::Call(const std::string& service, const char* path, const char* interface,
                           const char* member, const std::function<int(sd_bus_message*)>& append,
                           const std::function<std::string(sd_bus_message*)>& read) {
  HostCall result;
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = sd_bus_message_new_method_call(bus_, &call, service.c_str(), path, interface, member);
  if (r >= 0) r = append(call);
  if (r >= 0) r = sd_bus_call(bus_, call, 0, &error, &reply);
  if (r < 0) {
    result.error = error.name != nullptr ? error.name : "errno " + std::to_string(-r);
  } else if (read) {
    result.text = read(reply);
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  return result;
}

std::string StandInHost::NameOwner(const std::string& name) {
  return Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
              "GetNameOwner",
              [&](sd_bus_message* call) { return sd_bus_message_append(call, "s", name.c_str()); },
              [](sd_bus_message* reply) {
                const char* owner = nullptr;
                return sd_bus_message_read(reply, "s", &owner) > 0 ? std::string(owner)
                                                                   : std::string();
              })
      .text;
}

sd_bus_message* StandInHost::GetProperty(const std::string& service, const char* path,
                                         const char* interface, const char* name,
                                         const char* type) {
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  if (sd_bus_get_property(bus_, service.c_str(), path, interface, name, &error, &reply, type) <
      0) {
    reply = sd_bus_message_unref(reply);
  }
  sd_bus_error_free(&error);
  return reply;
}

std::optional<std::string> StandInHost::TextProperty(const std::string& service,
                                                     const char* path, const char* interface,
                                                     const char* name, const char* type) {
  sd_bus_message* reply = GetProperty(service, path, interface, name, type);
  if (reply == nullptr) return std::nullopt;
  std::optional<std::string> text;
  const char* value = nullptr;
  if (sd_bus_message_read_basic(reply, type[0], &value) > 0) text = value;
  sd_bus_message_unref(reply);
  return text;
}

std::optional<bool> StandInHost::BoolProperty(const std::string& service, const char* path,
                                              const char* interface, const char* name) {
  int value = 0;
  if (sd_bus_get_property_trivial(bus_, service.c_str(), path, interface, name, nullptr, 'b',
                                  &value) < 0) {
    return std::nullopt;
  }
  return value != 0;
}

std::optional<std::uint32_t> StandInHost::UintProperty(const std::string& service,
                                                       const char* path, const char* interface,
                                                       const char* name) {
  std::uint32_t value = 0;
  if (sd_bus_get_property_trivial(bus_, service.c_str(), path, interface, name, nullptr, 'u',
                                  &value) < 0) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::vector<HostPixmap>> StandInHost::IconPixmap(const std::string& service) {
  sd_bus_message* reply = GetProperty(service, kItemPath, kItemInterface, "IconPixmap", "a(iiay)");
  if (reply == nullptr) return std::nullopt;
  std::optional<std::vector<HostPixmap>> pixmaps = ReadPixmaps(reply);
  sd_bus_message_unref(reply);
  return pixmaps;
}

std::optional<HostToolTip> StandInHost::ToolTip(const std::string& service) {
  sd_bus_message* reply =
      GetProperty(service, kItemPath, kItemInterface, "ToolTip", "(sa(iiay)ss)");
  if (reply == nullptr) return std::nullopt;
  std::optional<HostToolTip> tip;
  const char* icon_name = nullptr;
  const char* title = nullptr;
  const char* description = nullptr;
  if (sd_bus_message_enter_container(reply, 'r', "sa(iiay)ss") > 0 &&
      sd_bus_message_read(reply, "s", &icon_name) > 0) {
    std::optional<std::vector<HostPixmap>> icon = ReadPixmaps(reply);
    if (icon && sd_bus_message_read(reply, "ss", &title, &description) > 0) {
      tip = HostToolTip{icon_name, std::move(*icon), title, description};
    }
  }
  sd_bus_message_unref(reply);
  return tip;
}

std::vector<std::string> StandInHost::PropertyNames(const std::string& service, const char* path,
                                                    const char* interface) {
  std::vector<std::string> names;
  Call(
      service, path, "org.freedesktop.DBus.Properties", "GetAll",
      [&](sd_bus_message* call) { return sd_bus_message_append(call, "s", interface); },
      [&](sd_bus_message* reply) {
        if (sd_bus_message_enter_container(reply, 'a', "{sv}") < 0) return std::string();
        while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
          const char* name = nullptr;
          if (sd_bus_message_read(reply, "s", &name) <= 0) break;
          names.emplace_back(name);
          sd_bus_message_skip(reply, "v");
          sd_bus_message_exit_container(reply);
        }
        return std::string();
      });
  std::sort(names.begin(), names.end());
  return names;
}

HostCall StandInHost::Activate(const std::string& service) {
  return Call(service, kItemPath, kItemInterface, "Activate",
              [](sd_bus_message* call) { return sd_bus_message_append(call, "ii", 10, 20); });
}

std::optional<MenuNode> StandInHost::Layout(const std::string& service, const std::string& menu,
                                            std::int32_t parent, std::int32_t depth,
                                            const std::vector<std::string>& names) {
  std::optional<MenuNode> root;
  const HostCall call = Call(
      service, menu.c_str(), kMenuInterface, "GetLayout",
      [&](sd_bus_message* call) {
        const int r = sd_bus_message_append(call, "ii", parent, depth);
        return r < 0 ? r : AppendStrings(call, names);
      },
      [&](sd_bus_message* reply) {
        std::uint32_t revision = 0;
        MenuNode node;
        if (sd_bus_message_read(reply, "u", &revision) > 0 && ReadMenuNode(reply, node)) {
          root = std::move(node);
        }
        return std::string();
      });
  return call.error.empty() ? root : std::nullopt;
}

std::optional<std::vector<std::string>> StandInHost::RegisteredItems() {
  sd_bus_message* reply = GetProperty(kWatcherName, "/StatusNotifierWatcher", kWatcherName,
                                      "RegisteredStatusNotifierItems", "as");
  if (reply == nullptr) return std::nullopt;
  std::vector<std::string> items;
  const char* item = nullptr;
  int r = sd_bus_message_enter_container(reply, 'a', "s");
  while (r >= 0 && (r = sd_bus_message_read(reply, "s", &item)) > 0) items.emplace_back(item);
  sd_bus_message_unref(reply);
  if (r < 0) return std::nullopt;
  return items;
}

bool StandInHost::AnnounceHost() {
  return sd_bus_emit_signal(bus_, "/StatusNotifierWatcher", kWatcherName,
                            "StatusNotifierHostRegistered", "") >= 0 &&
         sd_bus_flush(bus_) >= 0;
}

bool StandInHost::SendGroupProperties(const std::string& service, const std::string& menu,
                                      const std::vector<std::int32_t>& ids,
                                      const std::vector<std::string>& names) {
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &call, service.c_str(), menu.c_str(),
                                         kMenuInterface, "GetGroupProperties");
  if (r >= 0) r = AppendIds(call, ids);
  if (r >= 0) r = AppendStrings(call, names);
  std::uint64_t cookie = 0;
  if (r >= 0) r = sd_bus_send(bus_, call, &cookie);
  if (r >= 0) r = sd_bus_flush(bus_);
  sd_bus_message_unref(call);
  return r >= 0;
}

HostCall StandInHost::GroupProperties(const std::string& service, const std::string& menu,
                                      const std::vector<std::int32_t>& ids,
                                      const std::vector<std::string>& names) {
  return Call(
      service, menu.c_str(), kMenuInterface, "GetGroupProperties",
      [&](sd_bus_message* call) {
        const int r = AppendIds(call, ids);
        return r < 0 ? r : AppendStrings(call, names);
      },
      [](sd_bus_message* reply) {
        std::string text;
        if (sd_bus_message_enter_container(reply, 'a', "(ia{sv})") < 0) return text;
        while (sd_bus_message_enter_container(reply, 'r', "ia{sv}") > 0) {
          MenuNode node;
          if (sd_bus_message_read(reply, "i", &node.id) <= 0 ||
              !ReadMenuProperties(reply, node.properties)) {
            return text + "<unreadable>";
          }
          sd_bus_message_exit_container(reply);
          text += (text.empty() ? "" : ";") + RenderMenu(node);
        }
        return text;
      });
}

HostCall StandInHost::MenuProperty(const std::string& service, const std::string& menu,
                                   std::int32_t id, const std::string& name) {
  return Call(
      service, menu.c_str(), kMenuInterface, "GetProperty",
      [&](sd_bus_message* call) { return sd_bus_message_append(call, "is", id, name.c_str()); },
      RenderVariant);
}

HostCall StandInHost::MenuEvent(const std::string& service, const std::string& menu,
                                std::int32_t id, const std::string& event) {
  return Call(service, menu.c_str(), kMenuInterface, "Event", [&](sd_bus_message* call) {
    return sd_bus_message_append(call, "isvu", id, event.c_str(), "s", "", 0u);
  });
}

HostCall StandInHost::MenuEventGroup(
    const std::string& service, const std::string& menu,
    const std::vector<std::pair<std::int32_t, std::string>>& events) {
  return Call(
      service, menu.c_str(), kMenuInterface, "EventGroup",
      [&](sd_bus_message* call) {
        int r = sd_bus_message_open_container(call, 'a', "(isvu)");
        for (const auto& [id, event] : events) {
          if (r >= 0) r = sd_bus_message_append(call, "(isvu)", id, event.c_str(), "i", 7, 0u);
        }
        if (r >= 0) r = sd_bus_message_close_container(call);
        return r;
      },
      [](sd_bus_message* reply) {
        const void* data = nullptr;
        std::size_t size = 0;
        return sd_bus_message_read_array(reply, 'i', &data, &size) < 0 ? std::string("<?>")
                                                                       : JoinIds(data, size);
      });
}

HostCall StandInHost::AboutToShow(const std::string& service, const std::string& menu,
                                  std::int32_t id) {
  return Call(
      service, menu.c_str(), kMenuInterface, "AboutToShow",
      [&](sd_bus_message* call) { return sd_bus_message_append(call, "i", id); },
      [](sd_bus_message* reply) {
        int update = 0;
        return sd_bus_message_read(reply, "b", &update) > 0 ? std::string(update ? "true" : "false")
                                                            : std::string("<?>");
      });
}

HostCall StandInHost::AboutToShowGroup(const std::string& service, const std::string& menu,
                                       const std::vector<std::int32_t>& ids) {
  return Call(
      service, menu.c_str(), kMenuInterface, "AboutToShowGroup",
      [&](sd_bus_message* call) { return AppendIds(call, ids); },
      [](sd_bus_message* reply) {
        std::string lists[2];
        for (std::string& list : lists) {
          const void* data = nullptr;
          std::size_t size = 0;
          if (sd_bus_message_read_array(reply, 'i', &data, &size) < 0) return std::string("<?>");
          list = JoinIds(data, size);
        }
        return lists[0] + "|" + lists[1];
      });
}

}  // namespace tessvark::testing
