"""The JSON structure scanners against a byte-by-byte reference."""

import pytest
from hypothesis import given, settings, strategies as st

import nimbrel


def reference(data, state=0):
    """The plain scan: commas, openers, colons outside strings, and the state."""
    commas = openers = colons = 0
    state = state if state & 1 else 0
    for b in data:
        if state == 3:
            state = 1
        elif state == 1:
            state = 0 if b == 0x22 else 3 if b == 0x5C else 1
        elif b == 0x22:
            state = 1
        else:
            commas += b == 0x2C
            openers += b in (0x5B, 0x7B)
            colons += b == 0x3A
    return commas, openers, colons, state


# Texts rich in what the scan reacts to, with stretches long enough for the
# word-at-a-time search inside strings.
alphabet = st.sampled_from(['"', "\\", ",", ":", "[", "{", "]", "}", "a", " ", "é", "\u20ac", "x" * 9])
texts = st.lists(alphabet, max_size=120).map("".join)


@settings(max_examples=400, deadline=None)
@given(texts, st.lists(st.integers(0, 200), max_size=6), st.integers(0, 3))
def test_any_split_into_chunks_gives_the_counts_of_the_plain_scan(text, cuts, state):
    data = text.encode()
    assert nimbrel.scan_json_chunk(data, state) == reference(data, state)
    points = sorted({min(c, len(data)) for c in cuts})
    total, at, s = [0, 0, 0], 0, 0
    for end in points + [len(data)]:
        *counts, s = nimbrel.scan_json_chunk(data[at:end], s)
        total = [a + b for a, b in zip(total, counts)]
        at = end
    assert (*total, s) == reference(data)
    assert nimbrel.scan_json_text(text) == reference(data)[:3]


def test_strings_hide_structure_and_escapes_are_followed():
    assert nimbrel.scan_json_text('{"a": [1, 2], "b": "x,y:{"}') == (2, 2, 2)
    assert nimbrel.scan_json_text('["a\\",b", 1]') == (1, 1, 0)
    assert nimbrel.scan_json_chunk(b"", 3) == (0, 0, 0, 3)
    assert nimbrel.scan_json_chunk(b"", 2) == (0, 0, 0, 0)
    assert nimbrel.scan_json_chunk(b'"ab')[3] == 1
    assert nimbrel.scan_json_chunk(b'"ab\\')[3] == 3
    assert nimbrel.scan_json_chunk(b'"ab\\\\')[3] == 1
    assert nimbrel.scan_json_chunk(b'",x', 3) == (0, 0, 0, 1)  # the first byte is escaped
    # Each text of a batch starts outside a string.
    assert nimbrel.scan_json_texts(["{", '"a']) == (0, 1, 0)
    assert nimbrel.scan_json_texts(("{", ",")) == (1, 1, 0)
    assert nimbrel.scan_json_texts(t for t in ["[", ":"]) == (0, 1, 1)
    assert nimbrel.scan_json_texts([]) == (0, 0, 0)


@pytest.mark.parametrize("size", [16383, 16384, 1 << 20])
def test_large_inputs_released_from_the_interpreter_lock_count_alike(size):
    unit = '{"k": "a,b\\"", "n": [1, 2]},'
    text = (unit * (size // len(unit) + 1))[:size]
    want = reference(text.encode())
    assert nimbrel.scan_json_chunk(text.encode()) == want
    assert nimbrel.scan_json_text(text) == want[:3]
    assert nimbrel.scan_json_texts([text, text]) == tuple(2 * x for x in want[:3])


def test_bad_arguments_are_refused():
    for state in (4, -1):
        with pytest.raises(ValueError, match=r"^JSON scanner state must be in 0\.\.3$"):
            nimbrel.scan_json_chunk(b"", state)
    with pytest.raises(OverflowError):
        nimbrel.scan_json_chunk(b"", 2**64)
    for data in (bytearray(b"{"), memoryview(b"{"), "{"):
        with pytest.raises(TypeError, match="^argument 'data': "):
            nimbrel.scan_json_chunk(data)
    with pytest.raises(TypeError, match="^argument 'text': "):
        nimbrel.scan_json_text(b"{}")
    with pytest.raises(TypeError, match="^expected an iterable of JSON strings$"):
        nimbrel.scan_json_texts("{}")
    with pytest.raises(TypeError, match="cannot be converted to 'PyString'"):
        nimbrel.scan_json_texts(["{}", 3])
    with pytest.raises(TypeError):
        nimbrel.scan_json_texts(3)
