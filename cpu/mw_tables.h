#pragma once
// Phase tables for vegetation volumes (layout in physics/mw_phase.h): the
// Mueller table and its cts and dphi sampling tables for isotropic or
// Rayleigh (dipole) scattering, so callers need not derive them by hand.

#include <vector>

namespace norvi {

enum class MwPhaseKind { Isotropic, Rayleigh };

struct MwPhaseTableSet {
    std::vector<float> mueller;   // cti x cts x dphi x 4 x 4
    std::vector<float> cdf_cts;   // cti x cts
    std::vector<float> cdf_dphi;  // cti x cts x dphi
    int cti = 0, cts = 0, dphi = 0;
};

// Each cell holds the phase matrix averaged over the cell (2-point
// Gauss-Legendre in mu_i, mu_s and dphi); the sampling weight of a cell is its
// unpolarised response times its extent in mu_s and dphi. Throws
// std::invalid_argument unless every dimension is at least 1 and the table
// has at most 2^22 cells.
MwPhaseTableSet make_mw_phase_tables(MwPhaseKind kind, int cti, int cts, int dphi);

}  // namespace norvi
