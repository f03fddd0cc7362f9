#pragma once
// The GPU scene's state (scene/scene_state.h): the same record as the CPU
// scene's, plus the per-primitive SIF spectra and SIF-only mode that only the
// GPU scene has. A band count never set is 0 in the state and stays unset.

#include <memory>

#include "gpu/optix_context.h"
#include "gpu/scene_manager.h"
#include "scene/scene_state.h"

namespace norvi {

SceneState scene_state(const SceneManager& scene);

// A new GPU scene on `context` filled from `state`, built (its device copies
// uploaded) when the state says it was. Bad input throws
// std::invalid_argument naming the mesh, the instance or the state field; the
// half-filled scene and its device memory are released.
std::unique_ptr<SceneManager> scene_from_state(OptiXContext& context, const SceneState& state);

}  // namespace norvi
