#pragma once
// Checks made where values enter a scene or a simulation call, shared by the
// CPU and GPU scene managers, engines and bindings.
//
// Every value that becomes a ray origin, a direction or an extent is checked
// here: Embree refuses (it aborts the process on) a ray with a component that
// is not finite or above about 1.8e18, and rays are carried into the space of
// each instance by the inverse of its transform. Bad values throw
// std::invalid_argument (ValueError in Python) whose message names the
// argument and the value. Requests for more memory than the machine has
// throw MemoryRequestTooLarge (MemoryError in Python) before allocating.

#include <cstddef>
#include <new>
#include <string>
#include <vector>

#include "scene/types.h"

namespace norvi {

// Largest magnitude of a world coordinate: vertices (in object space and
// placed by their instances), camera and LiDAR positions, footprints, tile
// sizes and plane heights. It leaves the ray arithmetic of every engine
// (offsets, far points, instance inverses) well inside the tracer's range.
constexpr float kMaxCoordinate = 1e9f;

// Largest entry of the inverse of an instance's 3x3 part: the factor by which
// a ray grows on its way into the mesh's space.
constexpr double kMaxInverseScale = 1e6;

// Thrown instead of starting an allocation that cannot fit in memory.
class MemoryRequestTooLarge : public std::bad_alloc {
public:
    explicit MemoryRequestTooLarge(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// `what` must be finite.
void require_finite(float value, const char* what);

// `what` must be finite with a magnitude of at most kMaxCoordinate.
void require_coordinate(float value, const char* what);
void require_point(float3 p, const char* what);

// `what` as a unit vector, normalised without over- or underflow; a zero or
// non-finite vector is refused.
float3 unit_direction(float3 d, const char* what);

// A finite direction, normalised as unit_direction does; the zero vector
// stays zero (it means "none", as for an emitter that gives no light).
float3 unit_direction_or_zero(float3 d, const char* what);

// A row-major 3x4 instance transform: finite, with an invertible 3x3 part
// whose inverse has no entry above kMaxInverseScale, that places the box
// [lo, hi] of its mesh inside the coordinate range. An empty mesh (lo > hi)
// is only checked for the translation.
void check_instance_transform(const float* xform12, float3 lo, float3 hi, const char* what);

// Object-space box of a mesh's vertices; lo > hi when it has none.
struct MeshBox {
    float3 lo, hi;
};

// The arrays given to add_mesh: vertex indices inside the vertex array, one
// normal per vertex or none, vertices inside the coordinate range and finite
// normals. Throws std::invalid_argument whose message starts with "add_mesh: ";
// returns the vertex box.
MeshBox check_mesh_input(const std::vector<float3>& vertices, const std::vector<float3>& normals,
                         const std::vector<int3>& indices);

// Thermal wavelengths [nm]: each finite and above 0, else std::invalid_argument
// starting "set_thermal_mode: ".
void check_thermal_wavelengths(const std::vector<float>& wavelengths);

// Values for the spectral array (reflectances, irradiances, sky radiances,
// coefficients): each finite, else std::invalid_argument starting "what: ".
// A NaN would pass through the backward renderer and be dropped by the
// photon engines' comparisons, giving zeros.
void check_spectral_values(const std::vector<float>& values, const char* what);

// Physical memory of this machine, in bytes.
double machine_memory_bytes();

// Throws MemoryRequestTooLarge, naming `what` and the size, when `bytes`
// (computed in double precision, so it cannot wrap) exceeds the machine's
// memory.
void require_memory(double bytes, const char* what);

}  // namespace norvi
