#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/json_value.h"
#include "outputs/vmix/vmix_lan_candidates.h"
#include "outputs/vmix/vmix_lan_search.h"
#include "outputs/vmix/vmix_output_controller.h"
#include "platform/network_adapters.h"
#include "tests/support/thread_names.h"
#include "tests/support/wait_until.h"
#include "vmix_stand_in.h"

namespace tessvark {
namespace {

using test::StandInBehaviour;
using test::StandInMode;
using test::VmixStandIn;
using testing::kPatience;
using testing::ThreadsNamed;
using testing::WaitUntil;

// Adapter records as data only: building candidates never touches the network.
Ipv4AdapterAddress Adapter(const char* address, int prefix, const char* name = "eth0") {
  Ipv4AdapterAddress adapter;
  adapter.name = name;
  adapter.address = address;
  adapter.prefix_length = prefix;
  adapter.up = true;
  adapter.running = true;
  return adapter;
}

TEST(BuildLanCandidates, PrivateNetworksWithinTheLimits) {
  VmixLanCandidates one = BuildLanCandidates({Adapter("192.168.1.20", 24)}, " vmix-pc ");
  EXPECT_EQ(one.networks, std::vector<std::string>{"192.168.1.0/24"});
  EXPECT_EQ(one.own_addresses, std::vector<std::string>{"192.168.1.20"});
  ASSERT_EQ(one.hosts.size(), 256u);
  EXPECT_EQ(one.hosts.front(), "192.168.1.1");
  EXPECT_EQ(one.hosts[253], "192.168.1.254");
  EXPECT_EQ(one.hosts[254], "127.0.0.1");
  EXPECT_EQ(one.hosts[255], "vmix-pc");
  EXPECT_FALSE(one.truncated);

  EXPECT_EQ(BuildLanCandidates({Adapter("10.1.2.3", 16)}, "").networks, std::vector<std::string>{"10.1.2.0/24"});
  EXPECT_EQ(BuildLanCandidates({Adapter("10.1.2.3", 30)}, "").hosts,
            (std::vector<std::string>{"10.1.2.1", "10.1.2.2", "127.0.0.1"}));
  EXPECT_TRUE(BuildLanCandidates({Adapter("10.1.2.3", 31), Adapter("10.1.2.4", 32)}, "").networks.empty());
  EXPECT_EQ(BuildLanCandidates({Adapter("172.31.0.5", 20)}, "").networks, std::vector<std::string>{"172.31.0.0/24"});

  const VmixLanCandidates same = BuildLanCandidates({Adapter("192.168.1.20", 24), Adapter("192.168.1.30", 24)}, "");
  EXPECT_EQ(same.networks.size(), 1u);
  EXPECT_EQ(same.own_addresses, std::vector<std::string>{"192.168.1.20"});
}

TEST(BuildLanCandidates, OverlappingNetworksListEachHostOnce) {
  const VmixLanCandidates candidates =
      BuildLanCandidates({Adapter("192.168.1.20", 24), Adapter("192.168.1.9", 30)}, "192.168.1.9");
  EXPECT_EQ(candidates.networks, (std::vector<std::string>{"192.168.1.0/24", "192.168.1.8/30"}));
  EXPECT_EQ(candidates.own_addresses, (std::vector<std::string>{"192.168.1.20", "192.168.1.9"}));
  EXPECT_EQ(candidates.hosts.size(), 255u);  // 254 network hosts and 127.0.0.1
  EXPECT_EQ(std::count(candidates.hosts.begin(), candidates.hosts.end(), "192.168.1.9"), 1);
  EXPECT_EQ(std::count(candidates.hosts.begin(), candidates.hosts.end(), "192.168.1.10"), 1);
}

TEST(BuildLanCandidates, LimitsTruncate) {
  std::vector<Ipv4AdapterAddress> five;
  for (int i = 0; i < 5; ++i) five.push_back(Adapter(("10.0." + std::to_string(i) + ".1").c_str(), 24));
  const VmixLanCandidates hosts = BuildLanCandidates(five, "");
  EXPECT_EQ(hosts.networks.size(), 5u);
  EXPECT_EQ(hosts.hosts.size(), 1025u);
  EXPECT_EQ(hosts.hosts[1023], "10.0.4.8");
  EXPECT_TRUE(hosts.truncated);

  std::vector<Ipv4AdapterAddress> nine;
  for (int i = 0; i < 9; ++i) nine.push_back(Adapter(("10.0.0." + std::to_string(4 * i + 1)).c_str(), 30));
  const VmixLanCandidates networks = BuildLanCandidates(nine, "");
  EXPECT_EQ(networks.networks.size(), 8u);
  EXPECT_EQ(networks.hosts.size(), 17u);
  EXPECT_TRUE(networks.truncated);
}

TEST(BuildLanCandidates, SkipsAddressesAndAdaptersThatAreNotLocalNetworks) {
  Ipv4AdapterAddress down = Adapter("192.168.5.2", 24);
  down.running = false;
  Ipv4AdapterAddress loopback = Adapter("192.168.6.2", 24, "lo");
  loopback.loopback = true;
  Ipv4AdapterAddress tunnel = Adapter("192.168.7.2", 24, "tun0");
  tunnel.point_to_point = true;
  const std::vector<Ipv4AdapterAddress> skipped = {
      Adapter("169.254.10.20", 16), Adapter("100.64.1.1", 24), Adapter("8.8.8.8", 24), Adapter("172.32.0.1", 24),
      Adapter("127.0.0.5", 8), Adapter("192.168.9.9", -1), Adapter("bogus", 24), down, loopback, tunnel,
      Adapter("192.168.8.2", 24, "Bridge0"), Adapter("192.168.8.3", 24, "ap1"), Adapter("192.168.8.4", 24, "utun3")};
  const VmixLanCandidates candidates = BuildLanCandidates(skipped, "127.0.0.1");
  EXPECT_TRUE(candidates.networks.empty());
  EXPECT_EQ(candidates.hosts, std::vector<std::string>{"127.0.0.1"});

  EXPECT_FALSE(IsExcludedAdapterName(Adapter("10.0.0.1", 24, "apple")));
  EXPECT_FALSE(IsExcludedAdapterName(Adapter("10.0.0.1", 24, "ap1x")));
  EXPECT_TRUE(IsExcludedAdapterName(Adapter("10.0.0.1", 24, "AP12")));
  EXPECT_TRUE(IsExcludedAdapterName(Adapter("10.0.0.1", 24, "PPP0")));
  EXPECT_EQ(BuildLanCandidates({}, "   ").hosts, std::vector<std::string>{"127.0.0.1"});
}

VmixLanInstance Instance(const char* host, const char* version, std::optional<std::string> name = std::nullopt) {
  return VmixLanInstance{host, 8088, version, std::string("4K"), std::move(name)};
}

std::vector<std::string> Hosts(const std::vector<VmixLanInstance>& instances) {
  std::vector<std::string> hosts;
  for (const VmixLanInstance& instance : instances) hosts.push_back(instance.host);
  return hosts;
}

TEST(MergeLanInstances, ListsThisComputerOnceUnderItsLanAddress) {
  const std::vector<std::string> own = {"192.168.1.20"};
  EXPECT_EQ(Hosts(MergeLanInstances({Instance("127.0.0.1", "27"), Instance("192.168.1.20", "27", "Studio")}, own)),
            std::vector<std::string>{"192.168.1.20"});
  EXPECT_EQ(Hosts(MergeLanInstances({Instance("192.168.1.20", "27"), Instance("127.0.0.1", "27")}, own)),
            std::vector<std::string>{"192.168.1.20"});
  EXPECT_EQ(Hosts(MergeLanInstances({Instance("127.0.0.1", "27"), Instance("192.168.1.20", "28")}, own)),
            (std::vector<std::string>{"127.0.0.1", "192.168.1.20"}));
  EXPECT_EQ(Hosts(MergeLanInstances({Instance("127.0.0.1", "27", "a"), Instance("192.168.1.20", "27", " B ")}, own)),
            (std::vector<std::string>{"127.0.0.1", "192.168.1.20"}));
  EXPECT_EQ(Hosts(MergeLanInstances({Instance("127.0.0.1", "27", "a"), Instance("192.168.1.20", "27", " A ")}, own)),
            std::vector<std::string>{"192.168.1.20"});
  // Without own addresses a loopback answer is not taken for this computer.
  EXPECT_EQ(Hosts(MergeLanInstances({Instance("127.0.0.1", "27"), Instance("192.168.1.20", "27")}, {})),
            (std::vector<std::string>{"127.0.0.1", "192.168.1.20"}));
  EXPECT_EQ(Hosts(MergeLanInstances({Instance("vmix-pc", "27"), Instance("192.168.1.10", "27"),
                                     Instance("192.168.1.9", "27")},
                                    {})),
            (std::vector<std::string>{"192.168.1.9", "192.168.1.10", "vmix-pc"}));
}

// Long enough that a probe of a stand-in on loopback never runs out on a slow, busy machine: these
// probes end by an answer or by the cancel flag, never by their time-out.
constexpr double kPatientProbeSeconds = std::chrono::duration<double>(kPatience).count();

TEST(RunLanProbes, ProbesEachTargetOnceAtMost32AtATime) {
  {
    SCOPED_TRACE("every target answers");
    VmixStandIn stand_in;
    std::string error;
    ASSERT_TRUE(stand_in.Start(error)) << error;
    StandInBehaviour slow;
    slow.delay_ms = 100;
    stand_in.SetDefaultBehaviour(slow);
    const std::vector<VmixLanTarget> targets(40, VmixLanTarget{"127.0.0.1", stand_in.port()});
    std::mutex mutex;
    int callbacks = 0;
    int found = 0;
    const VmixLanProbeResult result =
        RunLanProbes(targets, kPatientProbeSeconds, 99, nullptr, [&](std::int32_t, const VmixLanInstance* instance) {
          std::lock_guard<std::mutex> lock(mutex);
          ++callbacks;
          if (instance != nullptr) ++found;
        });
    EXPECT_EQ(result.completed, 40);
    EXPECT_EQ(result.instances.size(), 40u);
    EXPECT_FALSE(result.cancelled);
    EXPECT_EQ(callbacks, 40);
    EXPECT_EQ(found, 40);
    EXPECT_EQ(stand_in.RequestCount(), 40u);
    EXPECT_LE(stand_in.MaxConcurrentConnections(), 32);
  }
  {
    // Nothing answers, so every probe under way holds its connection: 32 requests seen at the
    // stand-in are 32 probes at once, however slowly their threads start. Cancelling ends them, and
    // no further target is taken.
    SCOPED_TRACE("no target answers");
    VmixStandIn stand_in;
    std::string error;
    ASSERT_TRUE(stand_in.Start(error)) << error;
    StandInBehaviour silent;
    silent.mode = StandInMode::kNeverAnswer;
    stand_in.SetDefaultBehaviour(silent);
    const std::vector<VmixLanTarget> targets(40, VmixLanTarget{"127.0.0.1", stand_in.port()});
    std::atomic<bool> cancel{false};
    VmixLanProbeResult result;
    std::thread probing([&] { result = RunLanProbes(targets, kPatientProbeSeconds, 99, &cancel, nullptr); });
    const bool all_under_way = stand_in.WaitForRequests(32, kPatience);
    const int together = stand_in.MaxConcurrentConnections();
    cancel = true;
    probing.join();
    EXPECT_TRUE(all_under_way);
    EXPECT_EQ(together, 32);
    EXPECT_TRUE(result.cancelled);
    EXPECT_EQ(result.completed, 32) << "only the probes under way end, each once";
    EXPECT_TRUE(result.instances.empty());
    EXPECT_EQ(stand_in.RequestCount(), 32u);
    EXPECT_LE(stand_in.MaxConcurrentConnections(), 32);
  }
  EXPECT_EQ(RunLanProbes({}, 1.0, 4, nullptr, nullptr).completed, 0);
}

class VmixLanSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Two stand-ins on one port at two loopback addresses: the search probes 127.0.0.1 and the
    // configured host with a single port.
    for (int attempt = 0; attempt < 20 && !second_; ++attempt) {
      first_ = std::make_unique<VmixStandIn>("127.0.0.1", 0);
      std::string error;
      ASSERT_TRUE(first_->Start(error)) << error;
      auto second = std::make_unique<VmixStandIn>("127.0.0.2", first_->port());
      if (second->Start(error)) second_ = std::move(second);
    }
    ASSERT_TRUE(second_);
    first_->SetApiDocument(test::MakeVmixApiDocument("27.0.0.49", "4K", "One", {}));
    second_->SetApiDocument(test::MakeVmixApiDocument("28.0.0.1", "HD", "", {}));
    // Only loopback adapters are offered, so no network is scanned; the stand-ins' probes end by
    // their answer, never by their time-out.
    controller_ = MakeVmixOutputController([] { return StateValue::MakeObject({}); }, LoopbackOnly,
                                           kVmixStopClearWait, kPatience);
  }

  static std::vector<Ipv4AdapterAddress> LoopbackOnly() { return {Adapter("127.0.0.5", 24, "lo")}; }

  JsonValue WaitForEnd() {
    WaitUntil([this] { return ParseJson(controller_->LanSearchStatusJson()).Find("state")->text != "searching"; });
    return ParseJson(controller_->LanSearchStatusJson());
  }

  std::unique_ptr<VmixStandIn> first_;
  std::unique_ptr<VmixStandIn> second_;
  VmixOutputControllerPtr controller_;
};

TEST_F(VmixLanSearchTest, StatusBeforeAnySearch) {
  const VmixOutputControllerPtr controller =
      MakeVmixOutputController([] { return StateValue::MakeObject({}); }, LoopbackOnly);
  EXPECT_EQ(controller->LanSearchStatusJson(),
            "{\"ok\":true,\"state\":\"idle\",\"instances\":[],\"networks\":[],\"network\":null,\"network_count\":0,"
            "\"port\":8088,\"scanned\":0,\"total\":0,\"truncated\":false,\"timeout_ms\":400,\"concurrency\":32,"
            "\"duration_ms\":0,\"message\":\"\"}");
}

TEST_F(VmixLanSearchTest, FindsTheAnsweringHostsInOrder) {
  const JsonValue started = ParseJson(controller_->StartLanSearch(" 127.0.0.2 ", first_->port()));
  EXPECT_EQ(started.Find("total")->text, "2");
  const JsonValue status = WaitForEnd();
  EXPECT_EQ(status.Find("state")->text, "done");
  EXPECT_EQ(status.Find("message")->text, "2 vMix instance(s) found");
  EXPECT_EQ(status.Find("scanned")->text, "2");
  EXPECT_EQ(status.Find("port")->text, std::to_string(first_->port()));
  EXPECT_EQ(status.Find("timeout_ms")->text, std::to_string(kPatience.count())) << "the probes' own time-out";
  EXPECT_EQ(status.Find("network")->kind, JsonKind::kNull);
  const JsonValue& instances = *status.Find("instances");
  ASSERT_EQ(instances.items.size(), 2u);
  EXPECT_EQ(instances.items[0].Find("host")->text, "127.0.0.1");
  EXPECT_EQ(instances.items[0].Find("version")->text, "27.0.0.49");
  EXPECT_EQ(instances.items[0].Find("name")->text, "One");
  EXPECT_EQ(instances.items[1].Find("host")->text, "127.0.0.2");
  EXPECT_EQ(instances.items[1].Find("edition")->text, "HD");
  EXPECT_EQ(instances.items[1].Find("name")->kind, JsonKind::kNull);
}

TEST_F(VmixLanSearchTest, AnswersThatAreNotVmixAreCountedButNotListed) {
  second_->SetApiDocument("<html><version>1</version></html>");
  controller_->StartLanSearch("127.0.0.2", first_->port());
  const JsonValue status = WaitForEnd();
  EXPECT_EQ(status.Find("scanned")->text, "2");
  ASSERT_EQ(status.Find("instances")->items.size(), 1u);
  EXPECT_EQ(status.Find("instances")->items[0].Find("host")->text, "127.0.0.1");
}

TEST_F(VmixLanSearchTest, SecondStartAndCancelWhileSearching) {
  StandInBehaviour silent;
  silent.mode = StandInMode::kNeverAnswer;
  first_->SetDefaultBehaviour(silent);
  second_->SetDefaultBehaviour(silent);
  controller_->StartLanSearch("127.0.0.2", first_->port());
  ASSERT_TRUE(first_->WaitForRequests(1, kPatience));
  ASSERT_TRUE(second_->WaitForRequests(1, kPatience));
  // While the probes wait for answers, the search and each probe show under their own names.
  EXPECT_EQ(ThreadsNamed(getpid(), "vmix-search"), 1);
  EXPECT_EQ(ThreadsNamed(getpid(), "vmix-probe"), 2);
  const JsonValue again = ParseJson(controller_->StartLanSearch("127.0.0.2", first_->port()));
  EXPECT_EQ(again.Find("state")->text, "searching");
  const JsonValue cancelling = ParseJson(controller_->CancelLanSearch());
  EXPECT_EQ(cancelling.Find("message")->text, "Search cancelled.");
  const JsonValue status = WaitForEnd();
  EXPECT_EQ(status.Find("state")->text, "cancelled");
  EXPECT_EQ(status.Find("message")->text,
            "No vMix instance was found automatically. You can still connect using the computer\xE2\x80\x99s IP address.");
  EXPECT_EQ(first_->RequestCount() + second_->RequestCount(), 2u);
}

TEST_F(VmixLanSearchTest, InvalidPortProbes8088AndStopEndsTheSearch) {
  const JsonValue started = ParseJson(controller_->StartLanSearch("127.0.0.2", 0));
  EXPECT_EQ(started.Find("port")->text, "8088");
  EXPECT_EQ(started.Find("message")->text, "Searching for vMix\xE2\x80\xA6");
  controller_->StopSender();
  EXPECT_NE(ParseJson(controller_->LanSearchStatusJson()).Find("state")->text, "searching");
}

TEST(ListIpv4Adapters, ReportsPrefixLengthsOfContiguousMasksOnly) {
  EXPECT_EQ(PrefixLengthOfNetmask(0xFFFFFF00u), 24);
  EXPECT_EQ(PrefixLengthOfNetmask(0xFFFFFFFFu), 32);
  EXPECT_EQ(PrefixLengthOfNetmask(0u), 0);
  EXPECT_EQ(PrefixLengthOfNetmask(0xFFFF00FFu), -1);
  // Reading the local table touches no network; every entry it gives is well formed.
  for (const Ipv4AdapterAddress& adapter : ListIpv4Adapters()) {
    EXPECT_FALSE(adapter.name.empty());
    EXPECT_GE(adapter.prefix_length, -1);
    EXPECT_LE(adapter.prefix_length, 32);
  }
}

}  // namespace
}  // namespace tessvark
