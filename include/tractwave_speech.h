/*
 * tractwave speech: phonemes in, a talking vocal tract out.
 *
 * A speaker turns phonemes (ARPAbet as in the CMU pronouncing dictionary, or
 * IPA) into audio, block by block, by steering the tractwave engine's vocal
 * tract: for every phoneme it plans the shape of the tract (vowels from
 * shapes fitted to published formant measurements, consonants as
 * constrictions at their place of articulation), the velum, the sound
 * sources (voice, aspiration, frication, stop bursts) and the pitch, and
 * renders through tractwave_voice_render_geometry of the voices library in
 * sub-blocks of at most 64 samples.
 *
 * Text can be queued while the speaker talks, so a host can speak as its
 * text arrives. Queueing plans the phonemes and may allocate; rendering
 * allocates nothing, takes no lock, opens no file and never blocks.
 *
 * Threads: one thread may queue (tractwave_speaker_queue, _set_speed,
 * _set_pitch, _pending) while another renders (tractwave_speaker_render,
 * _frame); the two sides meet in a lock-free queue. Each side must be used by
 * one thread at a time. Create and destroy are not concurrent with anything.
 * Different speakers are independent.
 *
 * Conventions: strings are UTF-8 and NUL-terminated. Functions returning int
 * return TRACTWAVE_SPEECH_OK (0) or one of the negative error codes below;
 * nothing is ever printed. A NULL speaker is a bad argument, never a crash.
 */
#ifndef TRACTWAVE_SPEECH_H
#define TRACTWAVE_SPEECH_H

#define TRACTWAVE_SPEECH_VERSION_MAJOR 1
#define TRACTWAVE_SPEECH_VERSION_MINOR 0
#define TRACTWAVE_SPEECH_VERSION_PATCH 0

/*
 * TRACTWAVE_SPEECH_API marks the exported functions. Define
 * TRACTWAVE_SPEECH_STATIC when linking a static build;
 * TRACTWAVE_SPEECH_BUILDING is set only while the library itself is
 * compiled.
 */
#if defined(TRACTWAVE_SPEECH_STATIC)
#define TRACTWAVE_SPEECH_API
#elif defined(_WIN32) || defined(__CYGWIN__)
#if defined(TRACTWAVE_SPEECH_BUILDING)
#define TRACTWAVE_SPEECH_API __declspec(dllexport)
#else
#define TRACTWAVE_SPEECH_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) && __GNUC__ >= 4
#define TRACTWAVE_SPEECH_API __attribute__((visibility("default")))
#else
#define TRACTWAVE_SPEECH_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A speaker: the queue, the planner's memory and one voice of the engine. */
typedef struct tractwave_speaker tractwave_speaker;

/*
 * Voices. Each is a vocal tract length and a speaking pitch: the adult male
 * tract is the one the vowel shapes were fitted for; the female and child
 * tracts are 0.85 and 0.77 of its length (formants 1.17 and 1.3 times
 * higher, rendered by running the engine faster and resampling).
 *
 *   voice                          speaking pitch   engine rate
 *   TRACTWAVE_SPEECH_MALE          110 Hz           48000 Hz
 *   TRACTWAVE_SPEECH_FEMALE        200 Hz           56160 Hz
 *   TRACTWAVE_SPEECH_CHILD         240 Hz           62400 Hz
 */
#define TRACTWAVE_SPEECH_MALE 0
#define TRACTWAVE_SPEECH_FEMALE 1
#define TRACTWAVE_SPEECH_CHILD 2

/* Notations of queued text. */
#define TRACTWAVE_SPEECH_ARPABET 0
#define TRACTWAVE_SPEECH_IPA 1

/* Results. */
#define TRACTWAVE_SPEECH_OK 0
#define TRACTWAVE_SPEECH_BAD_ARGUMENT (-1)    /* NULL, out of range, NaN */
#define TRACTWAVE_SPEECH_UNKNOWN_PHONEME (-2) /* see _error_offset */
#define TRACTWAVE_SPEECH_QUEUE_FULL (-3)      /* render, then queue again */
#define TRACTWAVE_SPEECH_NO_MEMORY (-4)
#define TRACTWAVE_SPEECH_UNKNOWN_WORD (-5) /* not in the lexicon */
#define TRACTWAVE_SPEECH_MALFORMED (-6)    /* a dictionary line */
#define TRACTWAVE_SPEECH_TOO_LONG (-7)     /* more phones than the capacity */

/*
 * Makes a speaker, silent until text is queued.
 *
 * voice        TRACTWAVE_SPEECH_MALE, _FEMALE or _CHILD.
 * sample_rate  output samples per second, 8000 to 768000. The voice sounds
 *              the same at any rate (the engine runs at its own rate and is
 *              resampled when they differ; 48000 with the male voice renders
 *              the engine's samples directly).
 * capacity     the most phones queued and not yet spoken (a phoneme is one
 *              phone, a pause after punctuation another), 16 to 1048576;
 *              0 means 4096. Text that does not fit beside what is queued
 *              is refused whole (TRACTWAVE_SPEECH_QUEUE_FULL) and can be
 *              queued again once enough has been spoken; text that holds
 *              more phones than the capacity can never fit and is refused
 *              with TRACTWAVE_SPEECH_TOO_LONG (queue it in pieces).
 *
 * Returns NULL for a bad argument or when memory runs out. Allocates the
 * queue, the engine voice and the resampler; later calls allocate only
 * while queueing.
 */
TRACTWAVE_SPEECH_API tractwave_speaker *
tractwave_speaker_create(int voice, float sample_rate, int capacity);

/* Frees a speaker and everything it holds. NULL is ignored. */
TRACTWAVE_SPEECH_API void tractwave_speaker_destroy(tractwave_speaker *speaker);

/*
 * Speaking rate for text queued from now on: 1 is normal, 2 twice as fast,
 * 0.5 half as fast; 0.25 to 4. Text already queued keeps its timing.
 */
TRACTWAVE_SPEECH_API int tractwave_speaker_set_speed(tractwave_speaker *speaker,
                                                     float speed);

/*
 * Pitch for text queued from now on, as a multiple of the voice's speaking
 * pitch (1 is the voice's own); 0.25 to 4. The intonation keeps its shape.
 */
TRACTWAVE_SPEECH_API int tractwave_speaker_set_pitch(tractwave_speaker *speaker,
                                                     float factor);

/*
 * Queues text to be spoken after everything queued before it.
 *
 * text      phonemes in the given notation.
 *           ARPAbet: symbols separated by white space, in either case, the
 *           39 of the CMU dictionary (AA AE AH AO AW AY B CH D DH EH ER EY F
 *           G HH IH IY JH K L M N NG OW OY P R S SH T TH UH UW V W Y Z ZH),
 *           vowels with an optional stress digit (1 primary, 2 secondary,
 *           0 unstressed; no digit means stressed), and AX, AXR, IX, UX, DX,
 *           NX, EN, EM, EL, H, WH, Q (glottal stop) and SIL / PAU / SP
 *           (a pause). "|" ends a word.
 *           IPA: American English as espeak-ng --ipa writes it: stress marks
 *           ˈ ˌ before a vowel, diphthongs (eɪ aɪ aʊ ɔɪ oʊ), affricates (tʃ
 *           dʒ, tie bar optional), length and other diacritics ignored. White
 *           space ends a word; a word without stress marks gets its first
 *           full vowel stressed.
 *           Both: punctuation ends a phrase: , ; : a short pause with the
 *           pitch held up, . ! a pause after a final fall, ? a pause after a
 *           final rise. Text without a final punctuation mark leaves the
 *           phrase open for the next queued text.
 * notation  TRACTWAVE_SPEECH_ARPABET or TRACTWAVE_SPEECH_IPA.
 *
 * Text that holds no phoneme queues nothing and returns OK. A symbol that is
 * not a phoneme of the notation refuses the whole text:
 * TRACTWAVE_SPEECH_UNKNOWN_PHONEME, and tractwave_speaker_error_offset tells
 * where. Text of more phones than the speaker's capacity is refused whole
 * with TRACTWAVE_SPEECH_TOO_LONG, whatever is queued. Allocates working memory
 * for the call (about 100 bytes per byte of text) and frees it before
 * returning.
 */
TRACTWAVE_SPEECH_API int tractwave_speaker_queue(tractwave_speaker *speaker,
                                                 const char *text,
                                                 int notation);

/*
 * Byte offset into the text of the last refused tractwave_speaker_queue call
 * of the symbol that is not a phoneme; -1 when the last call succeeded.
 */
TRACTWAVE_SPEECH_API int
tractwave_speaker_error_offset(const tractwave_speaker *speaker);

/*
 * Renders the next n samples of the speaker's output into out: speech while
 * there is queued text, silence (exact zeros) otherwise. Samples are mono,
 * at the speaker's sample rate, within -0.95 ... 0.95; vowels have an RMS
 * level near -26 dBFS, /s/ 6 dB above, nasal murmurs 8 dB below.
 *
 * Returns how many of the n samples belong to speech: n while the speaker
 * talks, fewer when it falls silent within this call (the rest are silence
 * after the last phone's sound has died away), 0 when it was already silent;
 * a negative code for a bad argument (NULL speaker or out, n < 0), in which
 * case nothing is written.
 *
 * Real-time safe: no allocation, lock, system call or unbounded loop.
 */
TRACTWAVE_SPEECH_API int tractwave_speaker_render(tractwave_speaker *speaker,
                                                  float *out, int n);

/*
 * Phones queued and not yet finished speaking (0 when silent). Safe from the
 * queueing thread while another renders.
 */
TRACTWAVE_SPEECH_API int
tractwave_speaker_pending(const tractwave_speaker *speaker);

/*
 * The engine controls of the last sub-block rendered, for inspection and
 * research (tractwave-say --score writes them). frame receives
 * TRACTWAVE_SPEECH_FRAME_SIZE floats, at the TRACTWAVE_SPEECH_FRAME_*
 * offsets below:
 *
 *   [0]       time of the sub-block's start in seconds since creation
 *   [1]       serial number of the phone being spoken (counting every phone
 *             queued, from 0), -1 in silence
 *   [2]       its phoneme (an id for tractwave_speech_phoneme_name), -1 in
 *             silence
 *   [3..6]    f0 (Hz), amp, mix, breathiness: the source arguments of
 *             tractwave_voice_render_geometry
 *   [7..9]    velum, lip coefficient, nostril coefficient
 *   [10..34]  oral diameters, glottis to lips
 *   [35..50]  nasal diameters, velum to nostrils
 *   [51..53]  voicing, aspiration and frication before level compensation
 *
 * Returns OK, or a bad argument. Before the first render all zeros (time,
 * serial and phoneme -1 aside).
 */
#define TRACTWAVE_SPEECH_FRAME_SIZE 54
#define TRACTWAVE_SPEECH_FRAME_TIME 0
#define TRACTWAVE_SPEECH_FRAME_SERIAL 1
#define TRACTWAVE_SPEECH_FRAME_PHONEME 2
#define TRACTWAVE_SPEECH_FRAME_F0 3
#define TRACTWAVE_SPEECH_FRAME_AMP 4
#define TRACTWAVE_SPEECH_FRAME_MIX 5
#define TRACTWAVE_SPEECH_FRAME_BREATHINESS 6
#define TRACTWAVE_SPEECH_FRAME_VELUM 7
#define TRACTWAVE_SPEECH_FRAME_LIP_COEFF 8
#define TRACTWAVE_SPEECH_FRAME_NOSTRIL_COEFF 9
#define TRACTWAVE_SPEECH_FRAME_ORAL 10  /* TRACTWAVE_ORAL_SECTIONS floats */
#define TRACTWAVE_SPEECH_FRAME_NASAL 35 /* TRACTWAVE_NASAL_SECTIONS floats */
#define TRACTWAVE_SPEECH_FRAME_VOICING 51
#define TRACTWAVE_SPEECH_FRAME_ASPIRATION 52
#define TRACTWAVE_SPEECH_FRAME_FRICATION 53
TRACTWAVE_SPEECH_API int
tractwave_speaker_frame(const tractwave_speaker *speaker, float *frame);

/*
 * The ARPAbet name of a phoneme id of a frame ("AA" ... "ZH", "_" for a
 * pause), or NULL for an id that is none.
 */
TRACTWAVE_SPEECH_API const char *tractwave_speech_phoneme_name(int phoneme);

/*
 * Singing. A sung phrase is a list of notes, added one by one with
 * tractwave_speaker_add_note and queued together by tractwave_speaker_sing
 * to be sung after everything queued before it (speech or song), so that
 * phrases can be queued while the speaker sings. Singing follows the
 * practice of singers: a syllable's onset consonants come before its note's
 * start, so that the vowel lands on the beat; the vowel is stretched to
 * fill the note; coda consonants take their natural length at the note's
 * end (shortened alike with the next onset when the two do not fit); a
 * melisma holds the vowel across its notes; the voice glides from note to
 * note while it sounds (the portamento), a diphthong holds its first vowel
 * and glides to its second at the end, vibrato grows in after a delay into
 * each note, and a rest of 300 ms or more takes a breath before the next
 * onset. The speaker's rate (tractwave_speaker_set_speed) sets the
 * consonants' lengths; its pitch factor does not apply to notes.
 *
 * As for text, queueing plans and may allocate, and the render call
 * allocates nothing; the note and setting calls below belong to the
 * queueing thread.
 */

/*
 * Vibrato of notes queued from now on: rate in Hz (0 to 20; 0 none), depth in
 * cents either side of the note (0 to 200), delay in seconds after each
 * note's start before it grows in, over 200 ms (0 to 10). By default 5.5 Hz,
 * 40 cents, 0.25 s.
 */
TRACTWAVE_SPEECH_API int
tractwave_speaker_set_vibrato(tractwave_speaker *speaker, float rate,
                              float depth, float delay);

/*
 * The time, in seconds (0 to 1), of the glide from one note to the next
 * while the voice sounds between them, centred on the new note's start;
 * shortened to half of the shorter note. 0 steps; by default 0.06.
 */
TRACTWAVE_SPEECH_API int
tractwave_speaker_set_portamento(tractwave_speaker *speaker, float seconds);

/*
 * Adds a note to the phrase being built.
 *
 * start     seconds from the phrase's origin (0 to 86400), not before the
 *           end of the note added before it.
 * duration  seconds, 0.001 to 3600.
 * pitch     Hz, 20 to 4000 (tractwave_speech_note_hz gives a MIDI note's).
 * velocity  loudness, above 0 and up to 1: the level is velocity times the
 *           voice's full level (0.5 is 6 dB down).
 * syllable  phonemes in the notation, as for tractwave_speaker_queue (one
 *           syllable; a whole word sings its first vowel on the note and the
 *           rest as its coda), or "_" or "-" alone: a melisma, holding the
 *           vowel of the note before. Punctuation is ignored. The nucleus
 *           is the syllable's first vowel (else its first nasal, liquid,
 *           glide or fricative, which is held as a vowel would be).
 * notation  TRACTWAVE_SPEECH_ARPABET or TRACTWAVE_SPEECH_IPA.
 *
 * Returns OK; TRACTWAVE_SPEECH_UNKNOWN_PHONEME (tractwave_speaker_error_offset
 * gives the offset in the syllable); a bad argument for a value out of
 * range, a note that starts before the last one ends, a melisma first, or a
 * syllable with no phoneme; TRACTWAVE_SPEECH_TOO_LONG when the phrase would
 * hold more phones than the speaker's capacity. A refused note is not added
 * and the notes before it stay.
 */
TRACTWAVE_SPEECH_API int tractwave_speaker_add_note(tractwave_speaker *speaker,
                                                    float start, float duration,
                                                    float pitch, float velocity,
                                                    const char *syllable,
                                                    int notation);

/* Drops the notes added and not yet queued. */
TRACTWAVE_SPEECH_API int
tractwave_speaker_clear_notes(tractwave_speaker *speaker);

/*
 * Queues the phrase of the notes added since the last call and starts a new
 * one. Its origin is where everything queued before ends (or, when the
 * speaker is silent, just after the render position), later by as much as
 * the first note's onset consonants need before its start.
 *
 * origin  if not NULL, set to the time of the phrase's 0 on the speaker's
 *         clock (seconds since creation, as the frame's [0]), or -1 when
 *         nothing was queued.
 *
 * Returns OK (also with no notes added: nothing is queued), or
 * TRACTWAVE_SPEECH_QUEUE_FULL (the notes are kept: render, then call again)
 * or TRACTWAVE_SPEECH_NO_MEMORY.
 */
TRACTWAVE_SPEECH_API int tractwave_speaker_sing(tractwave_speaker *speaker,
                                                float *origin);

/*
 * The frequency in Hz of a MIDI note number (69 is A4, 440 Hz; a fraction
 * is cents / 100), or 0 outside -24 ... 151.
 */
TRACTWAVE_SPEECH_API float tractwave_speech_note_hz(float note);

/*
 * Splits the ARPAbet of a word into its syllables, for singing a word on
 * several notes: the phonemes with stress digits, syllables separated by
 * " - " ("D EY1 Z IY0" gives "D EY1 - Z IY0"). Consonants between two vowels
 * begin the second syllable as far as English allows a syllable to begin
 * ("AH0 S T R EY1 L Y AH0" gives "AH0 - S T R EY1 L - Y AH0"); a word end "|"
 * ends a syllable. Returns the length the full result needs, as
 * tractwave_lexicon_transcribe does, or TRACTWAVE_SPEECH_UNKNOWN_PHONEME with
 * *error_offset (if not NULL) at the symbol.
 */
TRACTWAVE_SPEECH_API int tractwave_speech_syllables(const char *arpabet,
                                                    char *out, int size,
                                                    int *error_offset);

/*
 * Lexicon: English words to ARPAbet, from a pronouncing dictionary in the
 * CMU format (Debian's pocketsphinx-en-us ships one as
 * /usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict). The library opens
 * no file: the host reads the dictionary and passes its text in. Lookups
 * ignore ASCII case. A lexicon is used by one thread at a time. Entries
 * given without any stress digits (Debian's copy has none) are stressed by
 * a rule learned from a stressed copy of the same dictionary, from the
 * word's spelling and its vowels.
 */
typedef struct tractwave_lexicon tractwave_lexicon;

/* An empty lexicon, or NULL when memory runs out. */
TRACTWAVE_SPEECH_API tractwave_lexicon *tractwave_lexicon_create(void);

/* Frees a lexicon. NULL is ignored. */
TRACTWAVE_SPEECH_API void tractwave_lexicon_destroy(tractwave_lexicon *lexicon);

/* Number of words held. */
TRACTWAVE_SPEECH_API int
tractwave_lexicon_count(const tractwave_lexicon *lexicon);

/*
 * Adds the entries of a dictionary's text: one entry a line, a word, white
 * space, then its ARPAbet phonemes ("hello HH AH0 L OW1"). Empty lines,
 * lines starting with ";;;" and everything after a "#" are ignored; of a
 * word's pronunciations ("word", "word(2)", ...) and of words already held,
 * the first is kept.
 *
 * text    length bytes (need not be NUL-terminated).
 * length  0 or more.
 * line    if not NULL, set to 0, or to the 1-based number of the line at
 *         fault.
 *
 * Returns OK, or TRACTWAVE_SPEECH_MALFORMED for a line with no phonemes, a
 * symbol that is not an ARPAbet phoneme, or a NUL byte (the entries before
 * that line stay added), or TRACTWAVE_SPEECH_NO_MEMORY.
 */
TRACTWAVE_SPEECH_API int tractwave_lexicon_load(tractwave_lexicon *lexicon,
                                                const char *text, int length,
                                                int *line);

/*
 * Adds one word and its ARPAbet pronunciation (unless the word is held
 * already). Returns OK, TRACTWAVE_SPEECH_MALFORMED for a pronunciation that
 * is not ARPAbet phonemes, a bad argument for a word that is empty or holds
 * white space, or TRACTWAVE_SPEECH_NO_MEMORY.
 */
TRACTWAVE_SPEECH_API int tractwave_lexicon_add(tractwave_lexicon *lexicon,
                                               const char *word,
                                               const char *arpabet);

/*
 * Transcribes English text into ARPAbet for tractwave_speaker_queue: each
 * word's pronunciation, words separated by "|", the punctuation , ; : . ! ?
 * kept. Words are runs of letters, apostrophes and non-ASCII characters;
 * everything else separates them. Apostrophes around a word that is only
 * known without them are dropped.
 *
 * Numbers are read as words: "42" forty two, "1,250" one thousand two
 * hundred fifty, "3.14" three point one four, "21st" twenty first, four
 * digits from 1100 to 1999 and 2010 to 2099 as years ("1984" nineteen eighty
 * four), numbers of more than 15 digits or with a leading zero digit by
 * digit; "$5" five dollars; the symbols & % + = @ as and, percent, plus,
 * equals, at; Mr Mrs Ms Dr Prof Jr Sr vs etc as the words they stand for,
 * their full stop ending no sentence. The lexicon's pronunciation of those
 * words is used when it has one, else the library's own.
 *
 * A word the lexicon lacks is refused (TRACTWAVE_SPEECH_UNKNOWN_WORD, the
 * word given by word_offset and word_length), unless the lexicon spells
 * (tractwave_lexicon_set_letters): then it is spoken as
 * tractwave_speech_spell reads it.
 *
 * out, size   the NUL-terminated result, truncated to size bytes (size 0
 *             and out NULL only measure).
 * word_offset, word_length  if not NULL, set to the byte offset and length
 *             of the first word the lexicon lacks (else -1 and 0).
 *
 * Returns the length the full result needs (not counting the NUL: a value
 * of size or more means out was too small), TRACTWAVE_SPEECH_UNKNOWN_WORD
 * (nothing useful in out), or a bad argument.
 */
TRACTWAVE_SPEECH_API int
tractwave_lexicon_transcribe(const tractwave_lexicon *lexicon, const char *text,
                             char *out, int size, int *word_offset,
                             int *word_length);

/*
 * Whether tractwave_lexicon_transcribe spells the words the lexicon lacks by
 * the letter-to-sound rule (on nonzero) instead of refusing them. Off when a
 * lexicon is made, so that a host can first try a better source of its own
 * (a larger dictionary, another synthesiser) for each unknown word. Returns
 * OK or a bad argument (NULL lexicon).
 */
TRACTWAVE_SPEECH_API int
tractwave_lexicon_set_letters(tractwave_lexicon *lexicon, int on);

/*
 * ARPAbet for one English word by the library's own letter-to-sound rule,
 * with stress digits: "tractwave" gives "T R AE1 K T W EY2 V". The rule is
 * learned from the CMU dictionary (docs/speech.md gives its accuracy on
 * words it was not learned from: about three in five words come out exactly
 * as the dictionary has them). Letters a-z in either case and apostrophes
 * are read, other bytes skipped; two to five capitals with no vowel letter
 * ("BBC") are spelled out. No dictionary is consulted.
 *
 * Returns the length the full result needs, as tractwave_lexicon_transcribe
 * does, TRACTWAVE_SPEECH_UNKNOWN_WORD when the word holds no letter (or more
 * than 64), or a bad argument.
 */
TRACTWAVE_SPEECH_API int tractwave_speech_spell(const char *word, char *out,
                                                int size);

/*
 * Rewrites IPA (as tractwave_speaker_queue reads it) as ARPAbet with stress
 * digits, word ends as "|" and phrase ends as "," "." "?". Returns the
 * length the full result needs, as tractwave_lexicon_transcribe does, or
 * TRACTWAVE_SPEECH_UNKNOWN_PHONEME with *error_offset (if not NULL) at the
 * symbol.
 */
TRACTWAVE_SPEECH_API int tractwave_speech_ipa_to_arpabet(const char *ipa,
                                                         char *out, int size,
                                                         int *error_offset);

/* A short English description of a result code ("queue full"). */
TRACTWAVE_SPEECH_API const char *tractwave_speech_result_text(int result);

#ifdef __cplusplus
}
#endif

#endif /* TRACTWAVE_SPEECH_H */
