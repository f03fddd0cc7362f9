#include "cpu/lidar_waveform.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <sstream>
#include <stdexcept>

#include "physics/lidar_formulas.h"
#include "scene/input_checks.h"

namespace norvi {

BeamPattern make_beam_pattern(int n) {
    BeamPattern pattern;
    if (n < 0) return pattern;
    if (n == 0)
        throw std::invalid_argument(
            "beam_samples_per_dim must be at least 1 to sample the beam; got 0");
    // The grid has (n + 1)^2 points, about 0.79 of them kept: a count an int
    // holds and, at 12 bytes a sample, memory this machine has.
    const double grid = (double(n) + 1.0) * (double(n) + 1.0);
    if (grid > double(INT_MAX)) {
        std::ostringstream os;
        os << "beam_samples_per_dim " << n << " gives " << grid
           << " beam grid points, more than can be counted (at most " << INT_MAX << ")";
        throw std::invalid_argument(os.str());
    }
    require_memory(grid * 12.0, "the beam pattern");

    double sum = 0.0;
    for (int i = 0; i <= n; ++i) {
        const float b = lidar_beam_grid_offset(i, n);
        for (int j = 0; j <= n; ++j) {
            const float a = lidar_beam_grid_offset(j, n);
            const float r2 = a * a + b * b;
            if (!lidar_beam_on_disc(r2)) continue;
            const float w = lidar_beam_weight(r2);
            pattern.offsets.push_back(a);
            pattern.offsets.push_back(b);
            pattern.weights.push_back(w);
            sum += w;
        }
    }
    for (float& w : pattern.weights) w = static_cast<float>(w / sum);
    return pattern;
}

int range_bin_count(float min_range, float max_range, float range_resolution) {
    std::ostringstream os;
    if (!(range_resolution > 0.0f) || !std::isfinite(range_resolution)) {
        os << "range_resolution must be finite and above 0; got " << range_resolution;
        throw std::invalid_argument(os.str());
    }
    if (!(max_range >= min_range)) {
        os << "max_range must not be below min_range; got min_range " << min_range
           << ", max_range " << max_range;
        throw std::invalid_argument(os.str());
    }
    const float span = (max_range - min_range) / range_resolution;
    if (!(span < static_cast<float>(INT_MAX / 2))) {
        os << "the range window [" << min_range << ", " << max_range << "] at range_resolution "
           << range_resolution << " needs more range bins than can be counted";
        throw std::invalid_argument(os.str());
    }
    return lidar_num_bins(min_range, max_range, range_resolution);
}

PulseKernel make_pulse_kernel(float pulse_fwhm_ns, float range_resolution) {
    std::ostringstream os;
    if (!(range_resolution > 0.0f)) {
        os << "range_resolution must be above 0; got " << range_resolution;
        throw std::invalid_argument(os.str());
    }
    if (!(pulse_fwhm_ns > 0.0f) || !std::isfinite(pulse_fwhm_ns)) {
        os << "pulse_fwhm_ns must be a finite value above 0; got " << pulse_fwhm_ns;
        throw std::invalid_argument(os.str());
    }
    PulseKernel k;
    k.sigma = lidar_pulse_sigma(pulse_fwhm_ns);
    const float reach = 3.0f * k.sigma / range_resolution;
    if (!(reach < 1e6f)) {
        os << "pulse_fwhm_ns " << pulse_fwhm_ns << " spans too many bins of range_resolution "
           << range_resolution;
        throw std::invalid_argument(os.str());
    }
    k.half_width = lidar_kernel_half_width(k.sigma, range_resolution);
    const int reach_bins = k.half_width + 1;
    k.taps.resize(static_cast<std::size_t>(2 * reach_bins + 1));
    double sum = 0.0;
    for (int j = -reach_bins; j <= reach_bins; ++j) {
        const float g = lidar_kernel_tap(j, k.sigma, range_resolution);
        k.taps[static_cast<std::size_t>(j + reach_bins)] = g;
        sum += g;
    }
    for (float& g : k.taps) g = static_cast<float>(g / sum);
    return k;
}

void convolve_pulse(const double* raw, float* out, int num_bins, int num_wavelengths,
                    const PulseKernel& kernel) {
    const std::size_t nw = static_cast<std::size_t>(num_wavelengths);
    const std::size_t n = static_cast<std::size_t>(num_bins) * nw;
    const int reach = kernel.half_width + 1;
    std::fill(out, out + n, 0.0f);

    // Only bins within reach of a non-empty bin can receive anything; most of
    // a waveform is empty.
    std::size_t first = n, last = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (raw[i] != 0.0) {
            if (first == n) first = i;
            last = i;
        }
    }
    if (first == n) return;
    const int m_lo = static_cast<int>(first / nw), m_hi = static_cast<int>(last / nw);
    const int k_lo = std::max(0, m_lo - reach), k_hi = std::min(num_bins - 1, m_hi + reach);

    // Scatter each non-empty source bin into its neighbours. Output bin k then
    // sums g[j] * raw[k + j] over increasing j in double precision, exactly as
    // the gather form does.
    std::vector<double> acc(static_cast<std::size_t>(k_hi - k_lo + 1) * nw, 0.0);
    for (int m = m_lo; m <= m_hi; ++m) {
        const double* src = raw + static_cast<std::size_t>(m) * nw;
        const int lo = std::max(0, m - reach), hi = std::min(num_bins - 1, m + reach);
        for (std::size_t l = 0; l < nw; ++l) {
            const double v = src[l];
            if (v == 0.0) continue;
            for (int k = lo; k <= hi; ++k) {
                // out[k] += g[j + reach] * raw[k + j] with k + j = m.
                acc[static_cast<std::size_t>(k - k_lo) * nw + l] +=
                    static_cast<double>(kernel.taps[static_cast<std::size_t>(m - k + reach)]) * v;
            }
        }
    }
    float* dst = out + static_cast<std::size_t>(k_lo) * nw;
    for (std::size_t i = 0; i < acc.size(); ++i) dst[i] = static_cast<float>(acc[i]);
}

std::vector<float> convolve_waveforms(const std::vector<float>& raw, int num_pulses, int num_bins,
                                      int num_wavelengths, const PulseKernel& kernel) {
    const std::size_t per_pulse =
        static_cast<std::size_t>(num_bins) * static_cast<std::size_t>(num_wavelengths);
    const std::size_t total = per_pulse * static_cast<std::size_t>(num_pulses);
    if (num_pulses < 0 || num_bins < 0 || num_wavelengths < 0 || raw.size() != total) {
        std::ostringstream os;
        os << "convolve_waveforms: the waveform holds " << raw.size() << " values; "
           << num_pulses << " pulses x " << num_bins << " bins x " << num_wavelengths
           << " wavelengths need " << total;
        throw std::invalid_argument(os.str());
    }
    std::vector<float> out(total);
    std::vector<double> pulse(per_pulse);
    for (std::size_t p = 0; p < static_cast<std::size_t>(num_pulses); ++p) {
        for (std::size_t i = 0; i < per_pulse; ++i) pulse[i] = raw[p * per_pulse + i];
        convolve_pulse(pulse.data(), out.data() + p * per_pulse, num_bins, num_wavelengths,
                       kernel);
    }
    return out;
}

int extract_returns(const float* waveform, float3 origin, float3 direction, int pulse_index,
                    const ReturnSettings& s, std::vector<float>& points) {
    if (s.num_bins < 3 || s.max_returns_per_pulse <= 0) return 0;
    const std::size_t nw = static_cast<std::size_t>(s.num_wavelengths);
    auto summed = [&](int k) {
        const float* bin = waveform + static_cast<std::size_t>(k) * nw;
        if (nw == 1) return static_cast<double>(bin[0]);
        double v = 0.0;
        for (std::size_t l = 0; l < nw; ++l) v += bin[l];
        return v;
    };

    // Strict local maxima above the threshold, nearest first.
    const double threshold = s.peak_threshold;
    std::vector<int> peaks;
    double prev = summed(0);
    double cur = summed(1);
    for (int k = 1; k + 1 < s.num_bins; ++k) {
        const double next = summed(k + 1);
        if (cur > prev && cur > next && cur > threshold) {
            peaks.push_back(k);
            if (static_cast<int>(peaks.size()) >= s.max_returns_per_pulse) break;
        }
        prev = cur;
        cur = next;
    }

    const int n = static_cast<int>(peaks.size());
    for (int r = 0; r < n; ++r) {
        const int k = peaks[static_cast<std::size_t>(r)];
        const float range = lidar_bin_centre(k, s.min_range, s.range_resolution);
        const float3 p{origin.x + range * direction.x, origin.y + range * direction.y,
                       origin.z + range * direction.z};
        const float rec[kLidarPointFloats] = {p.x,
                                              p.y,
                                              p.z,
                                              static_cast<float>(summed(k)),
                                              static_cast<float>(r + 1),
                                              static_cast<float>(n),
                                              range,
                                              static_cast<float>(pulse_index)};
        points.insert(points.end(), rec, rec + kLidarPointFloats);
    }
    return n;
}

}  // namespace norvi
