#pragma once
// Fraction of the energy arriving at a surface that the surface absorbs, per
// band: what it neither reflects nor transmits. Used by the forward photon
// tracers to tally absorbed energy at every hit.

#include "scene/host_device.h"
#include "scene/types.h"

namespace norvi {

// spec: the spectral parameter array; offset: the material's spectral offset;
// back_face: the photon met the side opposite to the triangle's winding normal
// (a leaf's back reflectance then applies).
//   Lambertian, RPV: 1 - rho (resp. 1 - rho0)
//   two-sided leaf:  1 - (R_front or R_back) - T
//   any other kind:  1 (black)
NORVI_HD float absorbed_fraction(MaterialType type, int offset, int band, int num_bands,
                                 const float* spec, bool back_face) {
    switch (type) {
        case MaterialType::Lambertian:
        case MaterialType::Rpv:
            return 1.0f - spec[offset + band];
        case MaterialType::TwoSidedLeaf:
            return 1.0f - (spec[offset + band + (back_face ? num_bands : 0)] +
                           spec[offset + 2 * num_bands + band]);
        default:
            return 1.0f;
    }
}

// absorbed_fraction for `count` bands from `first` on, the kind dispatched
// once: out[i] for band first + i.
NORVI_HD void absorbed_fractions(MaterialType type, int offset, int first, int count, int num_bands,
                                 const float* spec, bool back_face, float* out) {
    const float* a = spec + offset + first;
    switch (type) {
        case MaterialType::Lambertian:
        case MaterialType::Rpv:
            for (int i = 0; i < count; ++i) out[i] = 1.0f - a[i];
            return;
        case MaterialType::TwoSidedLeaf: {
            const float* r = a + (back_face ? num_bands : 0);
            const float* t = a + 2 * num_bands;
            for (int i = 0; i < count; ++i) out[i] = 1.0f - (r[i] + t[i]);
            return;
        }
        default:
            for (int i = 0; i < count; ++i) out[i] = 1.0f;
            return;
    }
}

}  // namespace norvi
