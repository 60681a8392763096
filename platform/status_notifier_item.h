#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host_loop.h"

namespace tessvark {

// One picture of a tray icon: `width` x `height` pixels, rows top-down, each pixel four bytes
// alpha, red, green, blue (ARGB32 in network byte order, as the tray protocol carries it).
struct TrayPixmap {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> argb;
};

// One entry of the tray menu, in menu order.
struct TrayMenuEntry {
  std::string label;                 // empty for a separator
  std::optional<HostAction> action;  // what choosing it asks of the host; none: a separator
};

// What the tray shows.
struct TrayIconSettings {
  std::string id;                // the item's stable name
  std::string title;             // its title, also the title of its tool tip
  std::vector<TrayPixmap> icon;  // the same picture in one or more sizes
  std::vector<TrayMenuEntry> menu;
  std::string bus_address;  // a D-Bus address; empty: the user's session bus
};

// Receives one line whenever the icon cannot be shown ("unavailable: " and the reason, said
// again only when the reason changes) and "shown" when it is shown again after such a line. An
// icon that comes up at once says nothing.
using TrayReport = std::function<void(const std::string& line)>;

// Puts up the tray icon: a freedesktop StatusNotifierItem (category ApplicationStatus, status
// Active, not a menu-only item, so that a left click arrives as Activate) with its menu exported
// as com.canonical.dbusmenu, registered with the desktop's org.kde.StatusNotifierWatcher.
// Activate posts HostAction::kOpen, a click on a menu entry posts the entry's action.
//
// Without a session bus there can be no icon: `report` says why and the result is null. With a
// bus, the returned source must be served by the host loop of the calling thread; `post` and
// `report` are called on that thread. Without a watcher `report` says so and the item waits on
// the bus: whenever a watcher appears later (a panel that starts or restarts) the item registers
// with it. A watcher that refuses the item (one that owns its name before it serves its object)
// is asked again after 250 ms, doubling to 2 s, then once a minute while it stays; a watcher that
// announces a host (StatusNotifierHostRegistered) is asked again at once. A lost session bus is
// dialled again after 1 s, doubling to 30 s. Destroying the source takes the icon down at once:
// its connection closes and the watcher drops the item.
//
// Any process on the bus may call the item, so every call's work is bounded: at most 1,024 ids,
// 256 property names and 256 events per call (more are refused with
// "org.tessvark.Tray.Error.LimitsExceeded"), each id answered once, unknown ids and names left
// out; and one turn of the host loop handles at most 32 messages, so its signals are never
// kept waiting.
std::unique_ptr<HostLoopSource> ShowStatusNotifierItem(TrayIconSettings settings,
                                                       std::function<void(HostAction)> post,
                                                       TrayReport report);

}  // namespace tessvark
