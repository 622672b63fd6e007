// The platform: which form runs on this processor (one dispatcher for every
// library), and the floating-point mode a block runs in.
#ifndef TRACTWAVE_ENGINE_PLATFORM_H
#define TRACTWAVE_ENGINE_PLATFORM_H

#include "vector.h"

namespace {

// ---------------------------------------------------------------------------
// Platform: the instruction set, chosen at run time

// What a thread (or a voice) knows about the processor, found on its first
// block.
enum : uint32_t { kIsaUnknown = 0, kIsaBase, kIsaAvx2, kIsaAvx512 };

#ifndef TRACTWAVE_MAX_LANES
#define TRACTWAVE_MAX_LANES 16
#endif

#ifdef TRACTWAVE_WIDE_X86
uint32_t detect_isa() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d))
    return kIsaBase;
  const bool osxsave = c & (1u << 27), avx = c & (1u << 28);
  if (!osxsave || !avx)
    return kIsaBase;
  uint32_t xcr0, xcr0_high;
  __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  if ((xcr0 & 0x6) != 0x6 || !__get_cpuid_count(7, 0, &a, &b, &c, &d))
    return kIsaBase;
  // Opmask and both halves of the 512-bit registers saved by the system.
  if ((b & (1u << 16)) && (xcr0 & 0xE0) == 0xE0)
    return kIsaAvx512;
  return (b & (1u << 5)) ? kIsaAvx2 : kIsaBase;
}

// The instruction set found on the first call and kept by the caller (a
// thread or a voice): finding it takes microseconds under some hypervisors.
inline uint32_t known_isa(uint32_t &isa) {
  if (isa == kIsaUnknown)
    isa = detect_isa();
  return isa;
}

// The wide forms, each compiled for its instruction set: everything a job
// runs is inlined into these, so its vectors live in that set's registers.
template <class Job>
__attribute__((target("avx2"), noinline)) void on_avx2(const Job &job) {
  job.template run<lanes8>();
}

template <class Job>
__attribute__((target("avx512f"), noinline)) void on_avx512(const Job &job) {
  job.template run<lanes16>();
}
#endif

// The one dispatcher: runs job.run<S>() with the widest lane set S this
// processor offers (and the build allows): lanes16 or lanes8 where x86-64
// has them, lanes4 wherever there are vector extensions, and lanes1 (the
// plain form) elsewhere. isa is the caller's cache of known_isa.
template <class Job> TW_INLINE void on_widest(uint32_t &isa, const Job &job) {
#ifdef TRACTWAVE_WIDE_X86
  known_isa(isa);
  if (isa == kIsaAvx512 && TRACTWAVE_MAX_LANES >= 16)
    return on_avx512(job);
  if (isa >= kIsaAvx2 && TRACTWAVE_MAX_LANES >= 8)
    return on_avx2(job);
#endif
  (void)isa;
#ifdef TRACTWAVE_VECTOR
  job.template run<lanes4>();
#else
  job.template run<lanes1>();
#endif
}

// The form of the per-voice engine over lane set S.
template <class S> struct engine_form;
template <> struct engine_form<lanes1> { typedef plain_engine type; };
#ifdef TRACTWAVE_VECTOR
template <int N, class V, class I, class U>
struct engine_form<lane_set<N, V, I, U>> {
  typedef vector_engine<lane_set<N, V, I, U>> type;
};
#endif

// One block of one voice, as a dispatcher's job.
struct block_job {
  engine_record &record;
  int n;
  const block_controls &c;
  const voice_arrays &v;
  float *out;
  template <class S> TW_INLINE void run() const {
    run_block_with<typename engine_form<S>::type>(record, n, c, v, out);
  }
};

__attribute__((noinline)) void
run_block_widest(engine_record &record, uint32_t &isa, int n,
                 const block_controls &c, const voice_arrays &v, float *out) {
  on_widest(isa, block_job{record, n, c, v, out});
}

// ---------------------------------------------------------------------------
// Platform: floating-point mode

// Subnormal numbers are flushed to zero for the duration of a block: a voice
// that falls silent would otherwise decay into subnormals and stay there (the
// smallest one times 0.994 rounds back to itself), costing some processors
// many times the normal time per operation and never reaching zero. The
// caller's mode is restored on return; exception flags raised meanwhile are
// kept, as any other function would leave them.
struct fp_mode {
#if defined(__SSE__)
  unsigned int saved;
  void enter() {
    saved = __builtin_ia32_stmxcsr();
    __builtin_ia32_ldmxcsr(saved |
                           0x8040u); // flush to zero, denormals are zero
  }
  void leave() {
    __builtin_ia32_ldmxcsr(saved | (__builtin_ia32_stmxcsr() & 0x3Fu));
  }
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
  uint64_t saved;
  void enter() {
    __asm__ volatile("mrs %0, fpcr" : "=r"(saved));
    if (!(saved & (1u << 24)))
      __asm__ volatile("msr fpcr, %0" : : "r"(saved | (1u << 24)));
  }
  void leave() {
    if (!(saved & (1u << 24)))
      __asm__ volatile("msr fpcr, %0" : : "r"(saved));
  }
#else
  void enter() {}
  void leave() {}
#endif
};

void run_block(engine_record &record, uint32_t &isa, int n,
               const block_controls &c, const voice_arrays &v, float *out) {
  fp_mode mode;
  mode.enter();
  run_block_widest(record, isa, n, c, v, out);
  mode.leave();
}

} // namespace

#endif // TRACTWAVE_ENGINE_PLATFORM_H
