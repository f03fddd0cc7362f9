#pragma once
// Camera rays of the sensor record for an image-plane sample (u, v) in
// [-0.5, 0.5]^2 (u along the columns, v along the rows, row 0 at the camera's
// -y edge). Camera space looks along -z.

#include <cmath>

#include "scene/host_device.h"
#include "scene/types.h"
#include "scene/vec_math.h"

namespace norvi {

enum class CameraRay : int {
    kDropped = 0,   // the sample lies outside the image (fisheye circle) or the camera is degenerate
    kCamera = 1,    // a ray of an orthographic, perspective or fisheye sensor
    kFallback = 2,  // unknown sensor type: straight down from (0, 0, 100)
};

// Zenith angle of a fisheye sample at normalised image radius r (0.5 at the
// image edge) for the half field `half`; negative when the sample is dropped.
NORVI_HD float fisheye_theta(int projection, float r, float half) {
    float theta;
    if (projection == kFisheyeEquisolid) {
        const float s = sinf(half * 0.5f);
        if (2.0f * r * s > 1.0f) return -1.0f;
        theta = 2.0f * asinf(2.0f * r * s);
    } else if (projection == kFisheyeEquidistant) {
        theta = 2.0f * r * half;
    } else if (projection == kFisheyeOrthographic) {
        const float s = sinf(half);
        if (2.0f * r * s > 1.0f) return -1.0f;
        theta = asinf(2.0f * r * s);
    } else {
        theta = 2.0f * atanf(2.0f * r * tanf(half * 0.5f));
    }
    return theta > half ? -1.0f : theta;
}

NORVI_HD CameraRay generate_camera_ray(const SensorData& s, float u, float v, float3& origin,
                                       float3& dir) {
    const float* m = s.cam_xform;  // rows 0-2 of the row-major 4x4 form a 3x4 [R | P]
    const float3 position{m[3], m[7], m[11]};
    if (s.type == kSensorPerspective) {
        const float f = tanf(s.fov * 0.5f);
        const float cx = 2.0f * u * f * (static_cast<float>(s.width) / static_cast<float>(s.height));
        const float cy = 2.0f * v * f;
        const float3 cam = float3{cx, cy, -1.0f} / sqrtf(cx * cx + cy * cy + 1.0f);
        dir = normalize(xform_vector(m, cam));
        origin = position;
    } else if (s.type == kSensorFisheye) {
        const float half = s.fov * 0.5f;
        const float theta = fisheye_theta(s.projection_type, sqrtf(u * u + v * v), half);
        if (theta < 0.0f) return CameraRay::kDropped;
        const float phi = atan2f(v, u);
        const float3 cam{sinf(theta) * cosf(phi), sinf(theta) * sinf(phi), -cosf(theta)};
        dir = normalize(xform_vector(m, cam));
        origin = position;
    } else if (s.type == kSensorOrthographic) {
        origin = xform_point(m, float3{u * s.ortho_w, v * s.ortho_h, 0.0f});
        dir = normalize(xform_vector(m, float3{0.0f, 0.0f, -1.0f}));
    } else {
        origin = float3{0.0f, 0.0f, 100.0f};
        dir = float3{0.0f, 0.0f, -1.0f};
        return CameraRay::kFallback;
    }
    // A degenerate camera matrix leaves no usable direction.
    if (!(dot(dir, dir) >= 0.5f)) return CameraRay::kDropped;
    return CameraRay::kCamera;
}

}  // namespace norvi
