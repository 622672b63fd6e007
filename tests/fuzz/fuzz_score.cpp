// libFuzzer target over the score parser: every input is read both as JSON
// and as CSV. Either gives a score that keeps the rule's promises, or an
// Error whose message is one printable line; anything else (another
// exception, a crash, a sanitizer report) is a fault. For a score that
// plans, the interpolated vectors stay within the values' range and the
// first samples within -0.95 ... 0.95.
#include "score.h"

#include "fuzz_check.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace tw::render;

// One line, short, and nothing a terminal would obey: no C0 or C1 control
// character (the latter as UTF-8, C2 80 to C2 9F), no DEL.
void check_message(const std::string &m) {
  CHECK(m.rfind("fuzz", 0) == 0, "message without its origin: %s", m.c_str());
  CHECK(m.size() < 600, "message of %zu bytes", m.size());
  for (std::size_t i = 0; i < m.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(m[i]);
    CHECK(c >= 0x20 && c != 0x7F, "control byte %02x in: %s", c, m.c_str());
    const bool c1 = c == 0xC2 && i + 1 < m.size() &&
                    static_cast<unsigned char>(m[i + 1]) <= 0x9F;
    CHECK(!c1, "C1 control in: %s", m.c_str());
  }
}

void check_score(const Score &s) {
  CHECK(!s.keyframes.empty(), "no keyframes");
  double previous = 0.0;
  for (const Keyframe &k : s.keyframes) {
    CHECK(k.t >= 0.0 && k.t <= kMaxValue, "time %g", k.t);
    CHECK(k.t >= previous, "time %g after %g", k.t, previous);
    previous = k.t;
    for (double v : k.values)
      CHECK(std::fabs(v) <= kMaxValue, "value %g", v);
  }
  if (s.sample_rate)
    CHECK(*s.sample_rate >= kMinRate && *s.sample_rate <= kMaxRate, "rate %d",
          *s.sample_rate);
  if (s.block)
    CHECK(*s.block >= 1, "block %d", *s.block);

  Plan plan;
  try {
    plan = plan_rendering(s, "fuzz");
  } catch (const Error &e) {
    check_message(e.what());
    return;
  }
  CHECK(plan.total >= 1 && plan.total <= kMaxSamples, "length %lld",
        static_cast<long long>(plan.total));
  for (double t : {0.0, s.keyframes.front().t, s.keyframes.back().t,
                   0.5 * (s.keyframes.front().t + s.keyframes.back().t)})
    for (float v : params_at(s, t))
      CHECK(std::fabs(v) <= kMaxValue, "interpolated %g at %g", v, t);
  Renderer r(s, plan);
  float out[256];
  const int n = r.render(out, 256);
  for (int i = 0; i < n; ++i)
    CHECK(std::fabs(out[i]) <= 0.95f, "sample %d is %g", i, out[i]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  for (ScoreFormat format : {ScoreFormat::json, ScoreFormat::csv}) {
    try {
      check_score(parse_score(text, format, "fuzz"));
    } catch (const Error &e) {
      check_message(e.what());
    }
  }
  return 0;
}
