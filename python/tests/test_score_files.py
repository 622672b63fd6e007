"""Reading score files: what load_score and parse_score add to the rule the
shared cases check (sizes, folders, formats, what a message may show)."""

import numpy as np
import pytest

import tractwave as tw

SCORE = '{"sample_rate": 16000, "block": 32, "keyframes": [{"t": 0, "voicing": 0.8}, {"t": 0.01}]}'


def test_a_file_gives_the_arguments_of_render_score(tmp_path):
    (tmp_path / "s.json").write_text(SCORE)
    (tmp_path / "s.csv").write_text("t,voicing\n0,0.8\n0.01,\n")
    score = tw.load_score(tmp_path / "s.json")
    assert score == {"keyframes": [{"t": 0.0, "voicing": 0.8}, {"t": 0.01}],
                     "sample_rate": 16000, "block": 32}
    assert tw.render_score(**score).shape == (160,)
    # CSV has no rate or block: the defaults.
    assert tw.load_score(tmp_path / "s.csv") == {
        "keyframes": [{"t": 0.0, "voicing": 0.8}, {"t": 0.01}],
        "sample_rate": 48000, "block": 64}


def test_text_and_bytes_read_alike():
    as_text = tw.parse_score(SCORE)
    assert tw.parse_score(SCORE.encode()) == as_text
    assert tw.parse_score(b"\xef\xbb\xbf" + SCORE.encode()) == as_text
    assert tw.parse_score("t\n0.5\n", format="csv")["keyframes"] == [{"t": 0.5}]


@pytest.mark.parametrize("text, message", [
    ('{"keyframes": [{"t": 1,\n "pitch": 0.5, "pitch": 0.6}]}', 'duplicate key "pitch"'),
    ('{"keyframes": [{"t": 1, "x": ' + "[" * 100000 + "]" * 100000 + "}]}",
     "nested too deeply"),
    ('{"keyframes": [{"t": 1}]}\n\n}', r"s.json:3: not valid JSON"),
    (b'{"keyframes": [{"t": 1}]}\n\xff', r"s.json:2: not valid UTF-8 \(byte 26\)"),
    ('{"keyframes": [{"t": 1, "pitch": "' + "x" * 3000000 + '"}]}',
     'must be a number, not "x{40}\\.\\.\\."$'),
])
def test_faults_of_the_text_itself(text, message):
    with pytest.raises(tw.ScoreError, match=message) as caught:
        tw.parse_score(text, name="s.json")
    assert len(str(caught.value)) < 400


def test_the_file_size_is_capped(tmp_path):
    path = tmp_path / "big.json"
    path.write_text(SCORE + " " * (1000 - len(SCORE)))
    # Exactly the limit is read; a byte less is too little.
    assert tw.load_score(path, max_size=1000)["block"] == 32
    with pytest.raises(tw.ScoreError, match="big.json: the score is larger than 999 bytes"):
        tw.load_score(path, max_size=999)


def test_endless_input_is_cut_off():
    with pytest.raises(tw.ScoreError, match="larger than 4096 bytes"):
        tw.load_score("/dev/zero", format="json", max_size=4096)


def test_folders_and_unknown_formats_are_refused(tmp_path):
    (tmp_path / "d.json").mkdir()
    with pytest.raises(tw.ScoreError, match="d.json: is a directory"):
        tw.load_score(tmp_path / "d.json")
    (tmp_path / "s.txt").write_text(SCORE)
    with pytest.raises(tw.ScoreError, match="cannot tell the score's format"):
        tw.load_score(tmp_path / "s.txt")
    assert tw.load_score(tmp_path / "s.txt", format="json")["sample_rate"] == 16000
    with pytest.raises(ValueError, match="format must be"):
        tw.parse_score(SCORE, format="yaml")


def test_what_a_message_quotes_cannot_drive_a_terminal():
    for text in ('{"keyframes": [{"t": 1, "\\u001b]0;title\\u0007": 1}]}',
                 "t,pitch\u009b31m\n0,1\n"):
        with pytest.raises(tw.ScoreError) as caught:
            tw.parse_score(text, format="csv" if text.startswith("t,") else "json")
        message = str(caught.value)
        assert not any(ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F for c in message), message
        assert "\\u00" in message


def test_a_read_score_renders_as_a_written_one(fresh_thread):
    keyframes = [{"t": 0.0, "pitch": 0.3, "voicing": 0.8}, {"t": 0.02, "pitch": 0.6}]
    text = '{"keyframes": [{"t": 0.0, "pitch": 0.3, "voicing": 0.8}, {"t": 0.02, "pitch": 0.6}]}'
    np.testing.assert_array_equal(fresh_thread(tw.render_score, **tw.parse_score(text)),
                                  fresh_thread(tw.render_score, keyframes))
