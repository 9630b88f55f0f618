"""lzw.open and LzwFile: compressed files as file objects, like gzip.open and lzma.open."""

import builtins
import io
import os
import typing

from ._errors import LzwError
from ._lzw import Compressor, Decompressor, Reader, compress, decompress

__all__ = ["LzwFile", "open"]

_CHUNK = 1 << 16  # compressed bytes read from the file at a time

_LZW_ERROR_TRAILING_DATA = -15
_LZW_ERROR_ENDS_EARLY = -9
_LZW_ERROR_NOT_FRAME = -26

_MAGICS = (b"\x89LZW", b"\x8aLZW")  # a frame's, a skippable frame's


class _FrameReader(io.RawIOBase):
    """The decoded bytes of the frames in a file, one after another, as they are asked for.

    Each frame gets a fresh Decompressor, started on what the last one left in unused_data;
    skippable frames (seek tables, notes) are passed over here. Seeking forward decodes and
    drops; seeking back starts again from the file's start.
    """

    def __init__(self, fp):
        self._fp = fp
        self._start = fp.tell() if fp.seekable() else 0
        self._rewind_state()

    def _rewind_state(self):
        self._dec = Decompressor()
        self._frames = 0  # frames ended so far
        self._fed = False  # whether the current Decompressor has had any bytes
        self._pos = 0
        self._size = -1  # the decoded length, once the end has been seen
        self._eof = False

    def readable(self):
        return True

    def seekable(self):
        return self._fp.seekable()

    def tell(self):
        return self._pos

    def readinto(self, b):
        with memoryview(b) as view, view.cast("B") as bytes_view:
            data = self.read(len(bytes_view))
            bytes_view[: len(data)] = data
        return len(data)

    def read(self, size=-1):
        if size < 0:
            return self.readall()
        if size == 0 or self._eof:
            return b""
        data = b""
        while not data:
            if self._dec.eof:
                self._frames += 1
                rest = self._past_skippable(self._dec.unused_data)
                if not rest:
                    return self._end()
                self._dec = Decompressor()
                self._fed = False
            elif self._dec.needs_input:
                rest = self._fp.read(_CHUNK)
                if not self._fed:
                    rest = self._past_skippable(rest)
                if not rest:
                    if self._frames == 0 and not self._fed:
                        return self._end()  # an empty file: no frame, no bytes
                    raise LzwError(
                        _LZW_ERROR_ENDS_EARLY, "LZW_ERROR_ENDS_EARLY: the file ends inside a frame"
                    )
            else:
                rest = b""
            self._fed = self._fed or bool(rest)
            try:
                data = self._dec.decompress(rest, size)
            except LzwError as error:
                if error.code == _LZW_ERROR_NOT_FRAME and self._frames > 0:
                    raise LzwError(
                        _LZW_ERROR_TRAILING_DATA,
                        "LZW_ERROR_TRAILING_DATA: the file goes on with bytes that are no frame",
                    ) from None
                raise
        self._pos += len(data)
        return data

    def _past_skippable(self, rest):
        """The bytes that start the next frame, with `rest` and what the file holds after it,
        past any skippable frames; b"" at the file's end."""
        while True:
            while len(rest) < 8 and (more := self._fp.read(_CHUNK)):
                rest += more
            if len(rest) < 8 or rest[:4] != _MAGICS[1]:
                return rest
            skip = 8 + int.from_bytes(rest[4:8], "little")
            if skip <= len(rest):
                rest = rest[skip:]
                continue
            skip -= len(rest)
            while skip > 0:
                more = self._fp.read(min(_CHUNK, skip))
                if not more:
                    raise LzwError(
                        _LZW_ERROR_ENDS_EARLY,
                        "LZW_ERROR_ENDS_EARLY: the file ends inside a skippable frame",
                    )
                skip -= len(more)
            rest = b""

    def _end(self):
        self._eof = True
        self._size = self._pos
        return b""

    def readall(self):
        chunks = []
        while data := self.read(io.DEFAULT_BUFFER_SIZE * 16):
            chunks.append(data)
        return b"".join(chunks)

    def seek(self, offset, whence=io.SEEK_SET):
        if whence == io.SEEK_CUR:
            offset += self._pos
        elif whence == io.SEEK_END:
            if self._size < 0:
                while self.read(io.DEFAULT_BUFFER_SIZE * 16):
                    pass
            offset += self._size
        elif whence != io.SEEK_SET:
            raise ValueError(f"invalid whence ({whence!r})")
        if offset < self._pos:
            self._fp.seek(self._start)
            self._rewind_state()
        offset -= self._pos
        while offset > 0:
            data = self.read(min(io.DEFAULT_BUFFER_SIZE * 16, offset))
            if not data:
                break
            offset -= len(data)
        return self._pos


class _RangeReader(io.RawIOBase):
    """The decoded bytes of a framed file that can seek, read through a Reader: a seek goes
    straight to its block, found from the file's seek tables (or block headers), and a read
    decodes only the blocks it touches. The file is looked at on the first read or seek.
    """

    def __init__(self, fp):
        self._fp = fp
        self._start = fp.tell()
        self._pos = 0
        self._reader = None

    def _open(self):
        if self._reader is None:
            fp, start = self._fp, self._start
            size = fp.seek(0, io.SEEK_END) - start
            fp.seek(start)
            try:
                fd = fp.fileno()
            except (AttributeError, OSError, io.UnsupportedOperation):
                fd = None
            if fd is not None:
                self._reader = Reader(fd, size, start)
            else:

                def pread(offset, n):
                    fp.seek(start + offset)
                    return fp.read(n)

                self._reader = Reader(pread, size)
        return self._reader

    @property
    def content_size(self):
        return self._open().content_size

    def readable(self):
        return True

    def seekable(self):
        return True

    def tell(self):
        return self._pos

    def readinto(self, b):
        n = self._open().readinto(self._pos, b)
        self._pos += n
        return n

    def read(self, size=-1):
        reader = self._open()
        if size is None or size < 0:
            size = max(reader.content_size - self._pos, 0)
        data = reader.read(self._pos, size)
        self._pos += len(data)
        return data

    def readall(self):
        return self.read()

    def seek(self, offset, whence=io.SEEK_SET):
        if whence == io.SEEK_CUR:
            offset += self._pos
        elif whence == io.SEEK_END:
            offset += self._open().content_size
        elif whence != io.SEEK_SET:
            raise ValueError(f"invalid whence ({whence!r})")
        if offset < 0:
            raise ValueError(f"negative seek position {offset}")
        self._pos = offset
        return offset


def _framed_and_seekable(fp):
    """Whether `fp` can seek and starts (where it stands) with a frame."""
    try:
        if not fp.seekable():
            return False
        start = fp.tell()
        magic = fp.read(4)
        fp.seek(start)
    except (AttributeError, OSError, io.UnsupportedOperation):
        return False
    return magic in _MAGICS


class _RawReader(io.BytesIO):
    """A raw stream, decoded whole when first read: its format has no blocks to decode apart."""

    def __init__(self, fp, policy):
        super().__init__()
        self._fp, self._policy, self._loaded = fp, policy, False

    def _load(self):
        if not self._loaded:
            self._loaded = True
            packed = self._fp.read()
            super().__init__(decompress(packed, self._policy) if packed else b"")

    def readinto(self, b):
        self._load()
        return super().readinto(b)

    def read(self, size=-1):
        self._load()
        return super().read(size)

    def seek(self, offset, whence=io.SEEK_SET):
        self._load()
        return super().seek(offset, whence)


class _RawWriter:
    """A raw stream's input, kept until close: its header needs the length up front."""

    def __init__(self, policy):
        self._policy, self._data = policy, bytearray()

    def compress(self, data):
        self._data += data
        return b""

    def flush(self):
        return compress(self._data, self._policy)


_MODES = {m: m[0] + "b" for m in ("r", "rb", "w", "wb", "x", "xb", "a", "ab")}


class LzwFile(io.BufferedIOBase):
    """A file of lzw frames (or of one raw stream), read or written as its decoded bytes.

    LzwFile(file, mode="rb", *, policy=None, frame=True, block_size=BLOCK_DEFAULT, threads=1)

    `file` is a path (str, bytes, os.PathLike) or a binary file object, which is left open.
    Mode "rb" reads every frame in the file, one after another; "wb", "xb" and "ab" write one
    frame with `policy` (POLICY_DEFAULT, Policy.RESET, when None), "ab" after what the file
    holds. frame=False reads or writes one raw stream (the lzw program's files) whole in
    memory; a raw stream does not record its policy, so `policy` is then required.
    Frames in a file that can seek are read where a read or seek lands, decoding only the
    blocks it needs (content_size gives their length); from a pipe, in order.
    """

    def __init__(
        self,
        file: "str | bytes | os.PathLike | typing.BinaryIO",
        mode: str = "rb",
        *,
        policy: "int | None" = None,
        frame: bool = True,
        block_size: "int | None" = None,
        threads: int = 1,
    ) -> None:
        self._fp = None
        self._close_fp = False
        self._mode = _MODES.get(mode)
        if self._mode is None:
            raise ValueError(f"invalid mode: {mode!r}")
        reading = self._mode == "rb"
        from . import POLICY_DEFAULT, Policy

        if policy is not None:
            policy = Policy(policy)
        elif not frame:
            raise ValueError("frame=False needs a policy: a raw stream does not record its own")
        elif not reading:
            policy = POLICY_DEFAULT
        # The compressor first: bad arguments leave no file created or open.
        if not reading and frame:
            options = {} if block_size is None else {"block_size": block_size}
            self._compressor = Compressor(policy, threads=threads, **options)
        elif not reading:
            self._compressor = _RawWriter(policy)
        if isinstance(file, (str, bytes, os.PathLike)):
            fp = builtins.open(file, self._mode)
            self._close_fp = True
        elif hasattr(file, "read" if reading else "write"):
            fp = file
        else:
            raise TypeError("file must be a path or a file object")
        self._pos = 0
        if reading:
            try:
                if not frame:
                    raw = _RawReader(fp, policy)
                elif _framed_and_seekable(fp):
                    raw = _RangeReader(fp)
                else:
                    raw = _FrameReader(fp)
                self._raw = raw
            except BaseException:
                if self._close_fp:
                    fp.close()
                raise
            self._buffer = io.BufferedReader(raw)
        self._fp = fp

    # --- state

    @property
    def closed(self):
        """Whether the file is closed."""
        return self._fp is None

    @property
    def mode(self):
        """"rb", "wb", "xb" or "ab"."""
        return self._mode

    @property
    def name(self):
        """The underlying file's name."""
        return self._fp.name

    @property
    def content_size(self):
        """The decoded length, when reading frames from a file that can seek (found from
        its seek tables, or its block headers); else None."""
        self._check_reading()
        return self._raw.content_size if isinstance(self._raw, _RangeReader) else None

    def close(self):
        """Close the file; when writing, first write the end of the frame or the raw stream."""
        if self._fp is None:
            return
        try:
            if self._mode == "rb":
                self._buffer.close()
                self._buffer = None
            else:
                self._fp.write(self._compressor.flush())
                self._compressor = None
        finally:
            try:
                if self._close_fp:
                    self._fp.close()
            finally:
                self._fp = None
                self._close_fp = False

    def fileno(self):
        """The descriptor of the underlying file."""
        self._check_open()
        return self._fp.fileno()

    def readable(self):
        """Whether the file was opened for reading."""
        self._check_open()
        return self._mode == "rb"

    def writable(self):
        """Whether the file was opened for writing."""
        self._check_open()
        return self._mode != "rb"

    def seekable(self):
        """Whether seek() works: reading, from a file that can seek."""
        return self.readable() and self._buffer.seekable()

    def _check_open(self):
        if self._fp is None:
            raise ValueError("I/O operation on closed file")

    def _check_reading(self):
        self._check_open()
        if self._mode != "rb":
            raise io.UnsupportedOperation("file not open for reading")

    # --- reading

    def read(self, size=-1):
        """Up to `size` decoded bytes (all that are left when negative); b"" at the end."""
        self._check_reading()
        return self._buffer.read(size)

    def read1(self, size=-1):
        """Up to `size` decoded bytes, with at most one read of the underlying file."""
        self._check_reading()
        if size < 0:
            size = io.DEFAULT_BUFFER_SIZE
        return self._buffer.read1(size)

    def readinto(self, b):
        """Decoded bytes into a writable buffer; returns how many."""
        self._check_reading()
        return self._buffer.readinto(b)

    def readline(self, size=-1):
        """The next line, with its b"\\n" (at most `size` bytes when 0 or more)."""
        self._check_reading()
        return self._buffer.readline(size)

    def peek(self, size=-1):
        """Decoded bytes ahead of the position, without moving it (none only at the end)."""
        self._check_reading()
        return self._buffer.peek(size)

    def seek(self, offset, whence=io.SEEK_SET):
        """Move to a position in the decoded bytes (whence: io.SEEK_SET, SEEK_CUR or SEEK_END).
        In frames of a file that can seek, straight to the block that holds it; else forward by
        decoding, back by decoding again from the start. Returns the new position."""
        self._check_reading()
        return self._buffer.seek(offset, whence)

    def tell(self):
        """The position in the decoded bytes."""
        self._check_open()
        return self._buffer.tell() if self._mode == "rb" else self._pos

    # --- writing

    def write(self, data):
        """Compress a bytes-like object into the file; returns its length."""
        self._check_open()
        if self._mode == "rb":
            raise io.UnsupportedOperation("file not open for writing")
        with memoryview(data) as view:
            length = view.nbytes
        self._fp.write(self._compressor.compress(data))
        self._pos += length
        return length


def open(
    file: "str | bytes | os.PathLike | typing.BinaryIO",
    mode: str = "rb",
    *,
    policy: "int | None" = None,
    frame: bool = True,
    block_size: "int | None" = None,
    threads: int = 1,
    encoding: "str | None" = None,
    errors: "str | None" = None,
    newline: "str | None" = None,
) -> "LzwFile | io.TextIOWrapper":
    """Open an lzw file in binary ("rb", "wb", "xb", "ab"; "b" may be left out) or text mode
    ("rt", "wt", "xt", "at", through io.TextIOWrapper with encoding, errors and newline).

    `file` is a path or a file object. Writing frames takes `policy`, Policy.RESET by default;
    reading frames reads it from them. See LzwFile for frame, block_size and threads.
    """
    if "t" in mode:
        if "b" in mode:
            raise ValueError(f"invalid mode: {mode!r}")
        binary_mode = mode.replace("t", "")
    else:
        if encoding is not None or errors is not None or newline is not None:
            raise ValueError("encoding, errors and newline are for text modes only")
        binary_mode = mode
    binary = LzwFile(
        file, binary_mode, policy=policy, frame=frame, block_size=block_size, threads=threads
    )
    if "t" in mode:
        return io.TextIOWrapper(binary, io.text_encoding(encoding), errors, newline)
    return binary
