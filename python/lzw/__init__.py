"""LZW compression with 12-bit codes: the lzw program's codec, in the manner of bz2 and lzma.

    import lzw
    packed = lzw.compress(data, lzw.Policy.EVICT)                 # raw: what `lzw c2` writes
    data = lzw.decompress(packed, lzw.Policy.EVICT)
    framed = lzw.compress(data, lzw.Policy.EVICT, frame=True)     # records its policy, checked
    data = lzw.decompress(framed)
    with lzw.open("log.lzw", "wt", policy=lzw.Policy.RESET) as f:
        f.write("text\\n")

A raw stream is the program's own format: a 4-byte length, then the codes; it records neither
its policy nor a checksum, so it must be decompressed with the policy that made it. A frame
records its policy and checksums, needs no size up front and has no size limit; frames
concatenate. Every call releases the GIL while it codes.
"""

import enum
from typing import NamedTuple, Optional

from ._errors import ChecksumError, LzwError
from . import _lzw
from ._lzw import Compressor, Context, Decompressor, compress, decompress

__all__ = [
    "Policy",
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


class Policy(enum.IntEnum):
    """What a full dictionary does; the program's modes 1, 2 and 3."""

    FREEZE = 1  #: stops growing (c1, d1)
    EVICT = 2  #: gives up its least recently used phrase (c2, d2)
    RESET = 3  #: is cleared back to the 256 single bytes (c3, d3)


class FrameInfo(NamedTuple):
    """What a frame's header says. A skippable frame gives only its sizes."""

    skippable: bool
    version: int
    policy: Optional[Policy]
    code_width: int
    block_size: int
    content_size: Optional[int]  #: None when the header does not give it
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
