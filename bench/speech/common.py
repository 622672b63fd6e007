"""Shared by the speech judges: rendering tractwave and espeak-ng the same
way, 16 kHz conversion, dither, WAV files and pocketsphinx."""

import os
import subprocess
import sys
import tempfile
import wave

try:
    import numpy as np
    from scipy.signal import resample_poly
except ImportError:
    # The judges need Debian's numpy and scipy (the speech stage installs
    # them); a python3 earlier on PATH may lack them, so run under Debian's.
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != \
            os.path.realpath("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "python"))


def use_build(build):
    """Points the tractwave package at the libraries of a build folder."""
    build = os.path.abspath(build)
    os.environ.setdefault("TRACTWAVE_LIBRARY", os.path.join(build, "libtractwave.so.1"))
    os.environ.setdefault("TRACTWAVE_SPEECH_LIBRARY",
                          os.path.join(build, "libtractwave_speech.so.1"))


DICTIONARY = "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict"
MODEL = "/usr/share/pocketsphinx/model/en-us/en-us"

# Six renditions of a word: three pitch contours (the punctuation that ends
# it: a statement's fall, a question's rise, a continuation's level ending)
# at two speaking rates. espeak-ng gets the same punctuation and the same
# rates in words per minute around its default of 175.
CONTOURS = (".", "?", ",")
TEMPOS = (150.0 / 175.0, 200.0 / 175.0)


def renditions():
    """(contour, tempo, pitch) of the six renditions of the judge."""
    return [(c, t, 1.0) for c in CONTOURS for t in TEMPOS]


def wide_renditions():
    """Eighteen renditions, for comparing versions with less noise."""
    return [(c, t, p) for c in CONTOURS for t in (0.8, 1.0, 1.25) for p in (0.9, 1.1)]


def tractwave_render(phonemes, contour, tempo, pitch=1.0, voice="male"):
    """(samples, rate) of our speech for ARPAbet phonemes."""
    import tractwave
    y = tractwave.say(phonemes=f"{phonemes} {contour}", speed=tempo, pitch=pitch, voice=voice)
    return y.astype(np.float64), 48000


def espeak_render(word, contour, tempo, pitch=1.0):
    # espeak-ng's pitch is 0 to 99 around a default of 50.
    with tempfile.NamedTemporaryFile(suffix=".wav") as f:
        subprocess.run(["espeak-ng", "-v", "en-us", "-s", str(round(175 * tempo)),
                        "-p", str(round(50 * pitch)), "-w", f.name, "--", word + contour],
                       check=True)
        with wave.open(f.name) as w:
            rate = w.getframerate()
            y = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2") / 32768.0
    return y, rate


def to_16k(y, rate):
    from math import gcd
    g = gcd(int(rate), 16000)
    return resample_poly(y, 16000 // g, int(rate) // g)


def prepare(y, rate, seed, pad=0.3, peak_dbfs=-3.0):
    """16 kHz, silence around, peak at -3 dBFS, then 16-bit with +-1 LSB
    triangular dither (the same treatment for every system)."""
    y = to_16k(np.asarray(y, dtype=np.float64), rate)
    y = np.concatenate([np.zeros(int(pad * 16000)), y, np.zeros(int(pad * 16000))])
    peak = np.abs(y).max()
    if peak > 0:
        y = y * (10 ** (peak_dbfs / 20) / peak)
    rng = np.random.default_rng(seed)
    dither = rng.random(len(y)) - rng.random(len(y))  # triangular, +-1 LSB
    return np.clip(np.round(y * 32767 + dither), -32768, 32767).astype("<i2")


def write_wav(path, samples16, rate=16000):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples16.tobytes())


def grammar_file(words, folder, name="words.gram"):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write("#JSGF V1.0;\ngrammar words;\npublic <word> = "
                + " | ".join(words) + ";\n")
    return path


def recognise(wav, grammar, with_score=False, dictionary=DICTIONARY):
    """pocketsphinx_continuous's answer for one file ('' for none), and with
    with_score its path score (log likelihood, None without an answer)."""
    with tempfile.NamedTemporaryFile(suffix=".log") as log:
        out = subprocess.run(
            ["pocketsphinx_continuous", "-infile", wav, "-jsgf", grammar, "-dict", dictionary,
             "-hmm", MODEL, "-logfn", log.name if with_score else os.devnull]
            + (["-backtrace", "yes"] if with_score else []),
            capture_output=True, text=True, check=False)
        score = None
        if with_score:
            # The acoustic scores of the backtrace's entries (silences
            # included), summed: the language model's part left out, so that
            # decodes with different grammars compare.
            in_table = False
            for line in open(log.name, errors="replace"):
                fields = line.split()
                if fields[:5] == ["word", "start", "end", "pprob", "ascr"]:
                    in_table, score = True, 0
                elif in_table and len(fields) == 7 and fields[4].lstrip("-").isdigit():
                    score += int(fields[4])
                else:
                    in_table = False
    lines = [l.strip() for l in out.stdout.splitlines() if l.strip()]
    answer = lines[-1] if lines else ""
    return (answer, score) if with_score else answer


# The systems of the judges below: our three voices and the peers, every
# one spoken from the text (ours through the library's lexicon, as
# tractwave-say does for a user) and put through the same treatment.
SYSTEMS = ("tractwave-male", "tractwave-female", "tractwave-child", "espeak-ng",
           "flite-kal16", "flite-slt", "festival")
PEERS = SYSTEMS[3:]


def say_tool(build):
    """tractwave-say of a build folder (its libraries come with it)."""
    path = os.path.join(os.path.abspath(build), "tools", "say", "tractwave-say")
    if not os.access(path, os.X_OK):
        sys.exit(f"no tractwave-say in {build} (build the tractwave-say target)")
    return path


class Job:
    """One utterance to render: a system, its text, a speed (1 is each
    system's own default rate), for words our dictionary lacks the ARPAbet
    to speak instead of the text, and the seed of its dither."""

    def __init__(self, system, text, tempo, path, phonemes=None, seed=0):
        self.system, self.text, self.tempo, self.path = system, text, tempo, path
        self.phonemes, self.seed = phonemes, seed


def _render_one(say, job):
    if job.system.startswith("tractwave-"):
        args = [say, "-q", "-o", job.path, "--voice", job.system.split("-", 1)[1],
                "--speed", f"{job.tempo:.4f}"]
        if job.phonemes:
            last = job.text.rstrip()[-1]
            args += ["--phonemes", job.phonemes + (f" {last}" if last in ".?!," else "")]
        else:
            args += ["--", job.text]
    elif job.system == "espeak-ng":
        args = ["espeak-ng", "-v", "en-us", "-s", str(round(175 * job.tempo)), "-w", job.path,
                "--", job.text]
    elif job.system.startswith("flite-"):
        args = ["flite", "-voice", job.system.split("-", 1)[1], "--setf",
                f"duration_stretch={1 / job.tempo:.4f}", "-t", job.text, "-o", job.path]
    else:
        raise ValueError(job.system)
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


def _festival_quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _render_festival(jobs):
    """Festival starts slowly (seconds), so one process speaks a whole list:
    text2wave's voice (kal diphone), its duration stretch set per job."""
    lines = []
    for job in jobs:
        lines.append(f"(Parameter.set 'Duration_Stretch {1 / job.tempo:.4f})")
        lines.append(f"(utt.save.wave (utt.synth (Utterance Text {_festival_quote(job.text)})) "
                     f"{_festival_quote(job.path)} 'riff)")
    with tempfile.NamedTemporaryFile("w", suffix=".scm", delete=False) as f:
        f.write("\n".join(lines) + "\n")
    try:
        subprocess.run(["festival", "-b", "(voice_kal_diphone)", f.name], check=True,
                       stdout=subprocess.DEVNULL)
    finally:
        os.unlink(f.name)
    missing = [j.path for j in jobs if not os.path.exists(j.path)]
    if missing:
        raise RuntimeError(f"festival wrote no {missing[0]}")


def render_all(jobs, build, processes=2):
    """Renders every job to its path, over `processes` at once."""
    from concurrent.futures import ThreadPoolExecutor
    say = say_tool(build) if any(j.system.startswith("tractwave-") for j in jobs) else None
    festival = [j for j in jobs if j.system == "festival"]
    others = [j for j in jobs if j.system != "festival"]
    with ThreadPoolExecutor(processes) as pool:
        # Festival's list in as many pieces as there are processes.
        pieces = [festival[i::processes] for i in range(processes)]
        futures = [pool.submit(_render_festival, p) for p in pieces if p]
        list(pool.map(lambda j: _render_one(say, j), others))
        for f in futures:
            f.result()


def sox_16k(path):
    """The file at 16 kHz as floats, by plain `sox -R` (its default rate
    conversion, no dither)."""
    out = subprocess.run(["sox", "-R", path, "-t", "f32", "-c", "1", "-r", "16000", "-"],
                         capture_output=True, check=True)
    return np.frombuffer(out.stdout, dtype="<f4").astype(np.float64)


# The two conditions every utterance is judged in: plain rounding to 16
# bits, and +-1 LSB triangular dither with a fixed seed.
CONDITIONS = ("plain", "dithered")


def treat(y, seed=None, pad=0.3, peak_dbfs=-3.0):
    """16 kHz samples to the judge's 16-bit samples: silence around, the
    peak at -3 dBFS, then rounded, with +-1 LSB triangular dither when a
    seed is given."""
    y = np.concatenate([np.zeros(int(pad * 16000)), y, np.zeros(int(pad * 16000))])
    peak = np.abs(y).max()
    if peak > 0:
        y = y * (10 ** (peak_dbfs / 20) / peak)
    y = y * 32767
    if seed is not None:
        rng = np.random.default_rng(seed)
        y = y + (rng.random(len(y)) - rng.random(len(y)))
    return np.clip(np.round(y), -32768, 32767).astype("<i2")


def dictionary_subset(words, path, extra=None):
    """A pronouncing dictionary for the recogniser holding only `words`
    (every variant Debian's copy has) and `extra` {word: ARPAbet}; loading it
    takes a fraction of the full one's time. Returns the words found in
    neither."""
    wanted = {w.lower() for w in words}
    lines = []
    with open(DICTIONARY, encoding="utf-8", errors="replace") as f:
        for line in f:
            head = line.split(" ", 1)[0]
            if head.split("(", 1)[0] in wanted:
                lines.append(line.rstrip("\n"))
    found = {l.split(" ", 1)[0].split("(", 1)[0] for l in lines}
    for word, arpabet in (extra or {}).items():
        if word not in found:
            lines.append(f"{word} {arpabet}")
            found.add(word)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return sorted(wanted - found)


def decode_batch(wavs, folder, dictionary, grammar=None, lm=None):
    """pocketsphinx_batch over 16 kHz 16-bit WAV files in one process,
    with a JSGF grammar or a language model; returns each file's words
    ('' for none). Cepstral means per utterance (-cmn batch), so that every
    file's answer is independent of the files decoded before it."""
    import uuid
    tag = uuid.uuid4().hex[:8]
    ctl = os.path.join(folder, f"ctl-{tag}")
    hyp = os.path.join(folder, f"hyp-{tag}")
    # A control file's line is the file without its extension; the
    # utterance is named by the file's base name, so those must differ.
    names = [os.path.splitext(os.path.basename(w))[0] for w in wavs]
    if len(set(names)) != len(names):
        raise ValueError("decode_batch: two files of the same name")
    with open(ctl, "w") as f:
        for wav in wavs:
            f.write(os.path.splitext(os.path.abspath(wav))[0] + "\n")
    args = ["pocketsphinx_batch", "-adcin", "yes", "-adchdr", "44", "-cepext", ".wav",
            "-ctl", ctl, "-hyp", hyp, "-dict", dictionary, "-hmm", MODEL, "-cmn", "batch",
            "-logfn", os.devnull]
    args += ["-jsgf", grammar] if grammar else ["-lm", lm or MODEL + ".lm.bin"]
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    answers = {}
    with open(hyp) as f:
        for line in f:
            text, _, tail = line.rstrip().rpartition("(")
            answers[os.path.basename(tail.split()[0])] = " ".join(w for w in text.split() if w != "(null)")
    os.unlink(ctl)
    os.unlink(hyp)
    missing = [n for n in names if n not in answers]
    if missing:
        raise RuntimeError(f"pocketsphinx_batch gave no line for {missing[0]}")
    return [answers[n] for n in names]


def judge_files(jobs, build, folder, processes=2):
    """Renders the jobs and writes each in both conditions, as
    `<job path without .wav>-plain.wav` and `-dithered.wav`, the dither's
    seed being the job's `seed`. Returns {job path: {condition: file}}."""
    from concurrent.futures import ThreadPoolExecutor
    render_all(jobs, build, processes)

    def convert(job):
        y = sox_16k(job.path)
        if len(y) == 0 or not np.any(y):
            raise RuntimeError(f"{job.system} gave silence for {job.text!r}")
        base = os.path.splitext(job.path)[0]
        files = {}
        for condition in CONDITIONS:
            files[condition] = f"{base}-{condition}.wav"
            write_wav(files[condition], treat(y, job.seed if condition == "dithered" else None))
        return files

    with ThreadPoolExecutor(processes) as pool:
        return dict(zip([j.path for j in jobs], pool.map(convert, jobs)))


def choose(groups, dictionary, folder, processes=2):
    """Forced choice: `groups` is a list of (words, files); each file is
    decoded by pocketsphinx_continuous (as the digit judge does) against a
    JSGF grammar of its group's words. With a dictionary of only the judged
    words a decode takes a few tens of milliseconds. Returns {file: answer}
    ('' for none)."""
    import hashlib
    from concurrent.futures import ThreadPoolExecutor
    tasks = []
    for words, files in groups:
        name = hashlib.sha1(" ".join(words).encode()).hexdigest()[:12]
        grammar = grammar_file(words, folder, f"g-{name}.gram")
        tasks += [(f, grammar) for f in files]
    with ThreadPoolExecutor(processes) as pool:
        answers = pool.map(lambda t: recognise(t[0], t[1], dictionary=dictionary), tasks)
        return dict(zip([t[0] for t in tasks], answers))
