// The vector form: one voice, its tube's sections in vector lanes (4, 8 or
// 16), moved between lanes by shuffles; the pulse and the saturation a chunk
// of samples at a time; the math as inline polynomial kernels. Built wherever
// the compiler has vector extensions, unless TRACTWAVE_PLAIN asks for the
// plain form alone.
#ifndef TRACTWAVE_ENGINE_VECTOR_H
#define TRACTWAVE_ENGINE_VECTOR_H

#include "drive.h"

#ifdef TRACTWAVE_VECTOR
namespace {

// ---------------------------------------------------------------------------
// Vector form: lane sets and math kernels

// The kernels below, written once for any lane set S that offers float
// vectors v, integer vectors i, pick, splat, truncate (float to integer,
// towards zero) and from_int.
template <class S> TW_INLINE typename S::v cos_kernel(typename S::v x);
template <class S, bool nonnegative = false>
TW_INLINE typename S::v exp_kernel(typename S::v x);
template <class S> TW_INLINE typename S::v tanh_kernel(typename S::v x);

// A lane set: a float vector, its integer and unsigned twins, and the
// members lanes1 offers, over every lane at once.
template <int N, class V, class I, class U> struct lane_set {
  static constexpr int n = N;
  typedef V v;
  typedef I i;
  typedef U u;
  typedef I mask;

  template <class T> static TW_INLINE T pick(I m, T a, T b) {
    return m ? a : b;
  }
  static TW_INLINE V splat(float x) { return V{} + x; }
  static TW_INLINE V to_float(U x) { return __builtin_convertvector(x, V); }
  static TW_INLINE I truncate(V x) { return __builtin_convertvector(x, I); }
  static TW_INLINE V from_int(I x) { return __builtin_convertvector(x, V); }
  static TW_INLINE V cos(V x) { return cos_kernel<lane_set>(x); }
  static TW_INLINE V exp(V x) { return exp_kernel<lane_set>(x); }
  static TW_INLINE V tanh(V x) { return tanh_kernel<lane_set>(x); }
};

#define TW_LANE_TYPES(N)                                                       \
  typedef float f32x##N __attribute__((vector_size(4 * N)));                   \
  typedef int32_t i32x##N __attribute__((vector_size(4 * N)));                 \
  typedef uint32_t u32x##N __attribute__((vector_size(4 * N)));                \
  typedef lane_set<N, f32x##N, i32x##N, u32x##N> lanes##N;

TW_LANE_TYPES(4)
#ifdef TRACTWAVE_WIDE_X86
TW_LANE_TYPES(8)
TW_LANE_TYPES(16)
#endif

template <class To, class From> TW_INLINE To bits(From x) {
  static_assert(sizeof(To) == sizeof(From), "same size");
  To to;
  __builtin_memcpy(&to, &x, sizeof to);
  return to;
}

// Loads and stores at any float alignment; the fixed-size copies compile to
// single vector moves.
template <class S> TW_INLINE typename S::v load(const float *p) {
  typename S::v x;
  __builtin_memcpy(&x, p, sizeof x);
  return x;
}
template <class S> TW_INLINE void store(float *p, typename S::v x) {
  __builtin_memcpy(p, &x, sizeof x);
}
template <class S> TW_INLINE typename S::v vabs(typename S::v x) {
  typedef typename S::i I;
  return bits<typename S::v>(bits<I>(x) & 0x7FFFFFFF);
}

// Cosine for the arguments the glottal pulse uses (|x| below a few hundred):
// reduction by multiples of pi/4 in three exact parts, then the minimax sine
// or cosine polynomial of the octant. Within a few ulp of a correctly rounded
// cosf; NaN and infinities give NaN.
template <class S> TW_INLINE typename S::v cos_kernel(typename S::v x) {
  typedef typename S::v v;
  typedef typename S::i i;
  const v ax = vabs<S>(x);
  i j = S::truncate(ax * 1.27323954473516f);
  j = (j + 1) & ~1;
  const v y = S::from_int(j);
  const v r = ((ax - y * 0.78515625f) - y * 2.4187564849853515625e-4f) -
              y * 3.77489497744594108e-8f;
  const v z = r * r;
  const v c = ((2.443315711809948e-5f * z - 1.388731625493765e-3f) * z +
               4.166664568298827e-2f) *
                  z * z -
              0.5f * z + 1.0f;
  const v s =
      ((-1.9515295891e-4f * z + 8.3321608736e-3f) * z - 1.6666654611e-1f) * z *
          r +
      r;
  const v value = S::pick((j & 2) != 0, s, c);
  const i negative = ((j + 2) & 4) << 29;
  return bits<v>(bits<i>(value) ^ negative);
}

// exp for -87 <= x <= 88: x = n ln2 + r, a degree-6 polynomial for e^r, and
// 2^n built in the exponent field. NaN stays NaN. Outside that range the
// exponent field overflows; the callers keep to it (the pulse passes
// -3 ... 17, tanh 0 ... 40), so there is no clamp to pay for.
// With nonnegative (x >= 0 or NaN) truncation already rounds down.
template <class S, bool nonnegative>
TW_INLINE typename S::v exp_kernel(typename S::v x) {
  typedef typename S::v v;
  const v f = x * 1.44269504088896341f + 0.5f;
  const v t = S::from_int(S::truncate(f));
  const v n = nonnegative ? t : S::pick(t > f, t - 1.0f, t);
  const v r = (x - n * 0.693359375f) - n * -2.12194440e-4f;
  const v z = r * r;
  const v p =
      (((((1.9875691500e-4f * r + 1.3981999507e-3f) * r + 8.3334519073e-3f) *
             r +
         4.1665795894e-2f) *
            r +
        1.6666665459e-1f) *
           r +
       5.0000001201e-1f) *
          z +
      r + 1.0f;
  return p * bits<v>((S::truncate(n) + 127) << 23);
}

// tanh: an odd polynomial near zero, where 1 - 2 / (e^2x + 1) would lose small
// values to cancellation; that form elsewhere, saturating to exactly 1.
template <class S> TW_INLINE typename S::v tanh_kernel(typename S::v x) {
  typedef typename S::v v;
  typedef typename S::i i;
  const v ax = vabs<S>(x);
  const v z = x * x;
  const v near_zero =
      ((((-5.70498872745e-3f * z + 2.06390887954e-2f) * z - 5.37397155531e-2f) *
            z +
        1.33314422036e-1f) *
           z -
       3.33332819422e-1f) *
          z * x +
      x;
  const v e =
      exp_kernel<S, true>(S::pick(ax > 20.0f, S::splat(40.0f), ax + ax));
  const v far = 1.0f - 2.0f / (e + 1.0f);
  const i sign = bits<i>(x) & static_cast<int32_t>(0x80000000u);
  return S::pick(ax < 0.625f, near_zero, bits<v>(bits<i>(far) | sign));
}

// fmodf(x, 1.0f), exactly: below 2^23 the fraction x - trunc(x) is
// representable, and larger floats are whole numbers. The remainder keeps the
// sign of x, zero included; infinities and NaN give NaN.
inline float wrap_unit(float x) {
  const float f = __builtin_fabsf(x) < 8388608.0f
                      ? x - static_cast<float>(static_cast<int32_t>(x))
                      : x * 0.0f;
  return __builtin_copysignf(f, x);
}

// The same over every lane.
template <class S> TW_INLINE typename S::v wrap_unit(typename S::v x) {
  typedef typename S::v V;
  typedef typename S::i I;
  const V whole_part =
      __builtin_convertvector(__builtin_convertvector(x, I), V);
  const V f = S::pick(vabs<S>(x) < 8388608.0f, x - whole_part, x * 0.0f);
  const I sign = bits<I>(x) & static_cast<int32_t>(0x80000000u);
  return bits<V>((bits<I>(f) & 0x7FFFFFFF) | sign);
}

// ---------------------------------------------------------------------------
// Vector form: several vectors in lockstep

// A pulse or tanh vector is one long chain of dependent operations, longer
// than the processor looks ahead, so one vector at a time leaves most of its
// multipliers idle. K independent vectors evaluated operation by operation
// keep K chains in flight. Every lane still does exactly its own arithmetic,
// in the same order, so the bits are those of one vector at a time.
template <class T, int K> struct lockstep_of { T x[K]; };

template <class T> struct is_lockstep { static constexpr bool value = false; };
template <class T, int K> struct is_lockstep<lockstep_of<T, K>> {
  static constexpr bool value = true;
};

template <bool> struct only_if {};
template <> struct only_if<true> { typedef void type; };

// a op b over every member, where either side may be a single number.
template <class T, int K>
TW_INLINE const T &member(const lockstep_of<T, K> &a, int k) {
  return a.x[k];
}
template <class X> TW_INLINE X member(X a, int) { return a; }

#define TW_LOCKSTEP_OPERATOR(op)                                               \
  template <class T, int K, class X>                                           \
  TW_INLINE auto operator op(const lockstep_of<T, K> &a, const X &b) {         \
    lockstep_of<decltype(a.x[0] op member(b, 0)), K> r;                        \
    for (int k = 0; k < K; ++k)                                                \
      r.x[k] = a.x[k] op member(b, k);                                         \
    return r;                                                                  \
  }                                                                            \
  template <class X, class T, int K,                                           \
            class = typename only_if<!is_lockstep<X>::value>::type>            \
  TW_INLINE auto operator op(const X &a, const lockstep_of<T, K> &b) {         \
    lockstep_of<decltype(a op b.x[0]), K> r;                                   \
    for (int k = 0; k < K; ++k)                                                \
      r.x[k] = a op b.x[k];                                                    \
    return r;                                                                  \
  }

TW_LOCKSTEP_OPERATOR(+)
TW_LOCKSTEP_OPERATOR(-)
TW_LOCKSTEP_OPERATOR(*)
TW_LOCKSTEP_OPERATOR(/)
TW_LOCKSTEP_OPERATOR(&)
TW_LOCKSTEP_OPERATOR(|)
TW_LOCKSTEP_OPERATOR(^)
TW_LOCKSTEP_OPERATOR(<<)
TW_LOCKSTEP_OPERATOR(<)
TW_LOCKSTEP_OPERATOR(>)
TW_LOCKSTEP_OPERATOR(!=)
#undef TW_LOCKSTEP_OPERATOR

// K vectors of lane set S as one lane set for the math kernels.
template <class S, int K> struct lockstep {
  static constexpr int n = S::n * K;
  typedef lockstep_of<typename S::v, K> v;
  typedef lockstep_of<typename S::i, K> i;
  typedef i mask;

  // The mask is whatever a comparison gives, which need not be i itself
  // (clang for wasm gives a vector of another integer type of that size).
  template <class M, class T> static TW_INLINE T pick(const M &m, T a, T b) {
    T r;
    for (int k = 0; k < K; ++k)
      r.x[k] = S::pick(m.x[k], a.x[k], b.x[k]);
    return r;
  }
  static TW_INLINE v splat(float x) {
    v r;
    for (int k = 0; k < K; ++k)
      r.x[k] = S::splat(x);
    return r;
  }
  static TW_INLINE i truncate(const v &x) {
    i r;
    for (int k = 0; k < K; ++k)
      r.x[k] = S::truncate(x.x[k]);
    return r;
  }
  static TW_INLINE v from_int(const i &x) {
    v r;
    for (int k = 0; k < K; ++k)
      r.x[k] = S::from_int(x.x[k]);
    return r;
  }
  static TW_INLINE v cos(const v &x) { return cos_kernel<lockstep>(x); }
  static TW_INLINE v exp(const v &x) { return exp_kernel<lockstep>(x); }
  static TW_INLINE v tanh(const v &x) { return tanh_kernel<lockstep>(x); }
};

// How many vectors go through a kernel together: measured best with both
// 16 and 32 registers (two are slower, eight no faster).
constexpr int kLockstep = 4;

// F::run over every vector of x[0] ... x[count - 1], kLockstep at a time;
// count is a whole number of them. (F is a class rather than a lambda so
// that the kernel is inlined into the caller's instruction set.)
template <class S, class F>
TW_INLINE void in_lockstep(typename S::v *x, int count) {
  constexpr int K = kLockstep;
  typedef lockstep<S, K> L;
  for (int q = 0; q < count; q += K) {
    typename L::v group;
    for (int k = 0; k < K; ++k)
      group.x[k] = x[q + k];
    group = F::template run<L>(group);
    for (int k = 0; k < K; ++k)
      x[q + k] = group.x[k];
  }
}

struct pulse_kernel {
  template <class S> static TW_INLINE typename S::v run(typename S::v phase) {
    return glottal_pulse<S>(phase);
  }
};
struct saturation_kernel {
  template <class S> static TW_INLINE typename S::v run(typename S::v x) {
    return saturation<S>(x);
  }
};

// ---------------------------------------------------------------------------
// Vector form: moving sections between lanes

// The tube moves waves one section per sample, so each junction needs its
// neighbour's value: next_section gives elements k + 1 ... from the vectors
// holding k ..., previous_section elements k - 1 ... . The shift happens
// between registers, never through a misaligned reload of a value stored a
// moment earlier, which the processor could not forward from its store
// buffer.
template <class S>
typename S::v next_section(typename S::v here, typename S::v after);
template <class S>
typename S::v previous_section(typename S::v before, typename S::v here);

#if defined(__clang__)
#define TW_SHUFFLE(T, a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define TW_SHUFFLE(T, a, b, ...)                                               \
  __builtin_shuffle(a, b, typename T::i{__VA_ARGS__})
#endif

#if defined(__SSE__)
// Two shufps each: SSE2 has no two-register byte shift.
template <>
TW_INLINE lanes4::v next_section<lanes4>(lanes4::v here, lanes4::v after) {
  // Compiler builtins rather than <xmmintrin.h>, which drags in the C
  // library's headers. t = {here3, here3, after0, after0}, then
  // {here1, here2, t0, t2}.
  const lanes4::v t = __builtin_ia32_shufps(here, after, 0x0F);
  return __builtin_ia32_shufps(here, t, 0x89);
}
template <>
TW_INLINE lanes4::v previous_section<lanes4>(lanes4::v before, lanes4::v here) {
  // t = {before3, before3, here0, here0}, then {t0, t2, here1, here2}.
  const lanes4::v t = __builtin_ia32_shufps(before, here, 0x0F);
  return __builtin_ia32_shufps(t, here, 0x98);
}
#else
template <>
TW_INLINE lanes4::v next_section<lanes4>(lanes4::v here, lanes4::v after) {
  return TW_SHUFFLE(lanes4, here, after, 1, 2, 3, 4);
}
template <>
TW_INLINE lanes4::v previous_section<lanes4>(lanes4::v before, lanes4::v here) {
  return TW_SHUFFLE(lanes4, before, here, 3, 4, 5, 6);
}
#endif

#ifdef TRACTWAVE_WIDE_X86
template <>
TW_INLINE lanes8::v next_section<lanes8>(lanes8::v here, lanes8::v after) {
  return TW_SHUFFLE(lanes8, here, after, 1, 2, 3, 4, 5, 6, 7, 8);
}
template <>
TW_INLINE lanes8::v previous_section<lanes8>(lanes8::v before, lanes8::v here) {
  return TW_SHUFFLE(lanes8, before, here, 7, 8, 9, 10, 11, 12, 13, 14);
}
template <>
TW_INLINE lanes16::v next_section<lanes16>(lanes16::v here, lanes16::v after) {
  return TW_SHUFFLE(lanes16, here, after, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                    13, 14, 15, 16);
}
template <>
TW_INLINE lanes16::v previous_section<lanes16>(lanes16::v before,
                                               lanes16::v here) {
  return TW_SHUFFLE(lanes16, before, here, 15, 16, 17, 18, 19, 20, 21, 22, 23,
                    24, 25, 26, 27, 28, 29, 30);
}
#endif

// A square of n vectors of n lanes turned over its diagonal, so that lane j
// of vector i moves to lane i of vector j: for each block size b, rows r and
// r + b swap their off-diagonal b x b blocks, one two-register shuffle per
// row.
template <int... lane> struct lane_list {};
template <int count, int... lane>
struct lanes_below : lanes_below<count - 1, count - 1, lane...> {};
template <int... lane> struct lanes_below<0, lane...> {
  typedef lane_list<lane...> type;
};

template <class S, int b, int... lane>
TW_INLINE void swap_blocks(typename S::v &low, typename S::v &high,
                           lane_list<lane...>) {
  constexpr int n = S::n;
  const typename S::v x = low, y = high;
  low = TW_SHUFFLE(S, x, y, ((lane & b) ? n + (lane ^ b) : lane)...);
  high = TW_SHUFFLE(S, x, y, ((lane & b) ? n + lane : (lane ^ b))...);
}

template <class S, int b = 1> TW_INLINE void transpose(typename S::v *rows) {
  if constexpr (b < S::n) {
    for (int r = 0; r < S::n; ++r)
      if (!(r & b))
        swap_blocks<S, b>(rows[r], rows[r + b],
                          typename lanes_below<S::n>::type());
    transpose<S, 2 * b>(rows);
  }
}

// What a single section's value becomes when the vector form blends it into
// a vector of sections: a broadcast adds it to +0, which turns -0 into +0
// (and nothing else). The batch form of the voices library does the same at
// the same places, so that both vector forms give the same bits.
template <class T> TW_INLINE T as_blended(T x) { return T{} + x; }

// x in lane `lane` of v, again without a round trip through memory.
template <class S>
TW_INLINE typename S::v with_lane(typename S::v v, int lane, float x) {
  typename S::i index;
  for (int k = 0; k < S::n; ++k)
    index[k] = k;
  typename S::i mask = index == lane;
#if defined(__x86_64__) && !defined(__clang__)
  // Keeps GCC from merging this blend with neighbouring shuffles into a
  // permutation it can only build lane by lane.
  __asm__("" : "+x"(mask));
#endif
  return S::pick(mask, S::splat(x), v);
}

// The oral tube's 25 sections fill whole vectors but for one section (four
// and eight lanes) or nine (sixteen). last_section takes the vector that ends
// at section 24 and gives the last partial vector, padded with zeros;
// ending_at_last_section gives, from the last two vectors, the one that ends
// at section 24, for a store that stays inside the caller's array.
static_assert(kOral % 4 == 1 && kOral % 8 == 1 && kOral % 16 == 9,
              "tail shuffles assume 25 oral sections");
// One section over: the neighbour shifts do it.
template <class S> TW_INLINE typename S::v last_section(typename S::v ending) {
  return previous_section<S>(ending, typename S::v{});
}
template <class S>
TW_INLINE typename S::v ending_at_last_section(typename S::v before,
                                               typename S::v last) {
  return next_section<S>(before, last);
}

#ifdef TRACTWAVE_WIDE_X86
// Nine sections over.
template <> TW_INLINE lanes16::v last_section<lanes16>(lanes16::v ending) {
  return TW_SHUFFLE(lanes16, ending, lanes16::v{}, 7, 8, 9, 10, 11, 12, 13, 14,
                    15, 16, 16, 16, 16, 16, 16, 16);
}
template <>
TW_INLINE lanes16::v ending_at_last_section<lanes16>(lanes16::v before,
                                                     lanes16::v last) {
  return TW_SHUFFLE(lanes16, before, last, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                    18, 19, 20, 21, 22, 23, 24);
}
#endif

// ---------------------------------------------------------------------------
// Vector form: the tube in whole vectors of sections

// Padding lanes start at zero and never feed a real section: waves in them
// only move away from the tube, and the junctions past the last section have
// a zero coefficient.
template <class S> struct vector_engine {
  typedef typename S::v V;
  static constexpr int n = S::n;
  static constexpr int oral_vecs = whole(kOral, n) / n;
  static constexpr int nasal_vecs = whole(kNasal, n) / n;
  static constexpr int oral_junction_vecs = whole(kOral - 1, n) / n;
  static constexpr int nasal_junction_vecs = whole(kNasal - 1, n) / n;

  struct waves {
    V R[oral_vecs], L[oral_vecs];
    V nasal_R[nasal_vecs], nasal_L[nasal_vecs];
  };

  // Reflection coefficients a vector of junctions at a time, straight from
  // the caller's diameters: lane j of vector q is the junction after section
  // q * n + j, and lanes past the last junction get 0.
  static TW_INLINE void coefficients(const float *d, int sections, float *K) {
    constexpr int vecs = whole(kOral, n) / n;
    V lo[vecs] = {};
    load_lanes(lo, d, sections);
    typename S::i lane;
    for (int k = 0; k < n; ++k)
      lane[k] = k;
    for (int q = 0; q < whole(sections - 1, n) / n; ++q) {
      const V hi = next_section<S>(lo[q], q + 1 < vecs ? lo[q + 1] : V{});
      const V r = reflection<S>(lo[q], hi);
      store<S>(K + q * n, S::pick(lane + q * n < sections - 1, r, V{}));
    }
  }

  // The scalar search's answer without a branch per section: lane-wise
  // minima, then the first section equal to the minimum, unless the tip's
  // section already holds it.
  static TW_INLINE int narrowest(const float *d, float &d_min) {
    typedef lanes4::v V4;
    constexpr float kInf = __builtin_inff();
    // The constriction range in whole fours, and the lips on their own.
    constexpr int fours = (kLips - kFirstConstriction + 1) / 4;
    static_assert(kFirstConstriction + 4 * fours == kLips,
                  "the constriction range is whole fours and the lips");
    V4 sections[fours + 1];
    for (int q = 0; q < fours; ++q)
      sections[q] = load<lanes4>(d + kFirstConstriction + 4 * q);
    sections[fours] = V4{d[kLips], kInf, kInf, kInf};
    V4 m = lanes4::splat(d[kTipSection]);
    for (const V4 &x : sections)
      m = lanes4::pick(x < m, x, m);
    float least = m[0];
    for (int k = 1; k < 4; ++k)
      least = m[k] < least ? m[k] : least;
    d_min = least;
    if (!(least < d[kTipSection]))
      return kTipSection;
    for (int k = kFirstConstriction; k < kOral; ++k)
      if (d[k] == least)
        return k;
    return kTipSection;
  }

  // Whole vectors, and the last partial one (the oral tube's 25th section)
  // by an overlapping access inside the caller's array, shifted between
  // registers, so that nothing is read or written past its end.
  static TW_INLINE void load_lanes(V *to, const float *from, int count) {
    for (int q = 0; q < count / n; ++q)
      to[q] = load<S>(from + q * n);
    if (count % n)
      to[count / n] = last_section<S>(load<S>(from + count - n));
  }

  static TW_INLINE void store_lanes(float *to, const V *from, int count) {
    for (int q = 0; q < count / n; ++q)
      store<S>(to + q * n, from[q]);
    if (count % n)
      store<S>(to + count - n,
               ending_at_last_section<S>(from[count / n - 1], from[count / n]));
  }

  // True when no section of w holds an infinity or NaN (see all_finite).
  static TW_INLINE bool finite(const waves &w) {
    V sum = {};
    for (int q = 0; q < oral_vecs; ++q)
      sum = sum + ((w.R[q] - w.R[q]) + (w.L[q] - w.L[q]));
    for (int q = 0; q < nasal_vecs; ++q)
      sum =
          sum + ((w.nasal_R[q] - w.nasal_R[q]) + (w.nasal_L[q] - w.nasal_L[q]));
    TW_ALIGN float lane_sums[n];
    store<S>(lane_sums, sum);
    return all_finite(lane_sums, n);
  }

  static TW_INLINE void load_waves(waves &w, const float *R, const float *L_,
                                   const float *nasal_R, const float *nasal_L) {
    load_lanes(w.R, R, kOral);
    load_lanes(w.L, L_, kOral);
    load_lanes(w.nasal_R, nasal_R, kNasal);
    load_lanes(w.nasal_L, nasal_L, kNasal);
  }

  static TW_INLINE void store_waves(const waves &w, float *R, float *L_,
                                    float *nasal_R, float *nasal_L) {
    store_lanes(R, w.R, kOral);
    store_lanes(L_, w.L, kOral);
    store_lanes(nasal_R, w.nasal_R, kNasal);
    store_lanes(nasal_L, w.nasal_L, kNasal);
  }

  static TW_INLINE float wrap(float x) { return wrap_unit(x); }

  // Whole vectors while they are full; a short block's tail in fours, so
  // that one sample does not pay for sixteen.
  static TW_INLINE void pulses(const float *phases, float *pulse, int m) {
    int i = 0;
    for (; i + n <= m; i += n)
      store<S>(pulse + i, glottal_pulse<S>(load<S>(phases + i)));
    for (; i < m; i += 4)
      store<lanes4>(pulse + i, glottal_pulse<lanes4>(load<lanes4>(phases + i)));
  }

  // Writes exactly m samples to the caller's buffer: whole vectors while they
  // fit, the last few through a local buffer.
  static TW_INLINE void saturate(const float *radiated, float *out, int m) {
    int i = 0;
    for (; i + n <= m; i += n)
      store<S>(out + i, saturation<S>(load<S>(radiated + i)));
    for (; i + 4 <= m; i += 4)
      store<lanes4>(out + i, saturation<lanes4>(load<lanes4>(radiated + i)));
    if (i < m) {
      TW_ALIGN float tail[4];
      store<lanes4>(tail, saturation<lanes4>(load<lanes4>(radiated + i)));
      copy_floats(out + i, tail, m - i);
    }
  }

  static TW_INLINE float lane_of(const V *v, int k) { return v[k / n][k % n]; }

  // The two-port junctions of one tube, a vector of junctions at a time: lane
  // j of vector q is the junction after section q * n + j, and its rightward
  // result lands one section further on. Section 0's rightward value comes
  // from outside (the glottis, or the velum for the nasal tube).
  template <int vecs, int junction_vecs>
  static TW_INLINE void scatter(const V *right, const V *left, const V *K,
                                float first, V *new_right, V *new_left) {
    const V zero = {};
    V moved[junction_vecs];
    TW_UNROLL
    for (int q = 0; q < junction_vecs; ++q) {
      const V after = q + 1 < vecs ? left[q + 1] : zero;
      scatter_junction(right[q], next_section<S>(left[q], after), K[q],
                       moved[q], new_left[q]);
    }
    TW_UNROLL
    for (int q = junction_vecs; q < vecs; ++q)
      new_left[q] = zero;
    new_right[0] = with_lane<S>(previous_section<S>(zero, moved[0]), 0, first);
    TW_UNROLL
    for (int q = 1; q < vecs; ++q) {
      const V here = q < junction_vecs ? moved[q] : zero;
      new_right[q] = previous_section<S>(moved[q - 1], here);
    }
  }

  // The plain form's sample, with the sections in lanes: the ends, the velum
  // junction and the turbulence work on single lanes, blended in.
  static TW_INLINE void sample(const tube_setup &t, end_filters &f, waves &w,
                               waves &raw, float glottis, float turbulence,
                               float &lips_out, float &nostrils_out) {
    const block_scalars &s = t.s;
    const V *K = reinterpret_cast<const V *>(t.K);
    const V *KN = reinterpret_cast<const V *>(t.KN);
    V new_R[oral_vecs], new_L[oral_vecs];
    scatter<oral_vecs, oral_junction_vecs>(
        w.R, w.L, K, w.L[0][0] * s.glottal_coeff + glottis, new_R, new_L);

    const float R24 = lane_of(w.R, kLips);
    const float lip = lip_reflection(s.lip_coeff, R24, f.lip_refl_filter);
    f.lip_refl_filter = lip;
    new_L[kLips / n] = with_lane<S>(new_L[kLips / n], kLips % n, lip);

    const float nasal_L0 = w.nasal_L[0][0];
    float new_R10, new_L9, nasal_in;
    velum_junction<lanes1>(s, lane_of(w.R, kVelumBelow),
                           lane_of(w.L, kVelumAbove), nasal_L0, new_R10, new_L9,
                           nasal_in);
    new_R[kVelumAbove / n] =
        with_lane<S>(new_R[kVelumAbove / n], kVelumAbove % n, new_R10);
    new_L[kVelumBelow / n] =
        with_lane<S>(new_L[kVelumBelow / n], kVelumBelow % n, new_L9);

    V new_NR[nasal_vecs], new_NL[nasal_vecs];
    scatter<nasal_vecs, nasal_junction_vecs>(w.nasal_R, w.nasal_L, KN, nasal_in,
                                             new_NR, new_NL);

    const float NR15 = lane_of(w.nasal_R, kNostrils);
    const float nostril =
        nostril_reflection(s.nostril_coeff, NR15, f.nasal_refl_filter);
    f.nasal_refl_filter = nostril;
    new_NL[kNostrils / n] =
        with_lane<S>(new_NL[kNostrils / n], kNostrils % n, nostril);

    if (turbulence != 0.0f && s.turbulent) {
      const float injected = turbulence * s.turbulence_weight;
      const int lane = s.constriction % n;
      TW_UNROLL
      for (int q = 0; q < oral_vecs; ++q) {
        if (q == s.constriction / n) {
          new_R[q] = with_lane<S>(new_R[q], lane, new_R[q][lane] + injected);
          new_L[q] = with_lane<S>(new_L[q], lane, new_L[q][lane] + injected);
        }
      }
    }

    lips_out = R24;
    nostrils_out = NR15;

    TW_UNROLL
    for (int q = 0; q < oral_vecs; ++q) {
      w.R[q] = smooth(new_R[q], raw.R[q]);
      raw.R[q] = new_R[q];
      w.L[q] = smooth(new_L[q], raw.L[q]);
      raw.L[q] = new_L[q];
    }
    TW_UNROLL
    for (int q = 0; q < nasal_vecs; ++q) {
      w.nasal_R[q] = smooth(new_NR[q], raw.nasal_R[q]);
      raw.nasal_R[q] = new_NR[q];
      w.nasal_L[q] = smooth(new_NL[q], raw.nasal_L[q]);
      raw.nasal_L[q] = new_NL[q];
    }
  }
};

} // namespace
#endif // TRACTWAVE_VECTOR

#endif // TRACTWAVE_ENGINE_VECTOR_H
