#include "session/native_session.h"

#include <filesystem>
#include <stdexcept>
#include <utility>

#include "ocr/image_threads.h"
#include "platform/picture_buffers.h"
#include "sources/sdk_omt_runtime.h"
#include "sources/sdk_runtime.h"

namespace tessvark {
namespace {

std::unique_ptr<SessionServer> MakeServer(const NativeSessionOptions& options) {
  if (!options.make_server) throw std::invalid_argument("a session needs a server factory");
  std::unique_ptr<SessionServer> server = options.make_server(options);
  if (!server) throw std::invalid_argument("the server factory made no server");
  return server;
}

}  // namespace

NativeSession::NativeSession(NativeSessionOptions options)
    : options_(std::move(options)),
      worker_(options_.clock_lane_interval_seconds, options_.other_lane_interval_seconds,
              options_.analysis_wait_seconds, [] { return UtcTimestampNow(); }),
      server_(MakeServer(options_)),
      outputs_(engine_, *server_, settings_mutex_),
      frame_path_(engine_, worker_, *server_),
      catalogs_(engine_, worker_, *server_, outputs_, settings_mutex_),
      zones_(engine_, frame_path_, settings_mutex_),
      sources_(options_.ui_root, engine_, frame_path_, worker_, *server_, outputs_, settings_mutex_) {
  KeepImageWorkOnCallingThread();
  KeepPictureBuffersForReuse();
}

NativeSession::~NativeSession() { Stop(); }

bool NativeSession::Start() {
  LoadStoredConfiguration();
  server_->SetStateStore(&worker_.StateStore());
  server_->SetRuntime(this);

  std::string stored_output;
  {
    MutexLock engine(engine_.mutex);
    stored_output = engine_.zones.stored.output_config_text;
  }
  outputs_.Start([this] { return worker_.StateStore().SnapshotWithDisplay(); }, stored_output);

  worker_.SetAfterAnalysisHook([this] { frame_path_.RunPendingAnalysis(); });
  worker_.SetTickDoneHook([this] { OnAnalysisTick(); });
  worker_.SetAnalysisEnabled(false);
  {
    MutexLock engine(engine_.mutex);
    engine_.stopping.exchange(false);
    worker_.SetSourceIdentity(std::nullopt);
    worker_.UpdateSetup(engine_.CurrentSetup());
  }

  // The server's routes reach the catalogs and the runtimes from the moment it listens, so both
  // are made first. Each runtime gets the session's callbacks before anything else is asked of
  // it; neither loads its library until a source of its kind is wanted.
  catalogs_.Load(options_.data_dir, options_.sports_catalog_path);
  catalogs_.MarkAnalysisStarted();
  std::shared_ptr<NdiRuntime> ndi_runtime = options_.ndi_runtime;
  if (!ndi_runtime && options_.enable_ndi) ndi_runtime = MakeSdkRuntime();
  std::shared_ptr<NdiRuntime> omt_runtime = options_.enable_omt ? MakeSdkOmtRuntime() : nullptr;
  sources_.AttachRuntimes(std::move(ndi_runtime), std::move(omt_runtime));

  if (!server_->Start()) {
    outputs_.StopSender();
    return false;
  }
  worker_.UseSteadyClock();
  worker_.SetValuesPublishedHook(
      [this](std::uint64_t generation) { outputs_.ReleaseHold(generation); });
  worker_.Start();

  frame_path_.StartThreads();
  sources_.StartStored();
  return true;
}

void NativeSession::Stop() {
  sources_.BeginStop();
  frame_path_.RequestStop();
  sources_.StopSrtListener();
  frame_path_.Slot().Close();
  sources_.StopRuntimes();
  frame_path_.JoinThreads();
  sources_.StopExamplePlayer();
  worker_.SetTickDoneHook({});
  worker_.Stop();
  outputs_.StopSender();
  server_->SetRuntime(nullptr);
  server_->Stop();
}

void NativeSession::OnAnalysisTick() {
  server_->SetStateAvailable(worker_.HasResult());
  outputs_.PublishValues(worker_.StateStore().SnapshotWithDisplay());
}

void NativeSession::LoadStoredConfiguration() {
  if (options_.data_dir.empty()) return;
  auto store = std::make_unique<ConfigStore>(std::filesystem::path(options_.data_dir));
  SourceConfiguration configuration;
  const ConfigLoadResult loaded = store->Load(configuration);

  bool save_due = loaded.zone_store_rewritten || loaded.geometry_needs_rewrite;
  // The third Example of earlier versions is the clip now.
  if (ParseSourceKind(configuration.source_type) == SourceKind::kExample &&
      configuration.source_id == "example-3") {
    configuration.source_id = "example-1";
    save_due = true;
  }
  const std::string defaults_path = options_.example_defaults_path.empty()
                                        ? options_.ui_root + "/assets/example/factory-defaults.json"
                                        : options_.example_defaults_path;
  if (options_.load_example_defaults &&
      std::filesystem::is_regular_file(std::filesystem::status(defaults_path))) {
    std::string error;
    if (store->ApplyFactoryDefaults(configuration, defaults_path, error)) save_due = true;
  }
  ConfigStore* saver = store.get();
  {
    MutexLock engine(engine_.mutex);
    engine_.zones.config_store = std::move(store);
    ApplySourceConfiguration(configuration, engine_.selection, engine_.zones);
    engine_.PublishSelection();
  }
  if (configuration.output_config_loaded) {
    server_->SetOutputEnabled("vmix", configuration.vmix_enabled);
  }
  if (save_due) {
    std::string error;
    saver->Save(configuration, error);
  }
}

}  // namespace tessvark
