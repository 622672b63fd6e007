// The window's picture of the tract crosses from the audio thread to the
// window's through TractView: a reader must never see half of one write and
// half of another, however the two threads interleave.
#include "tract_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using tractwave_lv2::TractPicture;
using tractwave_lv2::TractView;

TractPicture picture_of(uint32_t k) {
  TractPicture p;
  for (float &d : p.oral)
    d = static_cast<float>(k);
  for (float &d : p.nasal)
    d = static_cast<float>(k);
  p.velum = static_cast<float>(k);
  p.notes = static_cast<int>(k);
  p.blocks = k;
  return p;
}

bool whole(const TractPicture &p) {
  const float k = static_cast<float>(p.blocks);
  for (float d : p.oral)
    if (d != k)
      return false;
  for (float d : p.nasal)
    if (d != k)
      return false;
  return p.velum == k && p.notes == static_cast<int>(p.blocks);
}

TEST(Picture, NothingIsReadBeforeTheFirstWrite) {
  TractView view;
  TractPicture p;
  EXPECT_FALSE(view.read(p));
  view.publish(picture_of(7));
  ASSERT_TRUE(view.read(p));
  EXPECT_EQ(p.blocks, 7u);
  EXPECT_TRUE(whole(p));
}

TEST(Picture, AReaderNeverSeesHalfOfAWrite) {
  TractView view;
  view.publish(picture_of(1));
  std::atomic<bool> done{false};
  std::atomic<long> reads{0};
  // The writer goes on until the reader has read while it wrote: on a busy
  // machine the reader's thread may start only after a fixed count of writes.
  std::thread writer([&] {
    for (uint32_t k = 2; k < 40000000 && (k < 400000 || reads < 1000); ++k)
      view.publish(picture_of(k));
    done = true;
  });
  long torn = 0;
  uint32_t last = 0;
  bool backwards = false;
  while (!done) {
    TractPicture p;
    if (!view.read(p))
      continue;
    ++reads;
    torn += !whole(p);
    backwards = backwards || p.blocks < last;
    last = p.blocks;
  }
  writer.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(torn, 0) << "of " << reads.load() << " reads";
  EXPECT_FALSE(backwards);
}

} // namespace
