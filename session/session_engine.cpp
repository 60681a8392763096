#include "session/session_engine.h"

#include <utility>

namespace tessvark {

std::shared_ptr<const AnalysisSetup> SessionEngine::CurrentSetup() {
  if (setup && setup_profile == ProfileKeyOf(selection)) return setup;
  return RefreshSetup();
}

std::shared_ptr<const AnalysisSetup> SessionEngine::RefreshSetup() {
  AnalysisSetup next = AnalysisSetupFor(zones, selection);
  setup_profile = ProfileKeyOf(selection);
  if (setup && setup->zones == next.zones && setup->geometry == next.geometry &&
      setup->role_filter == next.role_filter) {
    return setup;
  }
  next.generation = ++setup_generation_;
  setup = std::make_shared<const AnalysisSetup>(std::move(next));
  return setup;
}

}  // namespace tessvark
