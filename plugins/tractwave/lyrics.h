// A lyric as the instrument sings it: the text split into syllables, and
// for each syllable the tract's movements as the speech library sings it,
// ready to be replayed on a note.
//
// A live instrument cannot look ahead: a note's length is known only when
// its key comes up. So each syllable is sung once, when the lyric is set,
// by a speaker of the speech library on a note of a fixed length, and the
// engine controls of every sub-block it renders (tractwave_speaker_frame:
// the tract's geometry and the sources, and the controls of the speaker's
// output stage, which the instrument runs after each note's engine as the
// speaker does after its own) are kept in three parts: the onset
// (from the first sound to the vowel's steady state), the held vowel (one
// frame from its steady middle) and the coda (from the end of the vowel's
// steady state to silence). A note replays the onset from its note-on,
// holds the vowel while its key is down and replays the coda from its
// note-off, at its own pitch.
//
// Building allocates and takes milliseconds per syllable; it belongs to a
// thread that is not the audio thread. A built lyric is read-only.
#ifndef TRACTWAVE_LV2_LYRICS_H
#define TRACTWAVE_LV2_LYRICS_H

#include "tractwave.h"
#include "tractwave_voices.h"

#include <stdint.h>

namespace tw::speech {
struct OutputStage;
}

namespace tractwave_lv2 {

// The speaker's controls of one sub-block, less the pitch: what
// tractwave_voice_render_geometry takes, and what the speech library's
// output stage takes after it (its tw::speech::Controls fields of the same
// names; the colouring filter's kind as a number). Every field is a float,
// so that two frames crossfade field by field.
struct LyricFrame {
  float amp, mix, breathiness, velum, lip_coeff, nostril_coeff;
  float oral[TRACTWAVE_ORAL_SECTIONS];
  float nasal[TRACTWAVE_NASAL_SECTIONS];
  float formant[3], sharpen;
  float colour_amount, colour, colour_corner, colour_q;
  float murmur, voice_bar;
};

struct LyricSyllable {
  int onset, onset_frames; // first frame and count, in Lyric::frames
  int hold;                // the held vowel's frame
  int coda, coda_frames;
  // Brings the held vowel's peak over the octave up to middle C to 1 (the
  // instrument's own vowel is brought to its peak at middle C): a lyric's
  // vowels sound as loud as one another and as the instrument's own vowel.
  float gain;
  char text[24]; // its ARPAbet, for the window (cut short if longer)
};

struct Lyric {
  // The frames are the speaker's sub-blocks, this many a second.
  static constexpr float kFrameRate = 1000.0f;
  // Lyrics longer than this are cut at this many syllables.
  static constexpr int kMaxSyllables = 128;
  static constexpr int kMaxText = 2000;

  LyricFrame *frames = nullptr;
  int frame_count = 0;
  LyricSyllable *syllables = nullptr;
  int count = 0;

  // Builds the lyric of text: English words (spelled by the speech
  // library's letter-to-sound rule) or ARPAbet (every token a phoneme,
  // syllables split by the library, " - " and "|" as it writes them).
  // Returns nullptr when memory runs out; a text with no syllable (empty,
  // or not readable) gives a lyric of none.
  static Lyric *build(const char *text);
  static void destroy(Lyric *lyric);
};

// The speech library's output stage over n samples of a note's engine
// output with a frame's controls, as the speaker runs it after its engine:
// the voice bar at bar_step cycles a sample (the note's pitch over the
// rate), scaled by voicing (the note's pressure). The stage's corners are
// fractions of the rate, as the tract's formants are. Real-time safe.
void run_output_stage(tw::speech::OutputStage &stage, const LyricFrame &f,
                      float bar_step, float voicing, float *x, int n);

// The syllables Lyric::build would sing of text, as ARPAbet, for showing
// (the window's list). Allocates.
int lyric_syllable_count(const char *text);
bool lyric_syllable_text(const char *text, int index, char *out, int size);

} // namespace tractwave_lv2

#endif
