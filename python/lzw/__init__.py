"""LZW compression with 12-bit codes: the lzw program's codec, in the manner of bz2 and lzma.

Two formats. A frame (what `lzw -F` writes) records its policy, its size and checksums of
every block and of the whole, is followed by a seek table, has no size limit, and frames
concatenate: `cat a.lzw b.lzw > c.lzw` is one file. A raw stream (`lzw c1`, `c2`, `c3`) is a
4-byte length and the codes, nothing else: it must be decoded with the policy that made it.

    import lzw
    framed = lzw.compress(data, lzw.Policy.EVICT, frame=True)
    data = lzw.decompress(framed)                     # frames are found by their magic
    packed = lzw.compress(data, lzw.Policy.EVICT)     # raw: the bytes `lzw c2` writes
    data = lzw.decompress(packed, lzw.Policy.EVICT)

Policies (what a full dictionary does; the program's modes 1 to 3): Policy.EVICT gives the
smallest files and is the slowest; Policy.RESET compresses about three times as fast as it,
and decodes 1.6 times as fast, to files 6-28% larger; Policy.FREEZE is fast but keeps only
the phrases of the first kilobytes. Writing a frame without a policy uses POLICY_DEFAULT,
Policy.RESET, for its speed both ways (gzip's default is a level, ours a policy). A raw stream
records no policy, so compress() and frame=False always take one.

Files: open() (and LzwFile) reads and writes them as gzip.open does, in binary or text mode:

    with lzw.open("log.lzw", "wt") as f:              # one frame, Policy.RESET
        f.write("text\\n")
    with lzw.open("log.lzw") as f:                    # "rb"; f.seek(), f.content_size
        f.seek(-100, 2)

A framed file that can seek is read where a read lands: its seek tables give every block,
and only the blocks a read touches are decoded. From a pipe, frames are read in order.

Streams: Compressor (one frame, fed piece by piece) and Decompressor; Context keeps a work
area across many short calls. frame_info() reads a frame's header. Every call releases the GIL
while it codes.

fsspec, pandas and Dask (when installed): the compression "lzw" (compression="lzw", or
"infer" for names ending in .lzw) and the filesystem lzw::, whose one file is a framed file's
decoded content, seekable, on any fsspec storage:

    pandas.read_csv(fsspec.open("x.csv.lzw", compression="infer").open())
    dask.bag.read_text("lzw::/data/big.txt.lzw", blocksize="64MiB")   # a task per range
    dask.dataframe.read_csv("lzw::s3://bucket/big.csv.lzw", blocksize="64MiB")
    bag.to_textfiles("out/*.txt.lzw")                 # one framed file per partition

Where lzw is installed, any interpreter (a Dask worker too) knows both without `import lzw`.

Errors: LzwError (.code, .name: the C library's) for damaged or truncated data, with the block
and its offset in the file when a reader finds it; ChecksumError, a kind of LzwError, for a
checksum that does not match.
"""

import enum as _enum
from typing import NamedTuple as _NamedTuple, Optional as _Optional

from ._errors import ChecksumError, LzwError
from . import _lzw
from ._lzw import Compressor, Context, Decompressor, compress, decompress

__all__ = [
    "Policy",
    "POLICY_DEFAULT",
    "compress",
    "decompress",
    "Compressor",
    "Decompressor",
    "Context",
    "open",
    "LzwFile",
    "frame_info",
    "FrameInfo",
    "LzwError",
    "ChecksumError",
    "BLOCK_DEFAULT",
    "BLOCK_MIN",
    "BLOCK_MAX",
    "library_version",
]

BLOCK_DEFAULT: int = _lzw.BLOCK_DEFAULT
BLOCK_MIN: int = _lzw.BLOCK_MIN
BLOCK_MAX: int = _lzw.BLOCK_MAX
library_version: str = _lzw.version()
__version__: str = library_version  #: the package is the C library's binding, of its version


class Policy(_enum.IntEnum):
    """What a full dictionary does; the program's modes 1, 2 and 3."""

    FREEZE = 1  #: stops growing (c1, d1)
    EVICT = 2  #: gives up its least recently used phrase (c2, d2)
    RESET = 3  #: is cleared back to the 256 single bytes (c3, d3)


#: The policy of frames written without one (open(), LzwFile, Compressor): fast both ways.
POLICY_DEFAULT: Policy = Policy.RESET


class FrameInfo(_NamedTuple):
    """What a frame's header says. A skippable frame gives only its sizes."""

    skippable: bool
    version: int
    policy: _Optional[Policy]
    code_width: int
    block_size: int
    content_size: _Optional[int]  #: None when the header does not give it
    content_checksum: bool
    block_checksums: bool
    header_size: int
    skippable_size: int  #: a skippable frame's bytes after its header, else 0


def frame_info(data) -> FrameInfo:
    """The header of the frame at the start of a bytes-like object.

    Raises LzwError: LZW_ERROR_NOT_FRAME for data that is no frame (a raw stream, say),
    LZW_ERROR_ENDS_EARLY when the data is shorter than the header, LZW_ERROR_FRAME_HEADER,
    _FRAME_VERSION or _RESERVED_BITS for a damaged or later header.
    """
    version, policy, width, block, flags, size, header_size, skip = _lzw.frame_info(data)
    if policy == 0:
        return FrameInfo(True, 0, None, 0, 0, None, False, False, header_size, skip)
    return FrameInfo(
        skippable=False,
        version=version,
        policy=Policy(policy),
        code_width=width,
        block_size=block,
        content_size=size if size >= 0 else None,
        content_checksum=bool(flags & _lzw.FLAG_CONTENT_CHECKSUM),
        block_checksums=bool(flags & _lzw.FLAG_BLOCK_CHECKSUMS),
        header_size=header_size,
        skippable_size=skip,
    )


from ._file import LzwFile, open  # noqa: E402  (it uses the names above)

try:  # fsspec's compression "lzw", registered now or when fsspec loads
    import _lzw_compression_hook  # noqa: E402, F401  (installed beside the package)
except ImportError:
    pass
