"""fsspec, pandas and Dask on lzw files: Dask's cutting through lzw::, on a real cluster of two
worker processes, which know lzw as installed (lzw.pth) and import nothing by hand."""

import io
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import warnings

import dask.bag as db
import dask.dataframe as dd
import fsspec
import pandas
import pytest
from dask.distributed import Client, LocalCluster

import lzw

# The directory that holds lzw, lzw.pth and lzw's dist-info: the build's python/, or an
# installed copy's site directory.
SITE = pathlib.Path(lzw.__file__).resolve().parents[1]
ROOT = pathlib.Path(__file__).resolve().parents[2]


def user_base(tmp):
    """A PYTHONUSERBASE whose site directory is SITE: an interpreter started with it reads
    lzw.pth as it would in site-packages."""
    site = pathlib.Path(sysconfig.get_path("purelib", "posix_user", vars={"userbase": str(tmp)}))
    site.parent.mkdir(parents=True, exist_ok=True)
    site.symlink_to(SITE, target_is_directory=True)
    return str(tmp)


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    saved = os.environ.get("PYTHONUSERBASE")
    os.environ["PYTHONUSERBASE"] = user_base(tmp_path_factory.mktemp("userbase"))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            cluster = LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
            )
    finally:
        if saved is None:
            del os.environ["PYTHONUSERBASE"]
        else:
            os.environ["PYTHONUSERBASE"] = saved
    with cluster, Client(cluster) as client:
        # Fresh workers know the compression without having imported lzw (lzw.pth).
        known = client.run(lambda: ("lzw" in fsspec.compression.compr, "lzw" in sys.modules))
        assert set(known.values()) == {(True, False)}
        yield client


def text(rng, size):
    """Lines of up to some 350 characters, non-ASCII too, and a few of 150,000 (over a block)."""
    words = ["żółw", "lzw", "frame", "block", "seek", "table", "dask", "ą"] + [
        "".join(rng.choices("abcdefghij", k=rng.randint(1, 8))) for _ in range(200)
    ]
    lines = [" ".join(rng.choices(words, k=rng.randint(0, 40))) + "\n" for _ in range(2000)]
    lines += ["x" * 150_000 + "\n"] * 3
    out, n = [], 0
    while n < size:
        line = rng.choice(lines)
        out.append(line)
        n += len(line)
    return "".join(out)


def write(path, data, **options):
    with lzw.open(path, "wt", encoding="utf-8", **options) as f:
        f.write(data)


def test_lines_cut_into_partitions_come_back_whole(client, rng, tmp_path):
    data = text(rng, 20_000_000)
    path = tmp_path / "big.txt.lzw"
    write(path, data, block_size=1 << 16)
    lines = db.read_text(f"lzw::{path}", blocksize="2MiB")
    assert lines.npartitions >= 8
    assert lines.compute() == data.splitlines(keepends=True)

    # A task opens the file and reads its range and the line past its end: its blocks alone.
    encoded = data.encode()
    with fsspec.open(f"lzw::{path}") as f:
        assert f.seek(0, io.SEEK_END) == len(encoded)
        reader = f._raw._open()
        before = reader.info()["read_calls"]
        block = fsspec.utils.read_block(f, 10_000_000, 2_000_000, b"\n")
        start = encoded.index(b"\n", 10_000_000 - 1) + 1
        assert block == encoded[start : encoded.index(b"\n", 12_000_000 - 1) + 1]
        assert reader.info()["read_calls"] - before < reader.info()["blocks"] // 4


def test_read_csv_through_dask_equals_pandas(client, rng, tmp_path):
    n = 150_000
    frame = pandas.DataFrame(
        {
            "id": range(n),
            "value": [rng.random() for _ in range(n)],
            "name": [rng.choice(["żółw", "a,b", 'q"q', "", "lzw"]) for _ in range(n)],
        }
    )
    plain = tmp_path / "x.csv"
    frame.to_csv(plain, index=False)
    write(tmp_path / "x.csv.lzw", plain.read_text(encoding="utf-8"), block_size=1 << 15)
    expected = pandas.read_csv(plain)

    cut = dd.read_csv(f"lzw::{tmp_path}/x.csv.lzw", blocksize=400_000)
    assert cut.npartitions >= 8
    pandas.testing.assert_frame_equal(cut.compute().reset_index(drop=True), expected)
    with warnings.catch_warnings():  # compression "lzw", inferred: Dask reads it whole
        warnings.simplefilter("ignore")
        whole = dd.read_csv(tmp_path / "x.csv.lzw")
    pandas.testing.assert_frame_equal(whole.compute(), expected)

    # Written by the workers, a frame per partition, read back in order.
    cut.to_csv(tmp_path / "part-*.csv.lzw", index=False, compression="lzw")
    parts = sorted(tmp_path.glob("part-*.csv.lzw"))
    assert len(parts) == cut.npartitions
    again = dd.read_csv(tmp_path / "part-*.csv.lzw", blocksize=None).compute()
    pandas.testing.assert_frame_equal(again.reset_index(drop=True), expected)


def test_text_files_written_then_concatenated_read_as_one(client, rng, tmp_path):
    lines = text(rng, 3_000_000).splitlines(keepends=True)
    db.from_sequence(lines, npartitions=5).map(str.rstrip, "\n").to_textfiles(
        str(tmp_path / "*.txt.lzw"), last_endline=True  # compression inferred from the names
    )
    parts = sorted(tmp_path.glob("*.txt.lzw"))
    assert len(parts) == 5
    assert {lzw.frame_info(p.read_bytes()).policy for p in parts} == {lzw.POLICY_DEFAULT}
    whole = tmp_path / "all.lzw"
    whole.write_bytes(b"".join(p.read_bytes() for p in parts))  # cat part.*.lzw > all.lzw
    with lzw.open(whole) as f:
        reader = f._raw._open()
        assert reader.info()["frames"] == 5 and reader.info()["indexed"]
    back = db.read_text(f"lzw::{whole}", blocksize="256KiB")
    assert back.npartitions >= 8
    assert back.compute() == lines


def block_offsets(packed):
    """Where each block of the one frame in `packed` starts (after a 21-byte header)."""
    offsets, at = [], 21
    while (word := int.from_bytes(packed[at : at + 4], "little")) != 0:
        offsets.append(at)
        at += 8 + (word & 0x7FFFFFFF) + 4
    return offsets


def test_damaged_block_fails_its_task_naming_the_block(client, rng, tmp_path):
    data = text(rng, 4_000_000)
    path = tmp_path / "d.txt.lzw"
    write(path, data, block_size=1 << 16)
    packed = bytearray(path.read_bytes())
    offsets = block_offsets(packed)
    n = len(offsets) * 2 // 3
    packed[offsets[n - 1] + 100] ^= 0x10
    path.write_bytes(packed)
    lines = db.read_text(f"lzw::{path}", blocksize="512KiB")  # the tables are intact
    with pytest.raises(lzw.LzwError, match=rf"\bblock {n} at byte {offsets[n - 1]}: "):
        lines.count().compute()


def test_files_that_are_not_frames(tmp_path):
    raw = tmp_path / "raw.lzw"
    raw.write_bytes(lzw.compress(b"abc\n" * 100_000, lzw.Policy.EVICT))
    for cut in (
        lambda: db.read_text(f"lzw::{raw}", blocksize="64KiB"),
        lambda: fsspec.open(f"lzw::{raw}").open(),
    ):
        with pytest.raises(lzw.LzwError, match=rf"NOT_FRAME: lzw::.*{raw}: not a framed file"):
            cut()
    empty = tmp_path / "empty.lzw"
    empty.write_bytes(b"")
    assert fsspec.open(f"lzw::{empty}").open().read() == b""
    with pytest.raises(PermissionError):
        fsspec.open(f"lzw::{tmp_path}/out.lzw", "wb").open()
    # Any fsspec storage, through its own file objects.
    with fsspec.open("memory://m/x.lzw", "wb", compression="lzw") as f:
        f.write(b"0123456789" * 100_000)
    with fsspec.open("lzw::memory://m/x.lzw") as f:
        assert f.seek(-5, io.SEEK_END) == 999_995 and f.read() == b"56789"


def test_an_interpreter_that_never_imports_lzw(tmp_path):
    frame = pandas.DataFrame({"a": range(1000), "b": ["żółw"] * 1000})
    with lzw.open(tmp_path / "x.csv.lzw", "wt") as f:
        frame.to_csv(f, index=False)
    script = """if 1:
        import sys, fsspec, pandas, dask.dataframe as dd
        assert "lzw" not in sys.modules
        f = fsspec.open("x.csv.lzw", compression="infer").open()
        assert pandas.read_csv(f).b.tolist() == ["żółw"] * 1000
        assert dd.read_csv("x.csv.lzw").a.sum().compute() == 499500
        assert dd.read_csv("lzw::x.csv.lzw", blocksize=5000).npartitions >= 2
    """
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONUSERBASE"] = user_base(tmp_path / "userbase")
    result = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, env=env, capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr

    # Without fsspec, the module works, and its fsspec part says what it needs.
    script = """if 1:
        import io, sys
        sys.modules["fsspec"] = None
        import lzw
        with lzw.open(io.BytesIO(), "wb") as f:
            f.write(b"ok")
        import lzw._storage
    """
    result = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, env=env, capture_output=True, text=True
    )
    assert result.stderr.endswith("needs fsspec; on Debian: apt install python3-fsspec\n")
    assert "line 7, in <module>" in result.stderr


def test_readme_example(client, tmp_path, monkeypatch):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("## Python, pandas and Dask", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```(python|sh)\n(.*?)```", section, re.S)
    assert [kind for kind, _ in blocks] == ["python", "sh", "python"]
    monkeypatch.chdir(tmp_path)
    session = {}
    for kind, code in blocks:
        if kind == "python":
            exec(compile(code, "README.md", "exec"), session)
        else:
            subprocess.run(["bash", "-euc", code], check=True)
