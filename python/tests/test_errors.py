"""Bad input and bad arguments raise the documented exceptions, never crash."""

import io
import pickle

import pytest

import lzw
from conftest import sample

FREEZE, EVICT, RESET = lzw.Policy
DAMAGE_CODES = set(range(-15, -6)) | set(range(-26, -19))


def raises_lzw(call, *codes):
    with pytest.raises(lzw.LzwError) as caught:
        call()
    error = caught.value
    assert error.name.startswith("LZW_ERROR_") and error.name in str(error)
    # An OSError, as gzip's and bz2's errors are, though no system call failed.
    assert isinstance(error, OSError) and error.errno is None
    assert not codes or error.code in codes, error
    return error


def test_damaged_and_truncated_raw_streams(rng):
    data = sample(rng, 100_000)
    for policy in lzw.Policy:
        packed = lzw.compress(data, policy)
        for cut in (0, 3, len(packed) // 2, len(packed) - 1):
            raises_lzw(lambda: lzw.decompress(packed[:cut], policy), -7, -9)
        raises_lzw(lambda: lzw.decompress(packed + b"\0\0", policy), -15)
        raises_lzw(lambda: lzw.decompress(b"\xfe\xff\xff\xff", policy), -8)
        # A header no codes of its length can give: refused before room is made for it.
        raises_lzw(lambda: lzw.decompress(b"\x7f\xff\xff\xff\x00\x10\x00", policy), -9)
        error = raises_lzw(lambda: lzw.decompress(packed, policy, max_length=len(data) - 1), -16)
        assert pickle.loads(pickle.dumps(error)).code == error.code
        assert lzw.decompress(packed, policy, max_length=len(data)) == data
    raises_lzw(lambda: lzw.decompress(packed), -26)  # a raw stream needs its policy


def test_damaged_and_truncated_frames(rng):
    data = sample(rng, 200_000)
    framed = lzw.compress(data, EVICT, frame=True, block_size=lzw.BLOCK_MIN)
    compressor = lzw.Compressor(EVICT, block_size=lzw.BLOCK_MIN)
    streamed = compressor.compress(data) + compressor.flush()  # no size in its header
    for packed in (framed, streamed):
        for cut in (5, lzw.frame_info(packed).header_size, len(packed) // 2, len(packed) - 1):
            raises_lzw(lambda: lzw.decompress(packed[:cut]))
            with pytest.raises(lzw.LzwError), lzw.open(io.BytesIO(packed[:cut])) as f:
                f.read()
        raises_lzw(lambda: lzw.decompress(packed + packed, max_length=len(data) * 2 - 1), -16)
        assert lzw.decompress(packed + packed, max_length=len(data) * 2) == data + data
        raises_lzw(lambda: lzw.decompress(packed + b"junk"), -15)
    bare = len(lzw.compress(data, EVICT, frame=True, block_size=lzw.BLOCK_MIN, seek_table=False))
    for at in rng.sample(range(bare), 40):  # any byte of the frame flipped is caught
        damaged = bytearray(framed)
        damaged[at] ^= 1 << rng.randrange(8)
        raises_lzw(lambda: lzw.decompress(damaged), *DAMAGE_CODES)
    # The seek table is only for readers, which check it; decoders pass over it.
    for at in rng.sample(range(bare + 8, len(framed)), 10):
        damaged = bytearray(framed)
        damaged[at] ^= 1 << rng.randrange(8)
        assert lzw.decompress(damaged) == data
        with lzw.open(io.BytesIO(damaged)) as f:
            assert f.read() == data
    with pytest.raises(lzw.LzwError) as caught, lzw.open(io.BytesIO(framed + b"junk")) as f:
        f.read()
    assert caught.value.code == -15
    raises_lzw(lambda: lzw.decompress(framed, max_length=len(data) - 1), -16)  # from its header
    raises_lzw(lambda: lzw.frame_info(framed[:5]), -9)

    skippable = b"\x8aLZW" + (4).to_bytes(4, "little") + b"note"
    raises_lzw(lambda: lzw.Decompressor().decompress(skippable + b"junk"), -15)  # as decompress()
    raises_lzw(lambda: lzw.decompress(skippable + b"junk"), -15)
    decompressor = lzw.Decompressor()
    assert decompressor.decompress(skippable) == b"" and not decompressor.eof
    assert decompressor.decompress(framed) == data
    with pytest.raises(EOFError):
        decompressor.decompress(b"more")
    compressor = lzw.Compressor(FREEZE)
    compressor.flush()
    with pytest.raises(ValueError):
        compressor.compress(b"late")


BIG = b"\xab" * 100_000  # data no message may repeat


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: lzw.compress("text", FREEZE), TypeError),
        (lambda: lzw.compress(BIG, "c2"), TypeError),
        (lambda: lzw.compress(BIG, FREEZE, frame=True, threads=257), ValueError),
        (lambda: lzw.Compressor(FREEZE, threads=257), ValueError),
        (lambda: lzw.compress(BIG, FREEZE, frame="yes", block_size=1.5), TypeError),
        (lambda: lzw.compress(BIG), TypeError),
        (lambda: lzw.decompress(BIG, FREEZE, 5), TypeError),
        (lambda: lzw.Context().decompress(BIG, level=3), TypeError),
        (lambda: lzw.Decompressor().decompress(BIG, "1"), TypeError),
        (lambda: lzw.Compressor(EVICT).compress(BIG, 1), TypeError),
        (lambda: lzw.compress(None, FREEZE), TypeError),
        (lambda: lzw.compress([1, 2], FREEZE), TypeError),
        (lambda: lzw.compress(b"", 0), ValueError),
        (lambda: lzw.compress(b"", 4), ValueError),
        (lambda: lzw.compress(b"", 1.0), TypeError),
        (lambda: lzw.compress(b"", "FREEZE"), TypeError),
        (lambda: lzw.compress(b"", FREEZE, frame=True, block_size=1023), ValueError),
        (lambda: lzw.compress(b"", FREEZE, frame=True, block_size=(1 << 30) + 1), ValueError),
        (lambda: lzw.compress(b"", FREEZE, frame=True, threads=-1), ValueError),
        (lambda: lzw.compress(BIG, FREEZE, True), TypeError),  # frame is keyword-only
        (lambda: lzw.decompress(b"", 9), ValueError),
        (lambda: lzw.decompress(b"", FREEZE, max_length="1"), TypeError),
        (lambda: lzw.Compressor(RESET, block_size=0), ValueError),
        (lambda: lzw.Decompressor().decompress(12), TypeError),
        (lambda: lzw.Context().compress(memoryview(b"abcd")[::2], FREEZE), BufferError),
        (lambda: lzw.open(io.BytesIO(), "wb", frame=False), ValueError),  # raw: needs a policy
        (lambda: lzw.open(io.BytesIO(), "rw"), ValueError),
        (lambda: lzw.open(io.BytesIO(), "rb", encoding="utf-8"), ValueError),
        (lambda: lzw.open(3.5), TypeError),
    ],
)
def test_wrong_arguments(call, error):
    with pytest.raises(error) as caught:
        call()
    assert len(str(caught.value)) < 200, caught.value
