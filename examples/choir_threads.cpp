// Many voices on many cores: a host's own thread pool renders each 10 ms
// block of N voices on T threads, every thread a fixed slice of the voices.
// The voices library starts no thread and takes no lock; voices share
// nothing, so slices need no synchronisation beyond "block starts" and
// "block done". Each slice is whole groups of 16 (the widest batch the
// library runs in vector lanes) where the voices allow.
//
//   tractwave_choir_threads [VOICES [THREADS [SECONDS [POLL_US]]]]
//
// renders SECONDS of VOICES voices on 1 thread and on THREADS threads, checks
// that both give the same samples, and prints the wall-clock speed-up beside
// the processor time per voice-sample (which shows what the threads cost
// even where other programs hold the cores).
#include "tractwave_voices.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 480;
constexpr int kParameters = 10;
constexpr int kGroup = 16;

// The voices in one aligned block of memory, each with its own pitch and
// vowel, and room for one block of every voice's samples.
struct Choir {
  int count;
  void *memory;
  std::vector<void *> voices;
  std::vector<float> params, out;
  // Every voice's samples summed over the run, each voice by the thread
  // that renders it: the check that T threads give the samples of one, in
  // the parallel part, as a host would mix its slice on its own thread.
  std::vector<double> sums;

  explicit Choir(int n) : count(n) {
    const int size = tractwave_voice_size();
    memory = ::operator new(static_cast<size_t>(size) * n,
                            std::align_val_t(tractwave_voice_alignment()));
    for (int v = 0; v < n; ++v) {
      voices.push_back(static_cast<char *>(memory) + size_t(v) * size);
      tractwave_voice_init(voices.back());
      for (int k = 0; k < kParameters; ++k)
        params.push_back(0.5f);
      float *p = &params[size_t(v) * kParameters];
      p[0] = 0.1f + 0.6f * float(v % 13) / 13.0f; // pitch
      p[1] = 0.8f;                                // voicing
      p[3] = 0.2f + 0.6f * float(v % 7) / 7.0f;   // tongue body
      p[6] = 0.9f;                                // voice mix
      p[7] = 0.0f;                                // velum shut
    }
    out.resize(size_t(n) * kBlock);
    sums.assign(size_t(n), 0.0);
  }
  ~Choir() {
    ::operator delete(memory, std::align_val_t(tractwave_voice_alignment()));
  }

  // Voices first ... first + n - 1, each writing its own part of out.
  void render(int first, int n) {
    if (n <= 0)
      return;
    tractwave_voices_render(&voices[size_t(first)], n, kBlock,
                            &params[size_t(first) * kParameters],
                            &out[size_t(first) * kBlock], float(kRate));
    for (int v = first; v < first + n; ++v) {
      double sum = sums[size_t(v)];
      for (int i = 0; i < kBlock; ++i)
        sum += double(out[size_t(v) * kBlock + size_t(i)]);
      sums[size_t(v)] = sum;
    }
  }
};

// Waits until ready() holds: first by polling it for up to poll_time, then
// asleep on the condition variable. A sleeping thread takes tens of
// microseconds to wake (more in a virtual machine), which on a 10 ms block
// split into two slices of a few hundred microseconds is a large part of
// the slice; a thread that is still polling starts at once. Polling pays
// only where the threads have their cores to themselves: on cores that
// other programs share, it takes their time (POLL_US 0 always sleeps).
std::chrono::microseconds poll_time(200);
template <class Ready>
void wait_for(std::mutex &mutex, std::condition_variable &cv, Ready ready) {
  const auto until = std::chrono::steady_clock::now() + poll_time;
  for (int i = 0; !ready(); ++i)
    if ((i & 63) == 63 && std::chrono::steady_clock::now() > until) {
      std::unique_lock<std::mutex> lock(mutex);
      cv.wait(lock, ready);
      return;
    }
}

// T - 1 workers and the calling thread, each with its slice of the voices.
// The caller starts a block with run() and gets it back finished; a worker
// polls, then sleeps, between blocks.
class Pool {
public:
  Pool(Choir &choir, int threads) : choir_(choir) {
    int per_thread = (choir.count + threads - 1) / threads;
    per_thread = (per_thread + kGroup - 1) / kGroup * kGroup;
    for (int t = 0, first = 0; t < threads; ++t, first += per_thread) {
      const int end =
          first + per_thread < choir.count ? first + per_thread : choir.count;
      // A thread with no whole group left would only wait.
      if (first < end || t == 0)
        slices_.push_back({first < end ? first : end, end});
    }
    for (int t = 1; t < int(slices_.size()); ++t)
      workers_.emplace_back([this, t] { work(t); });
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    start_.notify_all();
    for (std::thread &w : workers_)
      w.join();
  }

  void run() {
    pending_ = int(workers_.size());
    {
      // Changed under the lock, so that a worker between its last look and
      // its sleep cannot miss it.
      std::lock_guard<std::mutex> lock(mutex_);
      ++block_;
    }
    start_.notify_all();
    render_slice(0);
    wait_for(mutex_, done_, [this] { return pending_ == 0; });
  }

private:
  struct Slice {
    int first, end;
  };

  void render_slice(int t) {
    choir_.render(slices_[size_t(t)].first,
                  slices_[size_t(t)].end - slices_[size_t(t)].first);
  }

  void work(int t) {
    long seen = 0;
    for (;;) {
      wait_for(mutex_, start_, [&] { return stopping_ || block_ != seen; });
      if (stopping_)
        return;
      seen = block_;
      render_slice(t);
      if (--pending_ == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_.notify_one();
      }
    }
  }

  Choir &choir_;
  std::vector<Slice> slices_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable start_, done_;
  std::atomic<long> block_{0};
  std::atomic<int> pending_{0};
  std::atomic<bool> stopping_{false};
};

// Seconds of wall-clock time for `blocks` blocks on `threads` threads, the
// best of three fresh choirs, and the process's processor time in that run;
// every voice's sum is added into checksum in the order of the voices.
double render_seconds(int voices, int threads, int blocks, double &checksum,
                      double &cpu_seconds) {
  double best = 1e30;
  for (int attempt = 0; attempt < 3; ++attempt) {
    Choir choir(voices);
    Pool pool(choir, threads);
    const std::clock_t cpu_start = std::clock();
    const auto start = std::chrono::steady_clock::now();
    for (int b = 0; b < blocks; ++b)
      pool.run();
    const std::chrono::duration<double> took =
        std::chrono::steady_clock::now() - start;
    if (took.count() < best) {
      best = took.count();
      cpu_seconds = double(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    }
    checksum = 0.0;
    for (double sum : choir.sums)
      checksum += sum;
  }
  return best;
}

int parse(const char *text, int low, int high, const char *what) {
  char *end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < low || value > high) {
    std::fprintf(stderr, "%s must be a whole number from %d to %d, not '%s'\n",
                 what, low, high, text);
    std::exit(2);
  }
  return int(value);
}

} // namespace

int main(int argc, char **argv) {
  const int voices = argc > 1 ? parse(argv[1], 1, 4096, "VOICES") : 32;
  const int threads = argc > 2 ? parse(argv[2], 1, 256, "THREADS") : 2;
  const int seconds = argc > 3 ? parse(argv[3], 1, 600, "SECONDS") : 1;
  if (argc > 4)
    poll_time = std::chrono::microseconds(parse(argv[4], 0, 10000, "POLL_US"));
  const int blocks = seconds * kRate / kBlock;

  double one_sum = 0.0, many_sum = 0.0, one_cpu = 0.0, many_cpu = 0.0;
  const double one = render_seconds(voices, 1, blocks, one_sum, one_cpu);
  const double many =
      render_seconds(voices, threads, blocks, many_sum, many_cpu);
  const double ns = 1e9 / (double(voices) * blocks * kBlock);
  std::printf("%d voices, %d s, ns per voice-sample: 1 thread %.1f, %d "
              "threads %.1f (%.2fx); processor time %.1f and %.1f\n",
              voices, seconds, one * ns, threads, many * ns, one / many,
              one_cpu * ns, many_cpu * ns);
  if (one_sum != many_sum) {
    std::fprintf(stderr, "the threads' samples differ from one thread's\n");
    return 1;
  }
  return 0;
}
