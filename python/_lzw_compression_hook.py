"""Registers lzw's compression with fsspec as fsspec loads, in every interpreter where lzw is
installed: lzw.pth imports this module at start-up, and `import lzw` does too.

fsspec finds filesystems through entry points (lzw:: has one, in lzw's dist-info), but it
learns compressions only from register_compression() calls in the running interpreter. Without
this, compression="lzw" and "infer" would work only after an `import lzw`, and never in a Dask
worker, a fresh process that unpickles the name "lzw". Start-up pays for this module alone:
fsspec is not imported here, and lzw only when a file is opened with the compression.
"""

import sys

_MODULE = "fsspec.compression"


def _open(infile, mode="rb", **kwargs):
    from lzw._storage import open_compressed

    return open_compressed(infile, mode, **kwargs)


def _register(module):
    # Never breaks fsspec's import: at worst, compression="lzw" stays unknown.
    try:
        module.register_compression("lzw", _open, "lzw", force=True)
    except Exception:  # noqa: BLE001
        pass


class _Loader:
    """fsspec.compression's own loader, which registers lzw once the module has run."""

    def __init__(self, loader):
        self._loader = loader

    def __getattr__(self, name):  # get_source, is_package, ... for tracebacks and tools
        if name == "_loader":
            raise AttributeError(name)
        return getattr(self._loader, name)

    def create_module(self, found):
        return self._loader.create_module(found)

    def exec_module(self, module):
        self._loader.exec_module(module)
        _register(module)


class _Finder:
    """Waits on sys.meta_path for fsspec.compression, found by the finders after it."""

    def find_spec(self, name, path=None, target=None):
        if name != _MODULE:
            return None
        for finder in sys.meta_path:
            if finder is self or not hasattr(finder, "find_spec"):
                continue
            found = finder.find_spec(name, path, target)
            if found is not None:
                if getattr(found.loader, "exec_module", None) is not None:
                    found.loader = _Loader(found.loader)
                return found
        return None


if _MODULE in sys.modules:
    _register(sys.modules[_MODULE])
elif not any(isinstance(finder, _Finder) for finder in sys.meta_path):
    sys.meta_path.insert(0, _Finder())
