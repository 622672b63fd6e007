// The controls a speaker rendered its last sub-block with, the output
// stage's among them. Not part of the C API: the instrument plugin, which
// compiles the speech library in, sings each syllable of a lyric once on a
// speaker and replays these on its own voices through the same OutputStage,
// so that a sung consonant is coloured as the speaker colours it.
#pragma once

#include "articulate.h"

struct tractwave_speaker;

namespace tw::speech {

// The speaker's controls as tractwave_speaker_frame reports them; valid
// until its next render. speaker must not be NULL.
const Controls &speaker_controls(const tractwave_speaker *speaker);

} // namespace tw::speech
