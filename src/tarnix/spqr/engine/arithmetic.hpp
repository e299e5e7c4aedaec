// Scalar arithmetic of the engine's own loops, for double and
// std::complex<double> alike.
#pragma once

#include <complex>

namespace spqr_arithmetic {

inline double conj_of(double x) { return x; }
inline std::complex<double> conj_of(const std::complex<double>& x) { return std::conj(x); }

// Products written out: std::complex's operator* checks for infinities and
// NaNs through a library call on every product, which would dominate the
// inner loops.
inline double mul(double a, double b) { return a * b; }
inline std::complex<double> mul(const std::complex<double>& a, const std::complex<double>& b)
{
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

}  // namespace spqr_arithmetic
