#pragma once
// The CPU scene as the tracer of the shared photon walk
// (physics/photon_path.h, physics/photon_tallies.h).

#include "physics/photon_path.h"
#include "scene/embree_scene.h"

namespace norvi::embree {

using norvi::kMinPhotonWeight;
using norvi::PhotonPath;

struct EmbreePhotonTracer {
    const EmbreeSceneManager& scene;

    HitRecord trace(float3 o, float3 d) const { return scene.trace_ray(o, d); }
    bool occluded(float3 o, float3 d) const { return scene.occluded_periodic(o, d); }
    bool repetitive() const { return scene.is_repetitive(); }
    int wrap_budget() const { return scene.wrap_budget(); }
    bool wrap(float3& p, float3 d) const { return scene.wrap_periodic(p, d); }
};

}  // namespace norvi::embree
