"""lzw in fsspec: the compression "lzw", and the filesystem lzw:: whose one file is the decoded
content of a framed file on any fsspec storage.

Dask cuts a plain file into byte ranges, one task each, but refuses to cut a compressed one.
Through lzw:: the decoded content is a plain, seekable file of known size (found from the seek
tables), so Dask cuts it as it cuts any other, and each task decodes only the blocks its range
touches, read through the target filesystem's own reads.
"""

import io
import os
import posixpath

try:
    import fsspec
    from fsspec import AbstractFileSystem
except ImportError as error:
    raise ImportError(
        "lzw's fsspec support (compression='lzw', the lzw:: filesystem) needs fsspec; "
        "on Debian: apt install python3-fsspec"
    ) from error

from ._errors import LzwError
from ._file import LzwFile, _RangeReader

__all__ = ["LzwFileSystem", "open_compressed"]

_LZW_ERROR_NOT_FRAME = -26


def open_compressed(infile, mode="rb", **kwargs):
    """fsspec's compression "lzw": an LzwFile over `infile` ("r" or "w"; kwargs as LzwFile's).

    Reading takes frames (a file that can seek is read where its reader seeks); writing writes
    one frame with its seek table, with Policy.RESET unless `policy` says otherwise.
    """
    return LzwFile(infile, mode[:1] + "b", **kwargs)


class LzwFileSystem(AbstractFileSystem):
    """A framed lzw file's decoded content as a filesystem of one read-only file.

    Chained as ``lzw::PATH`` or ``lzw::s3://bucket/PATH`` (any fsspec URL), or made as
    ``fsspec.filesystem("lzw", fo=PATH, target_protocol=None, target_options=None)``. The
    file's path is "" (what a chain gives) or its name, the framed file's without ".lzw";
    its size is the content's, from the seek tables; open() gives a seekable file that reads
    and decodes only the blocks a read touches. A file that is not framed (a raw stream of
    ``lzw c2``, say) raises LzwError: it has no blocks to read apart.
    """

    protocol = "lzw"
    root_marker = ""

    def __init__(self, fo="", target_protocol=None, target_options=None, **kwargs):
        super().__init__(**kwargs)
        if not isinstance(fo, (str, os.PathLike)) or not os.fspath(fo):
            raise ValueError("lzw:: needs the framed file's path: lzw::PATH, or fo=PATH")
        fo = os.fspath(fo)
        options = target_options or {}
        if target_protocol is None:
            self.target, self.target_path = fsspec.core.url_to_fs(fo, **options)
        else:
            self.target = fsspec.filesystem(target_protocol, **options)
            self.target_path = self.target._strip_protocol(fo)
        base = posixpath.basename(self.target_path.rstrip("/"))
        self.member = base[: -len(".lzw")] if base.endswith(".lzw") else base
        self._sizes = {}  # the target's ukey -> content size

    @classmethod
    def _strip_protocol(cls, path):
        return super()._strip_protocol(path).lstrip("/")

    def _where(self):
        return f"lzw::{self.target.unstrip_protocol(self.target_path)}"

    def _check(self, path):
        path = self._strip_protocol(path)
        if path not in ("", self.member):
            raise FileNotFoundError(
                f"{self._where()} holds one file, {self.member!r}, not {path!r}"
            )

    def _member(self):
        """The decoded content as an LzwFile, open on the target (closed with it)."""
        target = self.target.open(self.target_path, "rb")
        try:
            member = LzwFile(target)
            member._close_fp = True
            if isinstance(member._raw, _RangeReader):
                member.content_size  # reads the tables: a damaged file fails here
            elif target.seek(0, io.SEEK_END) > 0:
                raise LzwError(
                    _LZW_ERROR_NOT_FRAME,
                    f"LZW_ERROR_NOT_FRAME: {self._where()}: not a framed file; lzw:: reads the "
                    "frames of `lzw -F` and lzw.open, while a raw stream (lzw c1, c2, c3) "
                    "is decoded whole, with the policy that made it",
                )
            else:
                target.seek(0)  # an empty file: no content
        except LzwError as error:
            target.close()
            if self._where() in str(error):
                raise
            raise type(error)(error.code, f"{error} ({self._where()})") from None
        except BaseException:
            target.close()
            raise
        return member

    def _content_size(self):
        key = self.target.ukey(self.target_path)
        if key not in self._sizes:
            with self._member() as member:
                self._sizes[key] = member.content_size or 0
        return self._sizes[key]

    def info(self, path, **kwargs):
        self._check(path)
        return {"name": self.member, "size": self._content_size(), "type": "file"}

    def ls(self, path="", detail=True, **kwargs):
        info = self.info(path)
        return [info] if detail else [info["name"]]

    def ukey(self, path):
        self._check(path)
        return fsspec.utils.tokenize(self._where(), self.target.ukey(self.target_path))

    def _open(self, path, mode="rb", block_size=None, autocommit=True, cache_options=None, **kw):
        self._check(path)
        if mode != "rb":
            raise PermissionError(
                f"{self._where()} is read-only; write lzw files with compression='lzw'"
            )
        return self._member()
