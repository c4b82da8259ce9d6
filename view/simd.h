// simd.h: x y z vectors of one point or of four in AVX2 lanes, with one Minus, Cross and Dot.
#pragma once

#include <cstdint>
#include <type_traits>

#include "data/star.h"

// Whether this CPU can run the AVX2 paths. libgcc reads the CPU model before any constructor of
// the program runs, so this is one load and one test.
inline bool CpuHasAvx2() {
    return __builtin_cpu_supports("avx2") != 0;
}

// Four doubles in one AVX register; unlike __m256d it may be a template argument.
using Double4 = double __attribute__((vector_size(32)));
// What comparing two Double4 gives: all ones in each lane where the comparison holds.
using Mask4 = int64_t __attribute__((vector_size(32)));

// The x, y and z of four points, one point per lane.
struct Lanes4 {
    Double4 x;
    Double4 y;
    Double4 z;
};

// The x y z record with components of type T: one point (Vec3) for double, four for Double4.
template <typename T>
using Xyz = std::conditional_t<std::is_same_v<T, double>, Vec3, Lanes4>;

// Every function that takes or returns Double4 values, here and in the files that include this,
// is always inlined, so no such value crosses a call and GCC's note on the AVX calling
// convention does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

// The helpers below take any mix of one point and four: a Vec3 operand is used in every lane.
// Each lane does exactly a lone point's operations in the same order, and -ffp-contract=off
// keeps multiply and add apart, so four points in lanes get the bits each would get alone.
template <typename A, typename B>
[[gnu::always_inline]] inline auto Minus(const A& a, const B& b) -> Xyz<decltype(a.x - b.x)> {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

template <typename A, typename B>
[[gnu::always_inline]] inline auto Cross(const A& a, const B& b) -> Xyz<decltype(a.x * b.x)> {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Summed x, then y, then z.
template <typename A, typename B>
[[gnu::always_inline]] inline auto Dot(const A& a, const B& b) -> decltype(a.x * b.x) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
