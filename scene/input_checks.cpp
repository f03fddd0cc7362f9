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

}  // namespace norvi
