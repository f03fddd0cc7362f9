#include "scene/scene_state.h"

#include <cstring>
#include <stdexcept>

#include "scene/embree_scene.h"
#include "scene/scene_state_impl.h"

namespace norvi {

using embree::EmbreeSceneManager;

template <>
struct SceneStateAccess<EmbreeSceneManager> {
    static std::vector<SceneMeshState> meshes(const EmbreeSceneManager& scene) {
        std::vector<SceneMeshState> out;
        out.reserve(scene.meshes().size());
        for (const embree::EmbreeMesh& m : scene.meshes())
            out.push_back({m.vertices, m.normals, m.indices, m.material_id});
        return out;
    }
    static std::vector<SceneInstanceState> instances(const EmbreeSceneManager& scene) {
        std::vector<SceneInstanceState> out;
        out.reserve(scene.instances().size());
        for (const embree::EmbreeInstance& inst : scene.instances()) {
            SceneInstanceState i;
            i.mesh_id = inst.mesh_id;
            std::memcpy(i.xform, inst.xform, sizeof(i.xform));
            out.push_back(i);
        }
        return out;
    }
    static void gather_sif(const EmbreeSceneManager&, SceneState&) {}
    static void set_num_bands(EmbreeSceneManager& scene, int n) { scene.set_num_bands(n); }
    static void set_sif(EmbreeSceneManager&, const SceneState& s) {
        if (!s.primitive_sif_spectra.empty() || s.n_sif_bands != 0 || s.sif_only)
            throw std::invalid_argument(
                "the CPU scene has no SIF emission; this state holds SIF spectra or SIF-only mode "
                "(a GPU scene's)");
    }
};

SceneState scene_state(const EmbreeSceneManager& scene) { return gather_scene_state(scene); }

std::unique_ptr<EmbreeSceneManager> scene_from_state(const SceneState& s) {
    auto scene = std::make_unique<EmbreeSceneManager>();
    fill_scene_from_state(*scene, s);
    return scene;
}

}  // namespace norvi
