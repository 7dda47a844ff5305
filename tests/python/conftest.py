"""Shared helpers for the voluna package's tests: volumes with structure, and
the command-line filter and the C++ tests' plain implementation to hold the
package against."""

import os
import subprocess
from pathlib import Path

import numpy as np
import pytest


def structured_volume(shape, seed=1):
    """uint8 [z, y, x]: a bright tube along x and one along the y-z diagonal,
    with noise, so that directions differ from voxel to voxel."""
    z, y, x = np.indices(shape, dtype=np.float64)
    cz, cy = (shape[0] - 1) / 2, (shape[1] - 1) / 2
    along_x = np.hypot(z - cz, y - cy) < max(1.5, min(shape[:2]) / 5)
    diagonal = np.abs((y - cy) - (z - cz)) / np.sqrt(2) < 1.5
    clean = np.where(along_x | diagonal, 200.0, 50.0)
    noisy = clean + np.random.default_rng(seed).normal(0, 25, shape)
    return np.clip(np.rint(noisy), 0, 255).astype(np.uint8)


_MET_TYPES = {"uint8": "MET_UCHAR", "int8": "MET_CHAR", "uint16": "MET_USHORT", "int16": "MET_SHORT",
              "uint32": "MET_UINT", "int32": "MET_INT", "float32": "MET_FLOAT",
              "float64": "MET_DOUBLE"}


def write_metaimage(path, volume):
    """A one-file MetaImage (.mha) of a [z, y, x] volume, written by hand."""
    z, y, x = volume.shape
    native = volume.astype(volume.dtype.newbyteorder("<"))
    header = ("ObjectType = Image\nNDims = 3\nBinaryData = True\nBinaryDataByteOrderMSB = False\n"
              "CompressedData = False\nDimSize = %d %d %d\nElementType = %s\n"
              "ElementDataFile = LOCAL\n" % (x, y, z, _MET_TYPES[volume.dtype.name]))
    Path(path).write_bytes(header.encode() + np.ascontiguousarray(native).tobytes())


def run_command_line(args, cwd):
    return subprocess.run([os.environ["VOLUNA_FILTER"], *args], cwd=cwd, capture_output=True,
                          text=True, timeout=600)


@pytest.fixture
def command_line_filter(tmp_path):
    """voluna-filter's bytes for a uint8 volume, as a [z, y, x] array."""
    def run(volume, *args):
        write_metaimage(tmp_path / "in.mha", volume)
        done = run_command_line([*args, "-o", "out.raw", "in.mha"], tmp_path)
        assert done.returncode == 0, done.stderr
        return np.fromfile(tmp_path / "out.raw", dtype=np.uint8).reshape(volume.shape)
    return run


@pytest.fixture
def command_line_filter_typed(tmp_path):
    """voluna-filter's raw result for a volume of any type, in the input's
    type or, after --output-type float32, as float32."""
    def run(volume, *args):
        write_metaimage(tmp_path / "in.mha", volume)
        if "--output-type" not in args:
            args = (*args, "--output-type", "input")
        done = run_command_line([*args, "-o", "out.raw", "in.mha"], tmp_path)
        assert done.returncode == 0, done.stderr
        dtype = np.float32 if "float32" in args else volume.dtype.newbyteorder("=")
        return np.fromfile(tmp_path / "out.raw", dtype=dtype).reshape(volume.shape)
    return run


@pytest.fixture
def command_line_refusal(tmp_path):
    """voluna-filter's message, without its program-name prefix, for arguments it refuses."""
    write_metaimage(tmp_path / "in.mha", np.zeros((2, 2, 2), np.uint8))

    def run(*args):
        done = run_command_line([*args, "-o", "out.raw", "in.mha"], tmp_path)
        assert done.returncode == 2, done.stderr
        return done.stderr.splitlines()[0].removeprefix("voluna-filter: ")
    return run


@pytest.fixture
def naive_field(tmp_path):
    """The direction field of the C++ tests' plain implementation, [z, y, x, 3]."""
    def run(unit_volume, samples, angle, preserve_edges):
        z, y, x = unit_volume.shape
        np.ascontiguousarray(unit_volume, dtype=np.float32).tofile(tmp_path / "in.f32")
        subprocess.run([os.environ["VOLUNA_NAIVE_FIELD"], str(tmp_path / "in.f32"), str(x), str(y),
                        str(z), str(samples), str(angle), str(int(preserve_edges)),
                        str(tmp_path / "out.f32")], check=True, timeout=600)
        return np.fromfile(tmp_path / "out.f32", dtype=np.float32).reshape(z, y, x, 3)
    return run
