#pragma once
// Chi-square goodness-of-fit of a direction sampler against its density on the
// sphere: samples binned on a (theta, phi) grid, expected counts from the
// density integrated over each cell (composite Simpson), cells with expected
// count below 5 pooled, samples in a cell of zero expected count rejected.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "scene/types.h"

namespace norvi::test {

// Regularised upper incomplete gamma function Q(a, x).
inline double gamma_q(double a, double x) {
    if (x <= 0.0) return 1.0;
    const double gln = std::lgamma(a);
    if (x < a + 1.0) {
        double sum = 1.0 / a, del = sum, ap = a;
        for (int n = 0; n < 10000; ++n) {
            ap += 1.0;
            del *= x / ap;
            sum += del;
            if (std::fabs(del) < std::fabs(sum) * 1e-15) break;
        }
        return 1.0 - sum * std::exp(-x + a * std::log(x) - gln);
    }
    // Continued fraction (modified Lentz).
    const double tiny = 1e-300;
    double b = x + 1.0 - a, c = 1.0 / tiny, d = 1.0 / b, h = d;
    for (int i = 1; i < 10000; ++i) {
        const double an = -i * (i - a);
        b += 2.0;
        d = an * d + b;
        if (std::fabs(d) < tiny) d = tiny;
        c = b + an / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1.0 / d;
        const double del = d * c;
        h *= del;
        if (std::fabs(del - 1.0) < 1e-15) break;
    }
    return std::exp(-x + a * std::log(x) - gln) * h;
}

// Per-test significance level so that `num_tests` tests together keep `alpha`.
inline double sidak_alpha(double alpha, int num_tests) {
    return 1.0 - std::pow(1.0 - alpha, 1.0 / num_tests);
}

struct Chi2Outcome {
    bool passed = false;
    double p_value = 0.0;
    std::string message;  // why it failed, with the table of the worst cells
};

inline float3 sphere_direction(double theta, double phi) {
    return float3{static_cast<float>(std::sin(theta) * std::cos(phi)),
                  static_cast<float>(std::sin(theta) * std::sin(phi)),
                  static_cast<float>(std::cos(theta))};
}

// sample(): returns a unit direction; pdf(float3): density per unit solid angle.
template <class Sample, class Pdf>
Chi2Outcome chi2_sphere(Sample&& sample, Pdf&& pdf, int num_samples, double alpha,
                        int n_theta = 20, int n_phi = 40) {
    const double pi = 3.14159265358979323846;
    const int cells = n_theta * n_phi;
    std::vector<double> observed(cells, 0.0), expected(cells, 0.0);
    Chi2Outcome out;

    for (int i = 0; i < num_samples; ++i) {
        const float3 w = sample();
        const double len = std::sqrt(double(w.x) * w.x + double(w.y) * w.y + double(w.z) * w.z);
        if (!(std::fabs(len - 1.0) < 1e-3)) {
            out.message = "sample is not a unit vector";
            return out;
        }
        const double theta = std::acos(std::clamp(double(w.z) / len, -1.0, 1.0));
        double phi = std::atan2(double(w.y), double(w.x));
        if (phi < 0) phi += 2 * pi;
        const int it = std::min(int(theta / pi * n_theta), n_theta - 1);
        const int ip = std::min(int(phi / (2 * pi) * n_phi), n_phi - 1);
        observed[it * n_phi + ip] += 1.0;
    }

    // Expected counts: Simpson over each cell in (theta, phi), 6 x 6 intervals.
    const int m = 6;
    double total = 0.0;
    for (int it = 0; it < n_theta; ++it) {
        const double t0 = pi * it / n_theta, t1 = pi * (it + 1) / n_theta;
        for (int ip = 0; ip < n_phi; ++ip) {
            const double p0 = 2 * pi * ip / n_phi, p1 = 2 * pi * (ip + 1) / n_phi;
            double sum = 0.0;
            for (int a = 0; a <= m; ++a) {
                const double wa = (a == 0 || a == m) ? 1 : (a % 2 ? 4 : 2);
                const double th = t0 + (t1 - t0) * a / m;
                for (int b = 0; b <= m; ++b) {
                    const double wb = (b == 0 || b == m) ? 1 : (b % 2 ? 4 : 2);
                    const double ph = p0 + (p1 - p0) * b / m;
                    const double f = pdf(sphere_direction(th, ph));
                    if (f < 0) {
                        out.message = "negative density";
                        return out;
                    }
                    sum += wa * wb * f * std::sin(th);
                }
            }
            const double integral = sum * (t1 - t0) / (3 * m) * (p1 - p0) / (3 * m);
            expected[it * n_phi + ip] = integral * num_samples;
            total += integral;
        }
    }
    if (std::fabs(total - 1.0) > 0.01) {
        std::ostringstream os;
        os << "density integrates to " << total << ", not 1";
        out.message = os.str();
        return out;
    }

    // Pool cells with small expected counts; reject samples where none are expected.
    std::vector<std::pair<double, double>> cell(cells);
    for (int i = 0; i < cells; ++i) {
        if (expected[i] == 0.0 && observed[i] > num_samples * 1e-5) {
            std::ostringstream os;
            os << "cell " << i << " holds " << observed[i] << " samples but expects none";
            out.message = os.str();
            return out;
        }
        cell[i] = {expected[i], observed[i]};
    }
    std::sort(cell.begin(), cell.end());
    double pooled_exp = 0, pooled_obs = 0, chsq = 0;
    int dof = 0;
    for (const auto& [e, o] : cell) {
        if (e == 0.0) continue;
        if (e < 5.0) {
            pooled_exp += e;
            pooled_obs += o;
            if (pooled_exp >= 5.0) {
                chsq += (pooled_obs - pooled_exp) * (pooled_obs - pooled_exp) / pooled_exp;
                ++dof;
                pooled_exp = pooled_obs = 0;
            }
        } else {
            chsq += (o - e) * (o - e) / e;
            ++dof;
        }
    }
    if (pooled_exp > 0) {
        chsq += (pooled_obs - pooled_exp) * (pooled_obs - pooled_exp) / pooled_exp;
        ++dof;
    }
    dof -= 1;
    out.p_value = gamma_q(dof / 2.0, chsq / 2.0);
    out.passed = out.p_value >= alpha;
    if (!out.passed) {
        std::ostringstream os;
        os << "chi2 = " << chsq << " with " << dof << " dof, p = " << out.p_value
           << " < alpha = " << alpha << "\n  theta-row observed/expected:";
        for (int it = 0; it < n_theta; ++it) {
            double o = 0, e = 0;
            for (int ip = 0; ip < n_phi; ++ip) {
                o += observed[it * n_phi + ip];
                e += expected[it * n_phi + ip];
            }
            os << "\n   " << it << ": " << o << " / " << e;
        }
        out.message = os.str();
    }
    return out;
}

}  // namespace norvi::test
