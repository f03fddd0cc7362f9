#include "scene/input_checks.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace norvi {

namespace {

std::string vector_text(float3 v) {
    std::ostringstream os;
    os << "(" << v.x << ", " << v.y << ", " << v.z << ")";
    return os.str();
}

[[noreturn]] void refuse(const char* what, const std::string& rule, const std::string& got) {
    throw std::invalid_argument(std::string(what) + " must " + rule + "; got " + got);
}

std::string number_text(double v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

bool finite3(float3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

}  // namespace

void require_finite(float value, const char* what) {
    if (!std::isfinite(value)) refuse(what, "be finite", number_text(value));
}

void require_coordinate(float value, const char* what) {
    if (!(std::fabs(value) <= kMaxCoordinate))
        refuse(what, "be finite and at most 1e+09 in magnitude", number_text(value));
}

void require_point(float3 p, const char* what) {
    if (!(std::fabs(p.x) <= kMaxCoordinate && std::fabs(p.y) <= kMaxCoordinate &&
          std::fabs(p.z) <= kMaxCoordinate))
        refuse(what, "be finite with coordinates of at most 1e+09 in magnitude", vector_text(p));
}

float3 unit_direction(float3 d, const char* what) {
    if (!finite3(d) || (d.x == 0.0f && d.y == 0.0f && d.z == 0.0f))
        refuse(what, "be a finite, non-zero direction", vector_text(d));
    // In double the squared length of any finite float vector neither
    // overflows nor underflows.
    const double x = d.x, y = d.y, z = d.z;
    const double len = std::sqrt(x * x + y * y + z * z);
    return float3{static_cast<float>(x / len), static_cast<float>(y / len),
                  static_cast<float>(z / len)};
}

float3 unit_direction_or_zero(float3 d, const char* what) {
    if (!finite3(d)) refuse(what, "be finite", vector_text(d));
    if (d.x == 0.0f && d.y == 0.0f && d.z == 0.0f) return d;
    return unit_direction(d, what);
}

void check_instance_transform(const float* m, float3 lo, float3 hi, const char* what) {
    for (int i = 0; i < 12; ++i) {
        if (std::isfinite(m[i])) continue;
        std::ostringstream os;
        os << what << " must be finite; got " << m[i] << " at position " << i;
        throw std::invalid_argument(os.str());
    }
    // Inverse of the 3x3 part by its adjugate, in double.
    const double a = m[0], b = m[1], c = m[2], d = m[4], e = m[5], f = m[6], g = m[8], h = m[9],
                 k = m[10];
    const double adj[9] = {e * k - f * h, c * h - b * k, b * f - c * e,
                           f * g - d * k, a * k - c * g, c * d - a * f,
                           d * h - e * g, b * g - a * h, a * e - b * d};
    const double det = a * adj[0] + b * adj[3] + c * adj[6];
    double largest = 0.0;
    for (double v : adj) largest = std::max(largest, std::fabs(v));
    if (!(det != 0.0 && largest / std::fabs(det) <= kMaxInverseScale)) {
        std::ostringstream os;
        os << what << " must have an invertible 3x3 part whose inverse has no entry above "
           << kMaxInverseScale << " (no axis shrunk below about 1e-06); got determinant " << det;
        throw std::invalid_argument(os.str());
    }
    const bool empty = lo.x > hi.x || lo.y > hi.y || lo.z > hi.z;
    for (int corner = 0; corner < (empty ? 1 : 8); ++corner) {
        const double p[3] = {empty ? 0.0 : (corner & 1) ? hi.x : lo.x,
                             empty ? 0.0 : (corner & 2) ? hi.y : lo.y,
                             empty ? 0.0 : (corner & 4) ? hi.z : lo.z};
        for (int r = 0; r < 3; ++r) {
            const double w = m[4 * r] * p[0] + m[4 * r + 1] * p[1] + m[4 * r + 2] * p[2] + m[4 * r + 3];
            if (std::fabs(w) <= static_cast<double>(kMaxCoordinate)) continue;
            std::ostringstream os;
            os << what << " must place its mesh within 1e+09 of the origin; a corner of the mesh box"
               << " lands at coordinate " << w;
            throw std::invalid_argument(os.str());
        }
    }
}

double machine_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return 1e300;  // unknown: let the allocator decide
    return static_cast<double>(pages) * static_cast<double>(page_size);
}

void require_memory(double bytes, const char* what) {
    const double available = machine_memory_bytes();
    if (bytes <= available) return;
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s needs %.3g GiB (%.0f bytes), more than this machine's %.3g GiB of memory",
                  what, bytes / 1073741824.0, bytes, available / 1073741824.0);
    throw MemoryRequestTooLarge(text);
}

namespace {

std::string triangle_text(const int3& t) {
    std::ostringstream os;
    os << "(" << t.x << ", " << t.y << ", " << t.z << ")";
    return os.str();
}

// Every point of `points` inside the coordinate range (vertices) or merely
// finite (normals, whose length does not matter).
void check_rows(const std::vector<float3>& points, const char* what, bool coordinates) {
    for (std::size_t i = 0; i < points.size(); ++i) {
        const float3 p = points[i];
        const bool ok = coordinates ? std::fabs(p.x) <= kMaxCoordinate && std::fabs(p.y) <= kMaxCoordinate &&
                                          std::fabs(p.z) <= kMaxCoordinate
                                    : std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
        if (ok) continue;
        std::ostringstream os;
        os << "add_mesh: " << what << "[" << i << "] = (" << p.x << ", " << p.y << ", " << p.z
           << ") must be finite" << (coordinates ? " with coordinates of at most 1e+09 in magnitude" : "");
        throw std::invalid_argument(os.str());
    }
}

}  // namespace

MeshBox check_mesh_input(const std::vector<float3>& vertices, const std::vector<float3>& normals,
                         const std::vector<int3>& indices) {
    const std::size_t nv = vertices.size();
    if (!normals.empty() && normals.size() != nv) {
        std::ostringstream os;
        os << "add_mesh: normals has " << normals.size() << " rows; expected 0 or " << nv
           << " (one per vertex)";
        throw std::invalid_argument(os.str());
    }
    for (std::size_t i = 0; i < indices.size(); ++i) {
        const int3& t = indices[i];
        for (int32_t v : {t.x, t.y, t.z}) {
            if (v < 0 || static_cast<std::size_t>(v) >= nv) {
                std::ostringstream os;
                os << "add_mesh: indices[" << i << "] = " << triangle_text(t) << " refers to vertex "
                   << v << ", but the mesh has " << nv << " vertices (valid: 0 to "
                   << static_cast<long long>(nv) - 1 << ")";
                throw std::invalid_argument(os.str());
            }
        }
    }
    check_rows(vertices, "vertices", true);
    check_rows(normals, "normals", false);
    MeshBox box{{1.0f, 1.0f, 1.0f}, {-1.0f, -1.0f, -1.0f}};  // empty
    if (nv > 0) {
        box = {vertices[0], vertices[0]};
        for (const float3& v : vertices) {
            box.lo = {std::min(box.lo.x, v.x), std::min(box.lo.y, v.y), std::min(box.lo.z, v.z)};
            box.hi = {std::max(box.hi.x, v.x), std::max(box.hi.y, v.y), std::max(box.hi.z, v.z)};
        }
    }
    return box;
}

void check_thermal_wavelengths(const std::vector<float>& wavelengths) {
    for (std::size_t i = 0; i < wavelengths.size(); ++i) {
        if (std::isfinite(wavelengths[i]) && wavelengths[i] > 0.0f) continue;
        std::ostringstream os;
        os << "set_thermal_mode: wavelengths[" << i << "] must be a finite wavelength above 0 nm; got "
           << wavelengths[i];
        throw std::invalid_argument(os.str());
    }
}

void check_spectral_values(const std::vector<float>& values, const char* what) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (std::isfinite(values[i])) continue;
        std::ostringstream os;
        os << what << ": values[" << i << "] must be finite; got " << values[i];
        throw std::invalid_argument(os.str());
    }
}

}  // namespace norvi
