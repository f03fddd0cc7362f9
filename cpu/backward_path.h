#pragma once
// The backward path of physics/backward_path.h on the CPU scene.

#include "physics/backward_path.h"
#include "scene/embree_scene.h"

namespace norvi::embree {

using norvi::BackwardSetup;
using norvi::PathBands;
using norvi::trace_backward_path;
using norvi::trace_backward_sample;

// Ray queries straight on the scene.
struct SceneTracer {
    const EmbreeSceneManager* scene;
    HitRecord trace(float3 o, float3 d) const { return scene->trace_ray(o, d); }
    bool occluded(float3 o, float3 d) const { return scene->occluded_periodic(o, d); }
};

}  // namespace norvi::embree
