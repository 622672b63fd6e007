// The speech library's render call is real-time safe: once text is queued,
// rendering (resampled or not, in blocks of any size, while another thread
// queues more) calls no allocator and no mutex function. The allocator and
// the mutex functions are interposed in this program (rt_interpose.c), with
// counters per thread.
#include "rt_interpose.h"
#include "tractwave_speech.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(SpeechRealtime, RenderingCallsNoAllocatorAndNoLock) {
  for (int voice : {TRACTWAVE_SPEECH_MALE, TRACTWAVE_SPEECH_FEMALE}) {
    for (float rate : {48000.0f, 44100.0f}) {
      tractwave_speaker *s = tractwave_speaker_create(voice, rate, 256);
      ASSERT_NE(s, nullptr);
      ASSERT_EQ(tractwave_speaker_queue(
                    s,
                    "S IH1 K S | M AY1 N Z | AA1 N | DH AH0 | T EY1 B AH0 L ?",
                    TRACTWAVE_SPEECH_ARPABET),
                0);
      std::vector<float> out(4096);
      float frame[TRACTWAVE_SPEECH_FRAME_SIZE];
      rt_reset();
      rt_count(1);
      int total = 0;
      for (int n : {1, 64, 480, 4096, 7, 333})
        for (int i = 0; i < 20; ++i) {
          total += tractwave_speaker_render(s, out.data(), n);
          tractwave_speaker_frame(s, frame);
          tractwave_speaker_pending(s);
        }
      // On into silence, where the engine stops running.
      for (int i = 0; i < 50; ++i)
        tractwave_speaker_render(s, out.data(), 4096);
      rt_count(0);
      const rt_calls calls = rt_calls_so_far();
      EXPECT_EQ(calls.allocator, 0) << voice << " " << rate;
      EXPECT_EQ(calls.mutex, 0) << voice << " " << rate;
      EXPECT_GT(total, 0);
      tractwave_speaker_destroy(s);
    }
  }
}

TEST(SpeechRealtime, SingingCallsNoAllocatorAndNoLock) {
  tractwave_speaker *s = tractwave_speaker_create(1, 44100.0f, 256);
  ASSERT_NE(s, nullptr);
  const char *syllables[] = {"D EY1", "_", "Z IY0", "G IH1 V", "M IY1"};
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(tractwave_speaker_add_note(s, 0.3f * i + (i == 4 ? 0.5f : 0.0f),
                                         0.3f, 220.0f + 20.0f * i, 0.8f,
                                         syllables[i], 0),
              0);
  ASSERT_EQ(tractwave_speaker_sing(s, nullptr), 0);
  std::vector<float> out(4096);
  rt_reset();
  rt_count(1);
  int total = 0;
  for (int n : {1, 64, 480, 4096, 7})
    for (int i = 0; i < 20; ++i)
      total += tractwave_speaker_render(s, out.data(), n);
  rt_count(0);
  const rt_calls calls = rt_calls_so_far();
  EXPECT_EQ(calls.allocator, 0);
  EXPECT_EQ(calls.mutex, 0);
  EXPECT_GT(total, 0);
  tractwave_speaker_destroy(s);
}

TEST(SpeechRealtime, QueueingOnAnotherThreadLeavesTheRenderThreadClean) {
  tractwave_speaker *s = tractwave_speaker_create(0, 48000.0f, 128);
  ASSERT_NE(s, nullptr);
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    while (!stop)
      if (tractwave_speaker_queue(s, "W AH1 N | T UW1 ,", 0) ==
          TRACTWAVE_SPEECH_QUEUE_FULL)
        std::this_thread::yield();
  });
  std::vector<float> out(480);
  rt_reset();
  rt_count(1);
  for (int i = 0; i < 2000; ++i)
    tractwave_speaker_render(s, out.data(), 480);
  rt_count(0);
  stop = true;
  producer.join();
  const rt_calls calls = rt_calls_so_far();
  EXPECT_EQ(calls.allocator, 0);
  EXPECT_EQ(calls.mutex, 0);
  tractwave_speaker_destroy(s);
}

} // namespace
