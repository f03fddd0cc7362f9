#include "gpu/scene_manager_state.h"

#include <cstring>

#include "scene/scene_state_impl.h"

namespace norvi {

template <>
struct SceneStateAccess<SceneManager> {
    static std::vector<SceneMeshState> meshes(const SceneManager& scene) {
        std::vector<SceneMeshState> out;
        out.reserve(scene.host_meshes().size());
        for (const HostMesh& m : scene.host_meshes())
            out.push_back({m.vertices, m.normals, m.indices, m.material});
        return out;
    }
    static std::vector<SceneInstanceState> instances(const SceneManager& scene) {
        std::vector<SceneInstanceState> out;
        out.reserve(scene.instances().size());
        for (const InstanceData& inst : scene.instances()) {
            SceneInstanceState i;
            i.mesh_id = inst.mesh_index;
            std::memcpy(i.xform, inst.transform, sizeof(i.xform));
            out.push_back(i);
        }
        return out;
    }
    static void gather_sif(const SceneManager& scene, SceneState& s) {
        s.primitive_sif_spectra = scene.primitive_sif_spectra();
        s.n_sif_bands = s.primitive_sif_spectra.empty() ? 0 : scene.n_sif_bands();
        s.sif_only = scene.sif_only();
    }
    static void set_num_bands(SceneManager& scene, int n) {
        if (n != 0) scene.set_num_bands(n);  // 0: never set
    }
    static void set_sif(SceneManager& scene, const SceneState& s) {
        scene.set_sif_only_mode(s.sif_only);
        if (!s.primitive_sif_spectra.empty() || s.n_sif_bands != 0)
            scene.set_primitive_sif_spectra(s.primitive_sif_spectra, s.n_sif_bands);
    }
};

SceneState scene_state(const SceneManager& scene) { return gather_scene_state(scene); }

std::unique_ptr<SceneManager> scene_from_state(OptiXContext& context, const SceneState& s) {
    auto scene = std::make_unique<SceneManager>(context);
    fill_scene_from_state(*scene, s);
    return scene;
}

}  // namespace norvi
