#include "cpu/mw_tables.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "physics/mw_phase.h"

namespace norvi {

MwPhaseTableSet make_mw_phase_tables(MwPhaseKind kind, int cti, int cts, int dphi) {
    const double cells = double(cti) * double(cts) * double(dphi);
    if (cti < 1 || cts < 1 || dphi < 1 || cells > double(1 << 22)) {
        std::ostringstream os;
        os << "make_mw_phase_tables: cti, cts and dphi must each be at least 1 with at most 4194304 cells, got ("
           << cti << ", " << cts << ", " << dphi << ")";
        throw std::invalid_argument(os.str());
    }
    MwPhaseTableSet t;
    t.cti = cti;
    t.cts = cts;
    t.dphi = dphi;
    const std::size_t n = static_cast<std::size_t>(cells);
    t.mueller.assign(16 * n, 0.0f);
    t.cdf_cts.assign(static_cast<std::size_t>(cti) * static_cast<std::size_t>(cts), 0.0f);
    t.cdf_dphi.assign(n, 0.0f);

    const double dmi = 2.0 / cti, dms = 2.0 / cts, dph = kMwPi / dphi;
    const double g = 0.5 / std::sqrt(3.0);  // Gauss-Legendre nodes at the centre +- g x width
    std::vector<double> w(static_cast<std::size_t>(dphi));
    for (int i = 0; i < cti; ++i) {
        double row_total = 0.0;
        std::vector<double> row(static_cast<std::size_t>(cts));
        for (int j = 0; j < cts; ++j) {
            for (int k = 0; k < dphi; ++k) {
                Mueller4 avg{};
                if (kind == MwPhaseKind::Isotropic) {
                    avg.m[0] = avg.m[1] = avg.m[4] = avg.m[5] = 1.0 / (8.0 * kMwPi);
                } else {
                    for (int a = 0; a < 8; ++a) {
                        const double mu_i = -1.0 + (i + 0.5 + ((a & 1) ? g : -g)) * dmi;
                        const double mu_s = -1.0 + (j + 0.5 + ((a & 2) ? g : -g)) * dms;
                        const double ph = (k + 0.5 + ((a & 4) ? g : -g)) * dph;
                        const Mueller4 p = rayleigh_phase_matrix(mu_i, mu_s, ph);
                        for (int e = 0; e < 16; ++e) avg.m[e] += 0.125 * p.m[e];
                    }
                }
                float* dst = t.mueller.data() + 16 * ((static_cast<std::size_t>(i) * cts + j) * dphi + k);
                for (int e = 0; e < 16; ++e) dst[e] = static_cast<float>(avg.m[e]);
                w[static_cast<std::size_t>(k)] = std::fmax(unpolarised_response(avg), 0.0) * dms * dph;
            }
            float* cdf = t.cdf_dphi.data() + (static_cast<std::size_t>(i) * cts + j) * dphi;
            double sum = 0.0;
            for (int k = 0; k < dphi; ++k) sum += w[static_cast<std::size_t>(k)];
            double acc = 0.0;
            for (int k = 0; k < dphi; ++k) {
                acc += w[static_cast<std::size_t>(k)];
                cdf[k] = sum > 0.0 ? static_cast<float>(acc / sum) : 1.0f;
            }
            cdf[dphi - 1] = 1.0f;
            row[static_cast<std::size_t>(j)] = sum;
            row_total += sum;
        }
        float* cdf = t.cdf_cts.data() + static_cast<std::size_t>(i) * cts;
        double acc = 0.0;
        for (int j = 0; j < cts; ++j) {
            acc += row[static_cast<std::size_t>(j)];
            cdf[j] = row_total > 0.0 ? static_cast<float>(acc / row_total) : 1.0f;
        }
        cdf[cts - 1] = 1.0f;
    }
    return t;
}

}  // namespace norvi
