"""voluna.denoise and voluna.estimate_noise: the same result as
voluna-filter --denoise, whole, streamed and on dask, for every type, with
the volume's spacing."""

import re

import dask.array as da
import numpy as np
import pytest

import voluna
from conftest import run_command_line, structured_volume
from test_dtypes import ct_like

SPACING = (1.0, 1.0, 2.5)  # x, y, z


def write_spaced(path, volume, spacing):
    """A one-file MetaImage with its spacing (x, y, z)."""
    types = {"uint8": "MET_UCHAR", "int16": "MET_SHORT", "float32": "MET_FLOAT"}
    z, y, x = volume.shape
    header = ("ObjectType = Image\nNDims = 3\nBinaryData = True\nBinaryDataByteOrderMSB = False\n"
              "CompressedData = False\nDimSize = %d %d %d\nElementSpacing = %g %g %g\n"
              "ElementType = %s\nElementDataFile = LOCAL\n"
              % (x, y, z, *spacing, types[volume.dtype.name]))
    path.write_bytes(header.encode() + np.ascontiguousarray(volume.astype(volume.dtype.newbyteorder("<"))).tobytes())


def command_line(tmp_path, volume, *args):
    write_spaced(tmp_path / "in.mha", volume, SPACING)
    done = run_command_line(["--denoise", *args, "-o", "out.raw", "in.mha"], tmp_path)
    assert done.returncode == 0, done.stderr
    dtype = np.uint8 if volume.dtype == np.uint8 and "--output-type" not in args else volume.dtype
    return np.fromfile(tmp_path / "out.raw", dtype=dtype).reshape(volume.shape), done.stderr


def test_the_command_line_python_and_dask_give_the_same_bytes(tmp_path):
    volume = structured_volume((20, 26, 30), seed=5)
    by_command_line, said = command_line(tmp_path, volume)
    # The level it measured is said in the input's units.
    level = float(re.search(r"noise level ([0-9.]+)", said).group(1))
    assert level == pytest.approx(voluna.estimate_noise(volume), rel=1e-3)
    assert level == pytest.approx(25, rel=0.15)
    whole = voluna.denoise(volume, spacing=SPACING)
    np.testing.assert_array_equal(whole, by_command_line)
    # Chunks far thinner than the reach, and ones that split z where slices are coarse.
    for chunks in [(6, 9, 11), (20, 26, 7), (3, 26, 30)]:
        lazy = voluna.denoise(da.from_array(volume, chunks=chunks), spacing=SPACING)
        assert isinstance(lazy, da.Array) and lazy.chunks == da.from_array(volume, chunks=chunks).chunks
        np.testing.assert_array_equal(lazy.compute(scheduler="threads"), whole, err_msg=str(chunks))


def test_a_streamed_run_gives_the_whole_runs_bytes(tmp_path):
    volume = structured_volume((40, 80, 80), seed=6)
    whole, _ = command_line(tmp_path, volume)
    streamed, said = command_line(tmp_path, volume, "--memory", "4M")
    assert "bricks" in said, said
    np.testing.assert_array_equal(streamed, whole)


def test_other_types_at_full_precision_everywhere(tmp_path):
    volume = ct_like((16, 18, 20))
    by_command_line, _ = command_line(tmp_path, volume, "--output-type", "input", "--noise", "300")
    whole = voluna.denoise(volume, 300, spacing=SPACING)
    assert whole.dtype == np.int16
    np.testing.assert_array_equal(whole, by_command_line)
    lazy = voluna.denoise(da.from_array(volume, chunks=(5, 18, 7)), 300, spacing=SPACING)
    np.testing.assert_array_equal(lazy.compute(scheduler="threads"), whole)
    floats = voluna.denoise(volume, 300, spacing=SPACING, dtype=np.float32)
    assert floats.dtype == np.float32
    assert np.abs(floats - whole).max() <= 0.5 + 1e-3


def test_the_spacing_counts_and_only_its_ratios_do():
    volume = structured_volume((16, 20, 20), seed=7)
    a = voluna.denoise(volume, spacing=(1, 1, 2.5), dtype=np.float32)
    np.testing.assert_array_equal(voluna.denoise(volume, spacing=(0.4, 0.4, 1), dtype=np.float32), a)
    assert not np.array_equal(voluna.denoise(volume, dtype=np.float32), a)


def test_it_takes_the_noise_away_and_a_level_of_zero_changes_nothing():
    rng = np.random.default_rng(3)
    clean = np.zeros((24, 24, 24))
    clean[:, 8:16, :] = 120
    noisy = clean + rng.normal(0, 12, clean.shape)
    assert voluna.estimate_noise(noisy) == pytest.approx(12, rel=0.15)
    smooth = voluna.denoise(noisy)
    assert np.sqrt(np.mean((smooth - clean) ** 2)) < 0.4 * np.sqrt(np.mean((noisy - clean) ** 2))
    bytes_ = structured_volume((8, 9, 10))
    np.testing.assert_array_equal(voluna.denoise(bytes_, 0), bytes_)


def test_refusals_say_what_is_wrong():
    volume = structured_volume((8, 8, 8))
    with pytest.raises(ValueError, match="noise"):
        voluna.denoise(volume, -1)
    with pytest.raises(ValueError, match="noise"):
        voluna.denoise(volume, float("nan"))
    with pytest.raises(ValueError, match="spacing"):
        voluna.denoise(volume, spacing=(1, 0, 1))
    with pytest.raises(ValueError, match="spacing"):
        voluna.denoise(volume, spacing=(1, 1))
    with pytest.raises(ValueError, match="noise"):
        voluna.estimate_noise(np.zeros((8, 8, 8), np.uint8))
