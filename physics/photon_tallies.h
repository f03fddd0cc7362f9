#pragma once
// What one photon leaves in the tallies of the forward and flux engines,
// written once for both back ends. The engine hands over a Tracer (see
// physics/photon_path.h; the forward walk also asks occluded(o, d)) and a
// Sink that adds positive energies where the engine keeps them: per-thread
// arrays on the CPU, atomic additions to device buffers on the GPU.

#include <cmath>
#include <cstddef>

#include "physics/absorption.h"
#include "physics/bsdf.h"
#include "physics/photon_grid.h"
#include "physics/photon_path.h"
#include "physics/ray_offset.h"
#include "physics/shading_frame.h"
#include "scene/host_device.h"

namespace norvi {

// Everything a forward photon needs, fixed for the whole call.
struct ForwardSetup {
    PhotonSource source;
    const MaterialData* materials = nullptr;
    int num_materials = 0;
    const float* spec = nullptr;
    int nb = 0;
    int nx = 1, ny = 1, layers = 1;
    float dx = 1.0f, dy = 1.0f;
    const float* heights = nullptr;  // layers + 1 boundaries
    const float3* brf_dirs = nullptr;  // unit vectors; null: no view tally
    int num_brf_dirs = 0;
    bool albedo = false;  // tally escapes upward
    int max_depth = 0;
    int rr_depth = 3;
    int terrain_id = -1;
};

// Forward sink: grid(first, a, n) adds a[0 .. n) to the n grid entries from
// `first` on, terrain(first, a, n) to bands first .. first + n - 1 of the
// terrain, leaf(instance, prim, first, a, n) to those bands of one triangle off
// the terrain (each a >= 0; a zero adds nothing); expect_grid(first) tells
// that the grid entries from `first` on come next; brf(dir * nb + band, e) and
// albedo(band, e) with positive e.
namespace photon_detail {

// First grid entry (band 0) of the cell and layer holding point p.
NORVI_HD std::size_t grid_cell(const ForwardSetup& c, float3 p) {
    const int ix = clamped_cell(p.x, c.dx, c.nx);
    const int iy = clamped_cell(p.y, c.dy, c.ny);
    const int k = layer_of_height(c.heights, c.layers, p.z);
    return grid_index(k, iy, ix, c.nx, c.ny, c.nb, 0);
}

// Absorption at hit h, into the grid from entry `cell` on.
template <typename Sink>
NORVI_HD void tally_absorption(const ForwardSetup& c, const HitRecord& h, const MaterialData& m, std::size_t cell,
                               const double* w, double f, Sink& sink) {
    const bool terrain = c.terrain_id >= 0 && h.instance_id == c.terrain_id;
    float frac[kPhotonBandChunk];
    double a[kPhotonBandChunk];
    for (int first = 0; first < c.nb; first += kPhotonBandChunk) {
        const int n = band_chunk(first, c.nb);
        absorbed_fractions(m.type, m.spectral_offset, first, n, c.nb, c.spec, h.back_face, frac);
        // Without a branch per band: what is not positive adds nothing.
        for (int i = 0; i < n; ++i) {
            const double e = static_cast<double>(frac[i]) * w[first + i] * f;
            a[i] = e > 0.0 ? e : 0.0;
        }
        sink.grid(cell + static_cast<std::size_t>(first), a, n);
        if (terrain)
            sink.terrain(first, a, n);
        else
            sink.leaf(h.instance_id, h.prim_id, first, a, n);
    }
}

// Next-event estimate toward each view direction above the horizon: the
// energy the surface scatters into it, if nothing blocks the way out.
template <typename Tracer, typename Sink>
NORVI_HD void tally_brf(const ForwardSetup& c, const Tracer& tracer, const HitRecord& h, const MaterialData& m,
                        const ShadingFrame& frame, float3 wo, const double* w, double f, Sink& sink) {
    for (int k = 0; k < c.num_brf_dirs; ++k) {
        const float3 v = c.brf_dirs[k];
        if (!(v.z > 0.0f)) continue;
        if (tracer.occluded(offset_ray_origin(h.position, face_toward(h.geometric_normal, v)), v)) continue;
        const float cs = dot(frame.n, v);
        if (!(fabsf(cs) >= 1e-6f)) continue;
        const float3 wi = to_local(frame, v);
        const double cos_v = fabsf(cs);
        float F[kPhotonBandChunk];
        for (int first = 0; first < c.nb; first += kPhotonBandChunk) {
            const int n = band_chunk(first, c.nb);
            eval_bsdf_span(m.type, m.spectral_offset, first, n, wo, wi, c.spec, c.nb, h.back_face,
                           /*thermal*/ false, F);
            for (int i = 0; i < n; ++i) {
                const double e = static_cast<double>(F[i]) * w[first + i] * cos_v * f;
                if (e > 0.0) sink.brf(k * c.nb + first + i, e);
            }
        }
    }
}

}  // namespace photon_detail

// Forward photon `photon`: absorption per cell, layer and band at every
// surface it meets, per leaf or terrain, the view estimates, and the albedo
// of what escapes upward. w: nb doubles of scratch for its weights.
template <typename Tracer, typename Sink>
NORVI_HD void trace_forward_photon(const ForwardSetup& c, const Tracer& tracer, Sink& sink, int photon, double* w) {
    PhotonPath path(photon);
    if (!path.start(c.source, w) || c.max_depth < 1) return;
    const double f = path.factor();
    for (;;) {
        const HitRecord h = path.next_hit(tracer);
        if (!h.hit) {
            if (path.direction().z > 0.0f && c.albedo) {
                for (int b = 0; b < c.nb; ++b) {
                    const double e = w[b] * f;
                    if (e > 0.0) sink.albedo(b, e);
                }
            }
            return;
        }
        if (h.material_id < 0 || h.material_id >= c.num_materials) return;
        const MaterialData& m = c.materials[h.material_id];
        // The grid cell is told first, and added to last, so that the work
        // in between covers the wait for a cell of many bands.
        const std::size_t cell = photon_detail::grid_cell(c, h.position);
        sink.expect_grid(cell);
        const ShadingFrame frame = make_shading_frame(h.shading_normal);
        const float3 wo = to_local(frame, -path.direction());
        if (c.brf_dirs && c.num_brf_dirs >= 1) photon_detail::tally_brf(c, tracer, h, m, frame, wo, w, f, sink);
        photon_detail::tally_absorption(c, h, m, cell, w, f, sink);
        if (!path.scatter(h, m, frame, wo, c.spec, c.nb, w, c.rr_depth, c.max_depth)) return;
    }
}

// Everything a flux photon needs, fixed for the whole call.
struct FluxSetup {
    PhotonSource source;
    const MaterialData* materials = nullptr;
    int num_materials = 0;
    const float* spec = nullptr;
    int nb = 0;
    int nx = 1, ny = 1;
    float cell_x = 1.0f, cell_y = 1.0f;
    int max_bounces = 0;  // arrivals recorded per photon; 0: all
    int max_depth = 0;
    int rr_depth = 3;
};

// Flux photon `photon`: each recorded arrival adds its weight to the
// downwelling map of its cell, and to the upwelling map of the previous
// arrival's cell when that differs; an escape after scattering adds to the
// upwelling map of the last cell. Sink: down(cell, band, e), up(cell, band, e)
// with positive e. w: nb doubles of scratch.
template <typename Tracer, typename Sink>
NORVI_HD void trace_flux_photon(const FluxSetup& c, const Tracer& tracer, Sink& sink, int photon, double* w) {
    PhotonPath path(photon);
    if (!path.start(c.source, w) || c.max_depth < 1) return;
    const double scale = path.factor();
    int recorded = 0;
    int previous = -1;  // flat cell of the previous arrival; -1: none
    bool stop = false;
    const auto add_up = [&](int cell) {
        for (int b = 0; b < c.nb; ++b) {
            const double e = w[b] * scale;
            if (e > 0.0) sink.up(cell, b, e);
        }
    };
    for (;;) {
        const HitRecord h = path.next_hit(tracer);
        if (!h.hit) {
            // Escapes: what left the last surface leaves its cell.
            if (path.interactions() > 0 && previous >= 0) add_up(previous);
            return;
        }
        if (stop) return;

        const int ix = grid_cell_or_none(h.position.x, c.cell_x, c.nx);
        const int iy = grid_cell_or_none(h.position.y, c.cell_y, c.ny);
        const int cell = ix >= 0 && iy >= 0 ? iy * c.nx + ix : -1;
        if (cell >= 0 && (c.max_bounces == 0 || recorded < c.max_bounces)) {
            for (int b = 0; b < c.nb; ++b) {
                const double e = w[b] * scale;
                if (e > 0.0) sink.down(cell, b, e);
            }
            if (previous >= 0 && previous != cell) add_up(previous);
            ++recorded;
        }
        previous = cell;
        stop = c.max_bounces > 0 && recorded >= c.max_bounces;

        if (h.material_id < 0 || h.material_id >= c.num_materials) return;
        const MaterialData& m = c.materials[h.material_id];
        const ShadingFrame frame = make_shading_frame(h.shading_normal);
        const float3 wo = to_local(frame, -path.direction());
        if (!path.scatter(h, m, frame, wo, c.spec, c.nb, w, c.rr_depth, c.max_depth)) return;
    }
}

}  // namespace norvi
