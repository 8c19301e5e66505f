"""Record files as users have them: large ones, whose lines are numbered without splitting them."""
import random

from tavotools.records.source import Source


def test_line_numbers_counted_from_the_bytes_are_those_of_the_lines():
    rng = random.Random(5)
    pieces = [b"a", b"1", b" ", b"\n", b"\r", b"\r\n", b"\x1a", b"\xef\xbb\xbf"]
    for _ in range(3000):
        data = b"".join(rng.choice(pieces) for _ in range(rng.randrange(12)))
        counted, split = Source("x", data), Source("x", data)
        split.lines  # noqa: B018 - splits the lines, the other way of numbering them
        for offset in range(-2, len(counted.data) + 3):
            assert counted.line_number(offset) == split.line_number(offset), (data, offset)
        assert "_split" not in counted.__dict__
