// The vowel shapes the speech library compiles in (src/speech/vowel_table.inc,
// written by tools/fit-vowels) against their targets: the engine's own
// resonances of each shape, from its impulse response at the rate the table
// was fitted for, within 5% of the formants it was fitted to, and those
// targets still the ones the data files give.
#include "resonances.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct VowelShape {
  const char *name, *source;
  float target_hz[3];
  float oral[25];
};
const VowelShape kShapes[] = {
#include "vowel_table.inc"
};

// (shape, source) -> F1-F3 from data/speech: the published means, or the
// targets the fit plan gives itself.
std::map<std::string, std::vector<double>> expected_targets() {
  std::map<std::string, std::vector<double>> means;
  std::ifstream formants(TW_SPEECH_DATA "/vowel_formants_adult_male.csv");
  std::string line;
  std::getline(formants, line);
  while (std::getline(formants, line)) {
    const auto f = tw::fit::split_csv(line);
    if (f.size() == 6)
      means[f[1] + "/" + f[2]] = {std::stod(f[3]), std::stod(f[4]),
                                  std::stod(f[5])};
  }
  std::map<std::string, std::vector<double>> targets;
  std::ifstream plan(TW_SPEECH_DATA "/fit_plan.csv");
  std::getline(plan, line);
  while (std::getline(plan, line)) {
    const auto f = tw::fit::split_csv(line);
    if (f.size() != 6)
      continue;
    const auto found = means.find(f[0] + "/" + f[2]);
    targets[f[0] + "/" + f[2]] =
        found != means.end()
            ? found->second
            : std::vector<double>{std::stod(f[3]), std::stod(f[4]),
                                  std::stod(f[5])};
  }
  return targets;
}

TEST(VowelTable, MatchesTheDataItWasFittedTo) {
  const auto targets = expected_targets();
  ASSERT_EQ(targets.size(), sizeof kShapes / sizeof kShapes[0]);
  for (const VowelShape &v : kShapes) {
    const auto found = targets.find(std::string(v.name) + "/" + v.source);
    ASSERT_NE(found, targets.end()) << v.name << " " << v.source;
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(v.target_hz[i], found->second[i]) << v.name << " F" << i + 1;
  }
}

TEST(VowelTable, EachShapeResonatesWithinFivePercentOfItsTargets) {
  for (const VowelShape &v : kShapes) {
    const std::vector<double> f = tw::fit::formants(v.oral, 48000.0f);
    ASSERT_EQ(f.size(), 3u) << v.name;
    for (int i = 0; i < 3; ++i)
      EXPECT_NEAR(f[i] / v.target_hz[i], 1.0, 0.05)
          << v.name << " F" << i + 1 << ": " << f[i] << " Hz against "
          << v.target_hz[i];
  }
}

TEST(VowelTable, TheMeasurementFindsAUniformTubesResonances) {
  // The engine's uniform tube at 48 kHz: odd quarter-wave resonances of a
  // tube about 21.4 cm long.
  std::vector<float> uniform(25, 2.0f);
  const std::vector<double> f = tw::fit::formants(uniform.data(), 48000.0f, 4);
  ASSERT_EQ(f.size(), 4u);
  const double expected[] = {400.0, 1201.0, 2002.0, 2803.0};
  for (int i = 0; i < 4; ++i)
    EXPECT_NEAR(f[i], expected[i], 5.0);
}

} // namespace
