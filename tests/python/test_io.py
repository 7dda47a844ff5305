"""voluna.read and voluna.write: io's own loading and writing, every format,
geometry kept, refusals as OSError with io's messages."""

import os

import numpy as np
import pytest

import voluna
from conftest import structured_volume

ROTATED = np.array([[np.cos(0.5), -np.sin(0.5), 0.0],
                    [np.sin(0.5), np.cos(0.5), 0.0],
                    [0.0, 0.0, 1.0]])
GEOMETRY = {"spacing": (0.5, 0.75, 2.0), "origin": (-10.0, 5.5, 3.25), "direction": ROTATED}


def volume_of(dtype):
    v = structured_volume((5, 6, 7), seed=9).astype(np.int32) * 13 - 1500
    return v.astype(dtype) / 4 if np.dtype(dtype).kind == "f" else v.astype(dtype)


@pytest.mark.parametrize("name", ["v.nii", "v.nii.gz", "v.nrrd", "v.mha", "v.mhd"])
@pytest.mark.parametrize("dtype", [np.int16, np.uint16, np.float32, np.float64, np.uint8])
def test_round_trip_keeps_voxels_type_and_geometry(tmp_path, name, dtype):
    volume = volume_of(dtype) if dtype != np.uint8 else structured_volume((5, 6, 7))
    if dtype == np.uint16:
        volume = volume_of(np.int32).astype(np.uint16) + 2000
    voluna.write(tmp_path / name, volume, **GEOMETRY)
    image = voluna.read(str(tmp_path / name))
    assert image.array.dtype == volume.dtype
    np.testing.assert_array_equal(image.array, volume)
    np.testing.assert_allclose(image.spacing, GEOMETRY["spacing"], rtol=1e-6)
    np.testing.assert_allclose(image.origin, GEOMETRY["origin"], rtol=1e-6)
    np.testing.assert_allclose(image.direction, ROTATED, atol=1e-6)


def test_tiff_and_2d_round_trips(tmp_path):
    volume = structured_volume((4, 6, 7))
    voluna.write(tmp_path / "v.tif", volume, spacing=(0.5, 0.5, 1.0))
    np.testing.assert_array_equal(voluna.read(tmp_path / "v.tif").array, volume)
    image = structured_volume((1, 9, 8))[0]
    voluna.write(tmp_path / "slice.nii", image)
    back = voluna.read(tmp_path / "slice.nii")
    assert back.array.shape in (image.shape, (1,) + image.shape)
    np.testing.assert_array_equal(back.array.reshape(image.shape), image)
    # A Fortran-ordered array is written in [z, y, x] order like any other.
    voluna.write(tmp_path / "f.nrrd", np.asfortranarray(volume))
    np.testing.assert_array_equal(voluna.read(tmp_path / "f.nrrd").array, volume)


def test_load_filter_save_keeps_geometry_and_type(tmp_path):
    volume = volume_of(np.int16)
    voluna.write(tmp_path / "ct.nii.gz", volume, **GEOMETRY)
    image = voluna.read(tmp_path / "ct.nii.gz")
    result = voluna.filter(image.array, angle=30)
    voluna.write(tmp_path / "out.nrrd", result, spacing=image.spacing, origin=image.origin,
                 direction=image.direction)
    back = voluna.read(tmp_path / "out.nrrd")
    np.testing.assert_array_equal(back.array, voluna.filter(volume, angle=30))
    np.testing.assert_allclose(back.direction, ROTATED, atol=1e-6)


def test_unreadable_files_are_os_errors_naming_the_file(tmp_path):
    with pytest.raises(OSError, match="missing.nii"):
        voluna.read(tmp_path / "missing.nii")
    truncated = tmp_path / "short.mha"
    volume = structured_volume((8, 8, 8))
    voluna.write(truncated, volume)
    truncated.write_bytes(truncated.read_bytes()[:-100])
    with pytest.raises(OSError, match="short.mha"):
        voluna.read(truncated)
    (tmp_path / "junk.nii").write_bytes(b"\x00" * 400)
    with pytest.raises(OSError, match="junk.nii"):
        voluna.read(tmp_path / "junk.nii")


def test_refused_writes_leave_nothing_behind(tmp_path):
    volume = structured_volume((3, 4, 5))
    with pytest.raises(ValueError, match="NIfTI"):
        voluna.write(tmp_path / "out.dcm", volume)
    with pytest.raises(OSError, match="no-such-folder"):
        voluna.write(tmp_path / "no-such-folder" / "out.nii", volume)
    for geometry, message in [({"spacing": (1.0, 2.0)}, "spacing must be 3"),
                              ({"spacing": (1.0, np.nan, 1.0)}, "spacing must be 3 finite"),
                              ({"spacing": (1.0, 0.0, 1.0)}, "spacing must be positive"),
                              ({"origin": (0.0, np.inf, 0.0)}, "origin"),
                              ({"direction": np.zeros((3, 3))}, "invertible"),
                              ({"direction": np.eye(2)}, "3 x 3")]:
        with pytest.raises(ValueError, match=message):
            voluna.write(tmp_path / "out.nii", volume, **geometry)
    with pytest.raises(ValueError, match="complex"):
        voluna.write(tmp_path / "out.nii", volume.astype(np.complex64))
    assert os.listdir(tmp_path) == []
    # An existing file stays as it was when a write is refused.
    voluna.write(tmp_path / "keep.nii", volume)
    before = (tmp_path / "keep.nii").read_bytes()
    with pytest.raises(ValueError):
        voluna.write(tmp_path / "keep.nii", volume[np.newaxis])
    assert (tmp_path / "keep.nii").read_bytes() == before
