// The tray icon on a private session bus, served by a host loop as the program's main thread
// serves it, against the tests' stand-in watcher and host.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host_loop.h"
#include "platform/status_notifier_item.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_until.h"
#include "tray_stand_in.h"

namespace tessvark {
namespace {

using testing::HostCall;
using testing::HostPixmap;
using testing::ItemRegistration;
using testing::MenuIdOf;
using testing::PrivateSessionBus;
using testing::RenderMenu;
using testing::StandInHost;
using testing::StandInWatcher;
using testing::TempFolder;
using testing::WaitUntil;

constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr char kItemPath[] = "/StatusNotifierItem";
constexpr char kItemInterface[] = "org.kde.StatusNotifierItem";
constexpr char kMenuInterface[] = "com.canonical.dbusmenu";
constexpr char kNoWatcher[] = "unavailable: no StatusNotifierWatcher on the session bus";
constexpr char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr char kLimitsExceeded[] = "org.tessvark.Tray.Error.LimitsExceeded";

// 255 names no item has, then "label": as many names as one call may ask.
std::vector<std::string> UnknownNamesAndLabel() {
  std::vector<std::string> names(255, "nothing");
  names.push_back("label");
  return names;
}

// `count` ids: 1, then ids of no item.
std::vector<std::int32_t> ManyIds(std::size_t count) {
  std::vector<std::int32_t> ids(count, 1);
  for (std::size_t i = 1; i < count; ++i) ids[i] = 100 + static_cast<std::int32_t>(i);
  return ids;
}

TrayIconSettings TestTray(const std::string& bus_address) {
  TrayIconSettings settings;
  settings.id = "tray-test";
  settings.title = "Tray \u2014 test";
  settings.icon = {{2, 1, {0xff, 0x10, 0x20, 0x30, 0x80, 0x01, 0x02, 0x03}},
                   {1, 1, {0x00, 0xfe, 0xfd, 0xfc}}};
  settings.menu = {{"Open", HostAction::kOpen},
                   {"Check", HostAction::kCheckUpdates},
                   {"", std::nullopt},
                   {"Quit", HostAction::kQuit}};
  settings.bus_address = bus_address;
  return settings;
}

// The item on a host loop of its own thread; what it posts and reports is recorded as it happens,
// so a call of the host that has been answered has left its trace.
class ServedItem {
 public:
  explicit ServedItem(TrayIconSettings settings) {
    thread_ = std::thread([this, settings = std::move(settings)]() mutable {
      HostLoop loop;
      std::unique_ptr<HostLoopSource> item = ShowStatusNotifierItem(
          std::move(settings),
          [this](HostAction action) {
            std::lock_guard<std::mutex> lock(mutex_);
            posted_.push_back(action);
          },
          [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            reports_.push_back(line);
          });
      {
        std::lock_guard<std::mutex> lock(mutex_);
        loop_ = &loop;
        exists_ = item != nullptr;
        made_ = true;
      }
      made_changed_.notify_all();
      if (item) loop.Run([](HostAction) {}, {item.get()});
      item.reset();
      std::lock_guard<std::mutex> lock(mutex_);
      loop_ = nullptr;
    });
    std::unique_lock<std::mutex> lock(mutex_);
    made_changed_.wait(lock, [this] { return made_; });
  }
  ~ServedItem() { Stop(); }
  ServedItem(const ServedItem&) = delete;
  ServedItem& operator=(const ServedItem&) = delete;

  // Ends the loop, which takes the item down.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (loop_ != nullptr) loop_->Post(HostAction::kQuit);
    }
    if (thread_.joinable()) thread_.join();
  }

  bool exists() {
    std::lock_guard<std::mutex> lock(mutex_);
    return exists_;
  }
  std::vector<HostAction> Posted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return posted_;
  }
  std::vector<std::string> Reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  bool WaitForReports(std::size_t count) {
    return WaitUntil([&] { return Reports().size() >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable made_changed_;
  bool made_ = false;
  bool exists_ = false;
  HostLoop* loop_ = nullptr;
  std::vector<HostAction> posted_;
  std::vector<std::string> reports_;
  std::thread thread_;
};

class StatusNotifierItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(bus_.address().empty()) << bus_.problem();
    ASSERT_TRUE(host_.connected());
  }

  // Starts a watcher and waits until the item has registered with it; the item's service name.
  std::string Registered(StandInWatcher& watcher, std::size_t count = 1) {
    EXPECT_TRUE(watcher.ready());
    if (!watcher.WaitForRegistrations(count)) return std::string();
    return watcher.Registrations().back().service;
  }

  TempFolder folder_;
  PrivateSessionBus bus_{folder_.path()};
  StandInHost host_{bus_.address()};
};

TEST_F(StatusNotifierItemTest, ItemRegistersAndShowsWhatAHostReads) {
  StandInWatcher watcher(bus_.address());
  ServedItem item(TestTray(bus_.address()));
  ASSERT_TRUE(item.exists());
  const std::string service = Registered(watcher);
  ASSERT_FALSE(service.empty());
  const ItemRegistration registration = watcher.Registrations()[0];
  EXPECT_EQ(service.rfind("org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-", 0), 0u)
      << service;
  EXPECT_EQ(host_.NameOwner(service), registration.sender)
      << "the registered name belongs to the connection that registered it";

  struct Text {
    const char* name;
    const char* type;
    std::string value;
  };
  for (const Text& text : {Text{"Id", "s", "tray-test"}, Text{"Category", "s", "ApplicationStatus"},
                           Text{"Status", "s", "Active"}, Text{"Title", "s", "Tray \u2014 test"},
                           Text{"IconName", "s", ""}, Text{"Menu", "o", "/MenuBar"}}) {
    EXPECT_EQ(host_.TextProperty(service, kItemPath, kItemInterface, text.name, text.type),
              text.value)
        << text.name;
  }
  EXPECT_EQ(host_.BoolProperty(service, kItemPath, kItemInterface, "ItemIsMenu"), false)
      << "a left click must reach Activate";
  EXPECT_EQ(host_.IconPixmap(service),
            (std::vector<HostPixmap>{{2, 1, {0xff, 0x10, 0x20, 0x30, 0x80, 0x01, 0x02, 0x03}},
                                     {1, 1, {0x00, 0xfe, 0xfd, 0xfc}}}));
  const std::optional<testing::HostToolTip> tip = host_.ToolTip(service);
  ASSERT_TRUE(tip.has_value());
  EXPECT_EQ(tip->title, "Tray \u2014 test");
  EXPECT_EQ(tip->icon_name, "");
  EXPECT_TRUE(tip->icon.empty());
  EXPECT_EQ(tip->description, "");
  EXPECT_EQ(host_.PropertyNames(service, kItemPath, kItemInterface),
            (std::vector<std::string>{
                "AttentionIconName", "AttentionIconPixmap", "AttentionMovieName", "Category",
                "IconName", "IconPixmap", "IconThemePath", "Id", "ItemIsMenu", "Menu",
                "OverlayIconName", "OverlayIconPixmap", "Status", "Title", "ToolTip", "WindowId"}))
      << "panels read the optional properties too, and log an error for each one missing";
  for (const char* name : {"IconThemePath", "OverlayIconName", "AttentionIconName",
                           "AttentionMovieName"}) {
    EXPECT_EQ(host_.TextProperty(service, kItemPath, kItemInterface, name), "") << name;
  }

  const std::string menu =
      host_.TextProperty(service, kItemPath, kItemInterface, "Menu", "o").value_or("");
  EXPECT_EQ(host_.UintProperty(service, menu.c_str(), kMenuInterface, "Version"), 3u);
  EXPECT_EQ(host_.TextProperty(service, menu.c_str(), kMenuInterface, "Status"), "normal");
  EXPECT_EQ(host_.TextProperty(service, menu.c_str(), kMenuInterface, "TextDirection"), "ltr");
  EXPECT_EQ(host_.PropertyNames(service, menu.c_str(), kMenuInterface),
            (std::vector<std::string>{"IconThemePath", "Status", "TextDirection", "Version"}));
  const std::optional<testing::MenuNode> layout = host_.Layout(service, menu);
  ASSERT_TRUE(layout.has_value());
  EXPECT_EQ(RenderMenu(*layout),
            "0{children-display=\"submenu\"}[1{label=\"Open\"},2{label=\"Check\"},"
            "3{type=\"separator\"},4{label=\"Quit\"}]");

  EXPECT_TRUE(item.Reports().empty()) << "an icon shown at once says nothing";
  EXPECT_TRUE(item.Posted().empty()) << "reading the item asks nothing of the host";

  // Taking the item down releases its name at once; the watcher has nothing left to show.
  item.Stop();
  EXPECT_TRUE(WaitUntil([&] { return host_.NameOwner(service).empty(); }));
}

TEST_F(StatusNotifierItemTest, MenuAnswersTheHostsQuestions) {
  StandInWatcher watcher(bus_.address());
  ServedItem item(TestTray(bus_.address()));
  const std::string service = Registered(watcher);
  ASSERT_FALSE(service.empty());
  const std::string menu = "/MenuBar";

  struct LayoutCase {
    std::int32_t parent;
    std::int32_t depth;
    std::vector<std::string> names;
    std::string expected;  // empty: refused
  };
  const LayoutCase layouts[] = {
      {0, 0, {}, "0{children-display=\"submenu\"}"},
      {0, 1, {"label"}, "0{}[1{label=\"Open\"},2{label=\"Check\"},3{},4{label=\"Quit\"}]"},
      {0, -1, {"type", "nothing"}, "0{}[1{},2{},3{type=\"separator\"},4{}]"},
      {4, -1, {}, "4{label=\"Quit\"}"},
      {3, 0, {}, "3{type=\"separator\"}"},
      {5, -1, {}, ""},
      {-1, -1, {}, ""},
      {0, -1, std::vector<std::string>(257, "label"), ""},
  };
  for (const LayoutCase& c : layouts) {
    SCOPED_TRACE(::testing::Message() << "GetLayout " << c.parent << " depth " << c.depth);
    const std::optional<testing::MenuNode> layout =
        host_.Layout(service, menu, c.parent, c.depth, c.names);
    EXPECT_EQ(layout ? RenderMenu(*layout) : std::string(), c.expected);
  }

  struct CallCase {
    const char* what;
    HostCall call;
    HostCall expected;
  };
  const CallCase calls[] = {
      {"group of known and unknown ids", host_.GroupProperties(service, menu, {1, 4, 9}, {}),
       {"", "1{label=\"Open\"};4{label=\"Quit\"}"}},
      {"no ids means every item", host_.GroupProperties(service, menu, {}, {"type"}),
       {"", "0{};1{};2{};3{type=\"separator\"};4{}"}},
      {"one property", host_.MenuProperty(service, menu, 2, "label"), {"", "\"Check\""}},
      {"a property the item lacks", host_.MenuProperty(service, menu, 3, "label"),
       {kInvalidArgs, ""}},
      {"a property of no item", host_.MenuProperty(service, menu, 7, "label"),
       {kInvalidArgs, ""}},
      {"about to show the root", host_.AboutToShow(service, menu, 0), {"", "false"}},
      {"about to show no item", host_.AboutToShow(service, menu, 5), {kInvalidArgs, ""}},
      {"about to show a group", host_.AboutToShowGroup(service, menu, {0, 4, 5, -1}),
       {"", "|-1,5"}},
      {"each id answered once", host_.GroupProperties(service, menu, {4, 1, 4, 1, 9, 9}, {}),
       {"", "4{label=\"Quit\"};1{label=\"Open\"}"}},
      {"unknown names left out",
       host_.GroupProperties(service, menu, {1, 3},
                             UnknownNamesAndLabel()),
       {"", "1{label=\"Open\"};3{}"}},
      {"the most ids one call may ask", host_.GroupProperties(service, menu, ManyIds(1024), {}),
       {"", "1{label=\"Open\"}"}},
      {"more ids than one call may ask", host_.GroupProperties(service, menu, ManyIds(1025), {}),
       {kLimitsExceeded, ""}},
      {"more names than one call may ask",
       host_.GroupProperties(service, menu, {1}, std::vector<std::string>(257, "label")),
       {kLimitsExceeded, ""}},
      {"an unknown id asked for again and again",
       host_.AboutToShowGroup(service, menu, std::vector<std::int32_t>(1024, 7)), {"", "|7"}},
      {"too many ids to show", host_.AboutToShowGroup(service, menu, ManyIds(1025)),
       {kLimitsExceeded, ""}},
      {"too many events",
       host_.MenuEventGroup(service, menu,
                            std::vector<std::pair<std::int32_t, std::string>>(257, {4, "clicked"})),
       {kLimitsExceeded, ""}},
      {"unknown events answered once",
       host_.MenuEventGroup(service, menu, {{8, "hovered"}, {8, "hovered"}, {2, "hovered"}}),
       {"", "8"}},
  };
  for (const CallCase& c : calls) {
    EXPECT_EQ(c.call.error, c.expected.error) << c.what;
    EXPECT_EQ(c.call.text, c.expected.text) << c.what;
  }
  EXPECT_TRUE(item.Posted().empty()) << "questions ask nothing of the host";
}

// Each answered call has posted what it asks for before its answer came back.
TEST_F(StatusNotifierItemTest, ClicksPostTheirActionsAndNothingElseDoes) {
  StandInWatcher watcher(bus_.address());
  ServedItem item(TestTray(bus_.address()));
  const std::string service = Registered(watcher);
  ASSERT_FALSE(service.empty());
  const std::string menu = "/MenuBar";
  const std::optional<testing::MenuNode> layout = host_.Layout(service, menu);
  ASSERT_TRUE(layout.has_value());
  const std::int32_t open = MenuIdOf(*layout, "Open");
  const std::int32_t check = MenuIdOf(*layout, "Check");
  const std::int32_t quit = MenuIdOf(*layout, "Quit");
  ASSERT_TRUE(open > 0 && check > 0 && quit > 0) << RenderMenu(*layout);

  struct Step {
    const char* what;
    std::function<HostCall()> call;
    HostCall expected;
    std::vector<HostAction> posted;
  };
  const Step steps[] = {
      {"left click", [&] { return host_.Activate(service); }, {}, {HostAction::kOpen}},
      {"Open clicked", [&] { return host_.MenuEvent(service, menu, open, "clicked"); }, {},
       {HostAction::kOpen}},
      {"Check clicked", [&] { return host_.MenuEvent(service, menu, check, "clicked"); }, {},
       {HostAction::kCheckUpdates}},
      {"Quit hovered", [&] { return host_.MenuEvent(service, menu, quit, "hovered"); }, {}, {}},
      {"separator clicked", [&] { return host_.MenuEvent(service, menu, 3, "clicked"); }, {}, {}},
      {"root opened and clicked",
       [&] {
         const HostCall opened = host_.MenuEvent(service, menu, 0, "opened");
         return opened.error.empty() ? host_.MenuEvent(service, menu, 0, "clicked") : opened;
       },
       {},
       {}},
      {"no such item clicked", [&] { return host_.MenuEvent(service, menu, 9, "clicked"); },
       {kInvalidArgs, ""}, {}},
      {"event group",
       [&] {
         return host_.MenuEventGroup(service, menu,
                                     {{check, "clicked"}, {9, "clicked"}, {open, "closed"}});
       },
       {"", "9"},
       {HostAction::kCheckUpdates}},
      {"Quit clicked", [&] { return host_.MenuEvent(service, menu, quit, "clicked"); }, {},
       {HostAction::kQuit}},
  };
  for (const Step& step : steps) {
    const std::size_t before = item.Posted().size();
    const HostCall call = step.call();
    EXPECT_EQ(call.error, step.expected.error) << step.what;
    EXPECT_EQ(call.text, step.expected.text) << step.what;
    const std::vector<HostAction> posted = item.Posted();
    EXPECT_EQ(std::vector<HostAction>(posted.begin() + static_cast<std::ptrdiff_t>(before),
                                      posted.end()),
              step.posted)
        << step.what;
  }
}

TEST_F(StatusNotifierItemTest, WithoutABusThereIsNoItemAndOneLineSaysWhy) {
  ServedItem item(TestTray("unix:path=" + folder_.Join("no-bus-here")));
  EXPECT_FALSE(item.exists());
  EXPECT_EQ(item.Reports(),
            std::vector<std::string>{"unavailable: no session bus (No such file or directory)"});
}

// A panel that starts after the program: the item waits on the bus and registers then.
TEST_F(StatusNotifierItemTest, WatcherThatAppearsLaterGetsTheItem) {
  ServedItem item(TestTray(bus_.address()));
  ASSERT_TRUE(item.exists());
  ASSERT_TRUE(item.WaitForReports(1));
  EXPECT_EQ(item.Reports(), std::vector<std::string>{kNoWatcher});

  StandInWatcher watcher(bus_.address());
  const std::string service = Registered(watcher);
  ASSERT_FALSE(service.empty());
  ASSERT_TRUE(item.WaitForReports(2));
  EXPECT_EQ(item.Reports(), (std::vector<std::string>{kNoWatcher, "shown"}));
  EXPECT_EQ(host_.TextProperty(service, kItemPath, kItemInterface, "Id"), "tray-test");
  EXPECT_EQ(watcher.Registrations().size(), 1u);
}

// A watcher that refuses the item is reported with its reason; when it goes, the next watcher
// gets the item.
TEST_F(StatusNotifierItemTest, RefusedItemRegistersWithTheNextWatcher) {
  std::string service;
  auto refusing = std::make_unique<StandInWatcher>(bus_.address(), "org.example.Tray.Refused");
  ServedItem item(TestTray(bus_.address()));
  service = Registered(*refusing);
  ASSERT_FALSE(service.empty());
  const std::string refusal =
      "unavailable: the StatusNotifierWatcher did not register the item "
      "(org.example.Tray.Refused: The test's watcher refuses " + service + ")";
  ASSERT_TRUE(item.WaitForReports(1));
  EXPECT_EQ(item.Reports(), std::vector<std::string>{refusal});

  refusing.reset();
  ASSERT_TRUE(item.WaitForReports(2));
  StandInWatcher accepting(bus_.address());
  EXPECT_EQ(Registered(accepting), service);
  ASSERT_TRUE(item.WaitForReports(3));
  EXPECT_EQ(item.Reports(), (std::vector<std::string>{refusal, kNoWatcher, "shown"}));
}

// A panel that restarts: the item is reported gone while no watcher runs, then registers again.
TEST_F(StatusNotifierItemTest, RestartedWatcherGetsTheItemAgain) {
  auto first = std::make_unique<StandInWatcher>(bus_.address());
  ServedItem item(TestTray(bus_.address()));
  ASSERT_FALSE(Registered(*first).empty());
  first.reset();
  ASSERT_TRUE(item.WaitForReports(1));
  EXPECT_EQ(item.Reports(), std::vector<std::string>{kNoWatcher});
  StandInWatcher second(bus_.address());
  ASSERT_FALSE(Registered(second).empty());
  ASSERT_TRUE(item.WaitForReports(2));
  EXPECT_EQ(item.Reports(), (std::vector<std::string>{kNoWatcher, "shown"}));
}

// The session ends under the program: the loss is reported once and the loop goes on serving.
// (A bus that shuts down may first tell its remaining clients that the watcher has gone.)
TEST_F(StatusNotifierItemTest, LostBusIsReportedAndTheLoopGoesOn) {
  StandInWatcher watcher(bus_.address());
  ServedItem item(TestTray(bus_.address()));
  ASSERT_FALSE(Registered(watcher).empty());
  bus_.Stop();
  const std::string lost = "unavailable: the session bus connection was lost";
  ASSERT_TRUE(WaitUntil([&] {
    const std::vector<std::string> reports = item.Reports();
    return !reports.empty() && reports.back() == lost;
  }));
  const std::size_t said = item.Reports().size();
  EXPECT_LE(said, 2u);
  item.Stop();  // a loop that no longer served its posts would never return here
  EXPECT_EQ(item.Reports().size(), said);
}

// A panel announcing its host may have missed the item: it is registered again.
TEST_F(StatusNotifierItemTest, AnAnnouncedHostBringsTheItemAgain) {
  StandInWatcher watcher(bus_.address());
  ServedItem item(TestTray(bus_.address()));
  ASSERT_FALSE(Registered(watcher).empty());
  ASSERT_TRUE(host_.AnnounceHost());
  EXPECT_TRUE(watcher.WaitForRegistrations(2));
  EXPECT_TRUE(item.Reports().empty());
}

// The session bus goes and comes back at the same address: the item dials it again and registers
// with the watcher found there.
TEST_F(StatusNotifierItemTest, ItemComesBackWithTheBus) {
  ServedItem item(TestTray("unix:path=" + folder_.Join("session-bus")));
  ASSERT_TRUE(item.WaitForReports(1));
  bus_.Stop();
  const std::string lost = "unavailable: the session bus connection was lost";
  ASSERT_TRUE(WaitUntil([&] {
    const std::vector<std::string> reports = item.Reports();
    return !reports.empty() && reports.back() == lost;
  }));
  PrivateSessionBus again(folder_.path());
  ASSERT_FALSE(again.address().empty()) << again.problem();
  StandInWatcher watcher(again.address());
  EXPECT_FALSE(Registered(watcher).empty());
  ASSERT_TRUE(WaitUntil([&] { return item.Reports().back() == "shown"; }));
}

// Debian's watcher owns its name about a second before it serves its object and refuses what
// comes meanwhile: the item asks again until it is listed, whether the watcher starts before or
// after it, and every time the watcher restarts.
TEST_F(StatusNotifierItemTest, DebiansWatcherListsTheItemInEitherStartOrderAndAfterRestarts) {
  const std::string log = folder_.Join("watcher.log");
  const std::string service = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
  const auto listed = [&] {
    const std::optional<std::vector<std::string>> items = host_.RegisteredItems();
    return items && std::any_of(items->begin(), items->end(), [&](const std::string& entry) {
             return entry.find(service) != std::string::npos;
           });
  };
  const auto watcher_named = [&] { return !host_.NameOwner(kWatcherName).empty(); };

  // The watcher first, then the item; then the watcher restarts twice.
  {
    auto watcher = std::make_unique<testing::DebianWatcher>(bus_.address(), log);
    ASSERT_TRUE(watcher->started()) << "status-notifier-watcher is missing";
    ASSERT_TRUE(WaitUntil(watcher_named)) << testing::ReadWholeFile(log);
    ServedItem item(TestTray(bus_.address()));
    EXPECT_TRUE(WaitUntil(listed)) << testing::ReadWholeFile(log);
    for (int restart = 1; restart <= 2; ++restart) {
      SCOPED_TRACE(restart);
      watcher.reset();
      ASSERT_TRUE(WaitUntil([&] { return !watcher_named(); }));
      watcher = std::make_unique<testing::DebianWatcher>(bus_.address(), log);
      ASSERT_TRUE(WaitUntil(watcher_named));
      EXPECT_TRUE(WaitUntil(listed)) << testing::ReadWholeFile(log);
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return !watcher_named(); }));

  // The item first, then the watcher, as at a login that starts the program before the panel.
  ServedItem item(TestTray(bus_.address()));
  ASSERT_TRUE(item.WaitForReports(1));
  testing::DebianWatcher watcher(bus_.address(), log);
  EXPECT_TRUE(WaitUntil(listed)) << testing::ReadWholeFile(log);
  ASSERT_TRUE(WaitUntil([&] { return item.Reports().back() == "shown"; }));
}

}  // namespace
}  // namespace tessvark
