"""lzw.open: files written and read through every call a file object has."""

import io

import pytest

import lzw
from conftest import sample


@pytest.mark.parametrize("policy", list(lzw.Policy))
def test_binary_file_reads_back_by_any_call(policy, rng, tmp_path):
    data = sample(rng, rng.randrange(1, 2_000_000))
    path = tmp_path / "f.lzw"
    with lzw.open(path, "wb", policy=policy, block_size=lzw.BLOCK_MIN) as f:
        pos = 0
        while pos < len(data):
            n = rng.randrange(1, 200_000)
            assert f.write(data[pos : pos + n]) == len(data[pos : pos + n])
            pos += n
        assert f.tell() == len(data)
    assert lzw.decompress(path.read_bytes()) == data

    with lzw.open(path) as f:
        pos = 0
        while pos < len(data):  # read(n), readline, seeks forward by both whences
            action = rng.randrange(4)
            if action == 0:
                n = rng.randrange(100_000)
                assert f.read(n) == data[pos : pos + n]
                pos = min(pos + n, len(data))
            elif action == 1:
                end = data.find(b"\n", pos)
                end = len(data) if end < 0 else end + 1
                assert f.readline() == data[pos:end]
                pos = end
            elif action == 2:
                pos = min(pos + rng.randrange(300_000), len(data))
                assert f.seek(pos) == pos
            else:
                pos = f.seek(rng.randrange(50_000), io.SEEK_CUR)
            assert f.tell() == pos
        assert f.read() == b""
        assert f.seek(3) == 3 and f.read(10) == data[3:13]  # back: decoded again
        assert f.seek(-4, io.SEEK_END) == len(data) - 4
    with lzw.open(str(path), "rb") as f:
        assert list(f) == io.BytesIO(data).readlines()


def test_text_append_and_file_objects(tmp_path):
    path = tmp_path / "t.lzw"
    lines = [f"{i} żółw\n" for i in range(20_000)]
    with lzw.open(path, "wt", policy=lzw.Policy.RESET, encoding="utf-8") as f:
        f.writelines(lines[:10_000])
    with lzw.open(path, "at", policy=lzw.Policy.FREEZE, encoding="utf-8") as f:
        f.writelines(lines[10_000:])  # a second frame after the first
    with lzw.open(path, "rt", encoding="utf-8") as f:
        assert f.readlines() == lines
    with pytest.raises(FileExistsError):
        lzw.open(path, "xb", policy=lzw.Policy.RESET)

    buffer = io.BytesIO()
    with lzw.open(buffer, "wb", policy=lzw.Policy.EVICT) as f:
        f.write(b"abc" * 1000)
    assert not buffer.closed  # a file object given is left open
    buffer.seek(0)
    with lzw.open(buffer) as f:
        assert f.read() == b"abc" * 1000
    with lzw.open(io.BytesIO()) as f:  # an empty file holds no bytes
        assert f.read() == b""

    # Frames are written with POLICY_DEFAULT unless told (test_errors: a raw stream is not).
    buffer = io.BytesIO()
    with lzw.open(buffer, "wb") as f:
        f.write(b"abc")
    assert lzw.frame_info(buffer.getvalue()).policy == lzw.POLICY_DEFAULT == lzw.Policy.RESET
    assert lzw.Compressor().flush() == lzw.Compressor(lzw.Policy.RESET).flush()
    assert {name for name in dir(lzw) if not name.startswith("_")} == set(lzw.__all__)


@pytest.mark.parametrize("policy", list(lzw.Policy))
def test_raw_file_is_the_programs(policy, rng, tmp_path, program):
    data = sample(rng, rng.randrange(500_000))
    path = tmp_path / "raw"
    with lzw.open(path, "wb", policy=policy, frame=False) as f:
        f.write(data[:1000])
        f.write(data[1000:])
    assert path.read_bytes() == program(f"c{policy}", data)
    with lzw.open(path, policy=policy, frame=False) as f:
        assert f.read(10) == data[:10]
        assert f.read() == data[10:]


def test_frames_of_a_seekable_file_are_read_where_seeks_land(rng, tmp_path):
    # Two files with their seek tables, one after the other: one file, found from its end.
    parts = [sample(rng, rng.randrange(100_000, 400_000)) for _ in range(2)]
    data = b"".join(parts)
    packed = b"".join(lzw.compress(p, lzw.Policy.RESET, frame=True, block_size=4096) for p in parts)
    path = tmp_path / "two.lzw"
    path.write_bytes(packed)
    reader = lzw._lzw.Reader(lambda offset, n: packed[offset : offset + n], len(packed))
    assert reader.info()["indexed"] and reader.info()["read_calls"] <= 6
    for source in (path, io.BytesIO(packed)):
        with lzw.open(source) as f:
            assert f.seekable() and f.content_size == len(data)
            for _ in range(50):
                at = rng.randrange(len(data) + 10)
                whence = rng.choice([io.SEEK_SET, io.SEEK_CUR, io.SEEK_END])
                offset = at - {io.SEEK_SET: 0, io.SEEK_CUR: f.tell(), io.SEEK_END: len(data)}[whence]
                assert f.seek(offset, whence) == at
                n = rng.randrange(20_000)
                assert f.read(n) == data[at : at + n]
    damaged = bytearray(packed)
    damaged[100] ^= 1  # inside the first block, whose header starts after the frame's 21 bytes
    path.write_bytes(damaged)
    with lzw.open(path) as f:
        f.seek(len(data) - 10)
        assert f.read() == data[-10:]  # the blocks a read needs, only
        with pytest.raises(lzw.LzwError, match=r"block 1 at byte 21: "):
            f.seek(10)
            f.read(100)
