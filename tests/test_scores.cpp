// The shared score cases of tests/scores/cases.json, which the Python and
// browser tests run too: each score file through the parser and the
// renderer, and through tractwave-render as a user runs it.
#include "render_test.h"

#include <nlohmann/json.hpp>

namespace {

using namespace tw::render_test;
using nlohmann::json;
namespace tr = tw::render;

const fs::path kScores = TRACTWAVE_SCORES_DIR;

const json &cases() {
  static const json manifest = json::parse(slurp(kScores / "cases.json"));
  return manifest;
}

tr::Score load(const fs::path &path) {
  const auto format = tr::format_from_extension(path.string());
  if (!format)
    throw tr::Error(path.string() + ": neither .json nor .csv");
  return tr::parse_score(
      tr::read_score_file(path.string(), tr::kDefaultMaxScoreBytes), *format,
      path.string());
}

// The reasons a refused case lists, in the order the message gives them.
::testing::AssertionResult names_reason(const std::string &message,
                                        const json &reason) {
  std::size_t from = 0;
  for (const json &part : reason.is_array() ? reason : json::array({reason})) {
    const auto at = message.find(part.get<std::string>(), from);
    if (at == std::string::npos)
      return ::testing::AssertionFailure()
             << "\"" << message << "\" does not say \""
             << part.get<std::string>() << "\"";
    from = at + part.get<std::string>().size();
  }
  return ::testing::AssertionSuccess();
}

struct Block {
  std::int64_t start = 0;
  int n = 0;
  tr::ParamVector params{};
};

std::vector<Block> expected_blocks(const json &c) {
  std::vector<Block> blocks;
  for (const json &b : c["blocks"]) {
    Block block;
    block.start = b[0].get<std::int64_t>();
    block.n = b[1].get<int>();
    for (int i = 0; i < TRACTWAVE_NUM_PARAMETERS; ++i)
      block.params[i] = b[2 + i].get<float>();
    blocks.push_back(block);
  }
  return blocks;
}

// What a case's blocks sound like: one library call per block, from a new
// voice on a new thread.
std::vector<float> direct_calls(const std::vector<Block> &blocks, int rate,
                                std::int64_t total) {
  std::vector<float> out(static_cast<std::size_t>(total));
  tw::on_fresh_thread([&] {
    tw::Voice v;
    for (const Block &b : blocks)
      synthesize_waveguide_chunk_ex(
          b.n, b.params.data(), v.R.data(), v.L.data(), v.nasal_R.data(),
          v.nasal_L.data(), &v.phase, out.data() + b.start,
          static_cast<float>(rate));
  });
  return out;
}

void expect_known_answer(const std::vector<float> &out) {
  const json &known = cases()["known_answer"];
  const int silent = known["silent"].get<int>();
  for (int i = 0; i < silent; ++i)
    EXPECT_EQ(out.at(i), 0.0f) << "sample " << i;
  int i = silent;
  for (const json &value : known["samples"]) {
    EXPECT_TRUE(tw::near_rel(out.at(i), value.get<double>(),
                             known["sample_tolerance"].get<double>()))
        << "sample " << i;
    ++i;
  }
}

TEST(ScoreCases, TheSetIsComplete) {
  // Every file in the folders is a case, and every case has its file.
  std::set<std::string> listed, present;
  for (const char *kind : {"render", "refuse"}) {
    for (const json &c : cases()[kind])
      listed.insert(c["score"].get<std::string>());
    for (const auto &e : fs::directory_iterator(kScores / kind))
      present.insert(std::string(kind) + "/" + e.path().filename().string());
  }
  EXPECT_EQ(listed, present);
  EXPECT_GE(cases()["render"].size(), 10u);
  EXPECT_GE(cases()["refuse"].size(), 60u);
}

TEST(ScoreCases, EachRenderedScoreGivesItsBlocks) {
  for (const json &c : cases()["render"]) {
    const fs::path path = kScores / c["score"].get<std::string>();
    SCOPED_TRACE(path.string());
    tr::Score score;
    ASSERT_NO_THROW(score = load(path));
    const tr::Plan plan = tr::plan_rendering(score, path.string());
    EXPECT_EQ(plan.rate, c["rate"].get<int>());
    EXPECT_EQ(plan.block, c["block"].get<int>());
    ASSERT_EQ(plan.total, c["length"].get<std::int64_t>());

    const std::vector<Block> blocks = expected_blocks(c);
    std::int64_t start = 0;
    for (const Block &b : blocks) {
      EXPECT_EQ(b.start, start);
      EXPECT_EQ(b.n, std::min<std::int64_t>(plan.block, plan.total - start));
      const tr::ParamVector got =
          tr::params_at(score, static_cast<double>(b.start) / plan.rate);
      for (int i = 0; i < TRACTWAVE_NUM_PARAMETERS; ++i)
        EXPECT_EQ(got[i], b.params[i])
            << "block at " << b.start << ", " << tr::kParamNames[i];
      start += b.n;
    }
    EXPECT_EQ(start, plan.total);

    // The renderer gives exactly those calls' samples, in whatever pieces
    // its caller asks for.
    std::vector<float> rendered(static_cast<std::size_t>(plan.total));
    tw::on_fresh_thread([&] {
      tr::Renderer r(score, plan);
      while (!r.done())
        r.render(rendered.data() + r.position(), 37);
    });
    const std::vector<float> want = direct_calls(blocks, plan.rate, plan.total);
    EXPECT_TRUE(same_samples(rendered, want));
    for (float x : rendered)
      ASSERT_LE(std::fabs(x), 0.95f);
    if (c.value("known_answer", false))
      expect_known_answer(rendered);
  }
}

TEST(ScoreCases, EachRefusedScoreNamesItsFault) {
  for (const json &c : cases()["refuse"]) {
    const fs::path path = kScores / c["score"].get<std::string>();
    SCOPED_TRACE(path.string());
    try {
      const tr::Score score = load(path);
      tr::plan_rendering(score, path.string());
      ADD_FAILURE() << "accepted";
    } catch (const tr::Error &e) {
      EXPECT_TRUE(names_reason(e.what(), c["reason"]));
      EXPECT_EQ(std::string(e.what()).rfind(path.string() + ":", 0), 0u)
          << e.what();
    }
  }
}

// The same cases through the program: the samples in the file, or status 2
// and the message with nothing written.
TEST_F(Render, EachScoreCaseThroughTheProgram) {
  for (const json &c : cases()["render"]) {
    const fs::path path = kScores / c["score"].get<std::string>();
    SCOPED_TRACE(path.string());
    const Result r = run({path.string(), "-o", "out.wav", "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Wav w = read_wav(dir / "out.wav");
    EXPECT_EQ(w.info.samplerate, c["rate"].get<int>());
    EXPECT_TRUE(same_samples(
        w.samples, direct_calls(expected_blocks(c), c["rate"].get<int>(),
                                c["length"].get<std::int64_t>())));
    fs::remove(dir / "out.wav");
  }
  for (const json &c : cases()["refuse"]) {
    const fs::path path = kScores / c["score"].get<std::string>();
    SCOPED_TRACE(path.string());
    const Result r = run({path.string(), "-o", "out.wav"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(names_reason(r.err, c["reason"]));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(files().empty());
  }
}

} // namespace
