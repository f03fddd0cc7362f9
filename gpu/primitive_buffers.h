#pragma once
// Per-primitive data derived on the host from meshes and instances.
//
// A primitive is one triangle of one instance. Global order: instances in
// index order, and within an instance the triangles of its mesh in order; the
// global index of triangle t of instance k is instance_prim_offsets[k] + t.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gpu/device_records.h"
#include "scene/types.h"

namespace norvi {

// A mesh as the derivation reads it (object space).
struct MeshView {
    const float3* vertices = nullptr;
    std::size_t num_vertices = 0;
    const int3* indices = nullptr;
    std::size_t num_triangles = 0;
    int32_t material_id = 0;
};

struct PrimitiveBuffers {
    std::vector<float3> v0, v1, v2;         // world-space vertices
    std::vector<float3> normals;            // unit geometric normal, (0, 0, 1) if degenerate
    std::vector<float> areas;               // square scene units
    std::vector<int32_t> material_ids;      // material of the instance's mesh
    std::vector<int32_t> instance_prim_offsets;  // num_instances + 1 entries

    std::size_t size() const { return areas.size(); }
};

// Below this cross-product length a triangle has no usable normal.
constexpr double kDegenerateCrossLength = 1e-20;

// Derives every per-primitive array. Throws std::invalid_argument when an
// instance names a mesh that does not exist, a triangle indexes a vertex
// outside its mesh, or the total exceeds the 32-bit offsets the device reads.
PrimitiveBuffers derive_primitive_buffers(const std::vector<MeshView>& meshes,
                                          const std::vector<InstanceData>& instances);

}  // namespace norvi
