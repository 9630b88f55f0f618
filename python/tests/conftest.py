"""What the tests share: the program and the C library to compare with, and seeded data.

ctest gives LZW_BINARY and LZW_LIBRARY (and PYTHONPATH to the built package); run by hand,
they default to the build directory `build` beside python/.
"""

import ctypes
import os
import pathlib
import random
import subprocess

import pytest

import lzw

ROOT = pathlib.Path(__file__).resolve().parents[2]
BINARY = os.environ.get("LZW_BINARY", str(ROOT / "build" / "lzw"))
LIBRARY = os.environ.get("LZW_LIBRARY", str(ROOT / "build" / "liblzw.so"))
POLICIES = list(lzw.Policy)

# The seed changes with each run unless LZW_SEED gives it; a failing run prints it.
SEED = int(os.environ.get("LZW_SEED", random.randrange(1 << 32)))


def pytest_report_header(config):
    return f"lzw: seed {SEED} (LZW_SEED={SEED} repeats this run)"


@pytest.fixture
def rng(request):
    # One stream per test, so a test's data does not depend on which tests ran before it.
    return random.Random(f"{SEED}/{request.node.nodeid}")


def sample(rng, size):
    """Text-like bytes of `size`, with runs and random stretches, that fill the dictionary
    and change their statistics midway, so the three policies part ways."""
    words = [bytes(rng.choices(b"etaoinshrdlu", k=rng.randint(1, 9))) for _ in range(300)]
    out = bytearray()
    while len(out) < size:
        kind = rng.random()
        if kind < 0.8:
            out += b" ".join(rng.choices(words, k=20)) + b"\n"
        elif kind < 0.9:
            out += bytes([rng.randrange(256)]) * rng.randint(1, 3000)
        else:
            out += rng.randbytes(rng.randint(1, 2000))
    return bytes(out[:size])


class CLib:
    """The C library through ctypes, apart from the binding, for the bytes it writes."""

    class Params(ctypes.Structure):
        _fields_ = [
            ("size", ctypes.c_size_t),
            ("policy", ctypes.c_int),
            ("block_size", ctypes.c_uint),
            ("checksums", ctypes.c_uint),
            ("content_size", ctypes.c_longlong),
            ("threads", ctypes.c_int),
        ]

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.lzw_compress_bound.restype = ctypes.c_size_t

    def _run(self, call, args, capacity):
        out = ctypes.create_string_buffer(max(capacity, 1))
        written = ctypes.c_size_t()
        rc = call(*args, out, ctypes.c_size_t(capacity), ctypes.byref(written))
        assert rc == 0, lzw.LzwError(rc)
        return out.raw[: written.value]

    def compress(self, data, policy):
        bound = self.lib.lzw_compress_bound(ctypes.c_size_t(len(data)))
        return self._run(self.lib.lzw_compress, (policy, data, ctypes.c_size_t(len(data))), bound)

    def frame_compress(self, data, policy, block_size, content_size):
        self.lib.lzw_frame_compress_bound.restype = ctypes.c_size_t
        checksums = 2 | 4 | 0x100  # both checksums and LZW_FRAME_SEEK_TABLE
        size = ctypes.sizeof(self.Params)
        params = self.Params(size, policy, block_size, checksums, content_size, 1)
        bound = self.lib.lzw_frame_compress_bound(ctypes.byref(params), ctypes.c_size_t(len(data)))
        args = (None, ctypes.byref(params), data, ctypes.c_size_t(len(data)))
        return self._run(self.lib.lzw_frame_compress, args, bound)


@pytest.fixture(scope="session")
def clib():
    return CLib(LIBRARY)


@pytest.fixture(scope="session")
def program():
    """Runs the lzw program: program("c2", data) -> its output file's bytes."""

    def run(mode, data, *options):
        result = subprocess.run(
            [BINARY, "-q", *options, mode, "-", "-"], input=data, capture_output=True, check=True
        )
        return result.stdout

    return run
