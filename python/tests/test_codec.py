"""The bytes the binding writes against the C library's and the program's, and round trips
through the one-shot calls, Context, Compressor and Decompressor."""

import concurrent.futures
import ctypes
import io
import mmap

import pytest

import lzw
from conftest import POLICIES, sample

# Empty, one byte, around a dictionary's filling, a few blocks of the smallest size.
SIZES = [0, 1, 5000, 300_000]


@pytest.mark.parametrize("policy", POLICIES)
def test_raw_bytes_are_the_programs_and_the_librarys(policy, rng, clib, program):
    clib.lib.lzw_version.restype = ctypes.c_char_p
    assert lzw.__version__ == clib.lib.lzw_version().decode()
    for size in SIZES + [rng.randrange(2_000_000)]:
        data = sample(rng, size)
        packed = lzw.compress(data, policy)
        assert packed == clib.compress(data, policy) == program(f"c{policy}", data), size
        assert lzw.Context().compress(data, policy) == packed
        assert lzw.decompress(packed, policy) == data
        assert program(f"d{policy}", packed) == data


@pytest.mark.parametrize("policy", POLICIES)
def test_frame_bytes_are_the_librarys_and_the_programs(policy, rng, clib, program):
    for size in SIZES + [rng.randrange(3_000_000)]:
        data = sample(rng, size)
        for block in (lzw.BLOCK_MIN, lzw.BLOCK_DEFAULT):
            # In memory the size is known and recorded; streamed, as the program and a
            # Compressor write, it is not.
            framed = lzw.compress(data, policy, frame=True, block_size=block)
            assert framed == clib.frame_compress(data, policy, block, size), (size, block)
            assert lzw.compress(data, policy, frame=True, block_size=block, threads=0) == framed
            threads = lzw.Context().compress(
                data, policy, frame=True, block_size=block, threads=256
            )
            assert threads == framed
            info = lzw.frame_info(framed)
            assert (info.policy, info.content_size, info.block_size) == (policy, size, block)
            streamed = feed_compressor(data, policy, 1 << 16, block)
            assert streamed == program(f"c{policy}", data, "-F", f"-B{block}")
            assert streamed == clib.frame_compress(data, policy, block, -1)
            assert lzw.frame_info(streamed).content_size is None
            for packed in (framed, streamed):
                assert lzw.decompress(packed) == lzw.decompress(packed, policy) == data
                assert program(f"d{policy}", packed) == data


def test_frames_concatenate_and_every_input_type_is_read(rng):
    parts = [sample(rng, rng.randrange(50_000)) for _ in range(3)]
    joined = b"".join(lzw.compress(p, policy, frame=True) for p, policy in zip(parts, POLICIES))
    skippable = b"\x8aLZW" + (5).to_bytes(4, "little") + b"notes"  # any reader passes it by
    joined = joined + skippable
    info = lzw.frame_info(skippable)
    assert info.skippable and (info.header_size, info.skippable_size) == (8, 5)
    with lzw.open(io.BytesIO(skippable + joined)) as f:
        assert f.read() == b"".join(parts)
    with mmap.mmap(-1, len(joined)) as mapped:
        mapped[:] = joined
        for view in (joined, bytearray(joined), memoryview(joined), mapped):
            assert lzw.decompress(view) == b"".join(parts)
            assert lzw.Context().decompress(view, max_length=len(b"".join(parts))) == b"".join(
                parts
            )


def feed_compressor(data, policy, piece, block_size, seek_table=True):
    compressor = lzw.Compressor(policy, block_size=block_size, seek_table=seek_table)
    out = [compressor.compress(memoryview(data)[i : i + piece]) for i in range(0, len(data), piece)]
    return b"".join(out) + compressor.flush()


def feed_decompressor(data, piece, max_length):
    """Decodes the frame at the start of `data`, fed `piece` bytes at a time and drawn
    `max_length` at a time; returns its bytes and those after it."""
    decompressor, out, pos = lzw.Decompressor(), [], 0
    while not decompressor.eof:
        chunk = data[pos : pos + piece]
        assert chunk, "the frame never ended"
        pos += len(chunk)
        while True:
            got = decompressor.decompress(chunk, max_length)
            assert max_length < 0 or len(got) <= max_length
            out.append(got)
            chunk = b""
            if decompressor.eof or decompressor.needs_input:
                break
    assert not decompressor.needs_input
    return b"".join(out), decompressor.unused_data + data[pos:]


@pytest.mark.parametrize("piece", [1, 4093, 1 << 16, 1 << 20])
@pytest.mark.parametrize("policy", POLICIES)
def test_objects_fed_in_pieces(policy, piece, rng):
    # One-byte pieces make a million calls a megabyte: those inputs stay small.
    data = sample(rng, rng.randrange(min(piece * 30_000, 3_000_000)))
    framed = feed_compressor(data, policy, piece, lzw.BLOCK_MIN)
    # The frame's bytes do not depend on how the input was cut.
    assert framed == feed_compressor(data, policy, len(data) or 1, lzw.BLOCK_MIN)
    assert lzw.decompress(framed) == data
    max_length = rng.choice([-1, 1, 1000, 1 << 20])
    trailing = b"next"
    # Skippable frames before the frame are passed by, as decompress() passes them; the
    # frame's seek table follows it, apart.
    skippable = b"\x8aLZW" + (3).to_bytes(4, "little") + b"tag"
    back, unused = feed_decompressor(skippable + skippable + framed + trailing, piece, max_length)
    bare = feed_compressor(data, policy, len(data) or 1, lzw.BLOCK_MIN, seek_table=False)
    assert (back, unused) == (data, framed[len(bare) :] + trailing)


def test_one_context_shared_by_threads(rng):
    # Each object codes one call at a time; without its lock, calls would mix their tables.
    inputs = [sample(rng, rng.randrange(100_000, 400_000)) for _ in range(8)]
    ctx = lzw.Context()
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        packed = list(pool.map(lambda d: ctx.compress(d, lzw.Policy.EVICT), inputs))
        assert packed == [lzw.compress(d, lzw.Policy.EVICT) for d in inputs]
        back = list(pool.map(lambda p: ctx.decompress(p, lzw.Policy.EVICT), packed))
        assert back == inputs
