"""voluna.read and voluna.write: io's own loading and writing, every format,
geometry kept (the voxel-to-world matrix as nibabel reads it), refusals as
OSError with io's messages."""

import os
import warnings
from pathlib import Path

import nibabel as nib
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


# ---------------------------------------------------------------------------
# The voxel-to-world matrix, held against nibabel's reading of the same files.

SHEARED = np.array([[-0.9, 0.3, 0.0, 91.5],
                    [0.0, 1.1, 0.25, -120.0],
                    [0.05, 0.0, 2.5, -70.0],
                    [0.0, 0.0, 0.0, 1.0]])
ATLASES = sorted(Path("/usr/share/mricron/templates").glob("*.nii.gz"))


def nibabel_file(path, sform, sform_code, qform, qform_code, dtype=np.int16):
    data = (np.arange(4 * 5 * 6) * 7 % 301 - 150).astype(dtype).reshape(4, 5, 6)  # nibabel: [x, y, z]
    image = nib.Nifti1Image(data, None)
    image.header.set_qform(qform, code=qform_code)
    image.header.set_sform(sform, code=sform_code)
    nib.save(image, str(path))
    return data


def test_affine_is_nibabels_for_every_placement(tmp_path):
    moved = np.diag([-2.0, 2.0, 2.0, 1.0])
    moved[:3, 3] = [90, -126, -72]
    turned = np.array([[0.0, -2.0, 0.0, 7.0], [2.0, 0.0, 0.0, -8.0], [0.0, 0.0, -2.0, 9.0], [0, 0, 0, 1]])
    for name, sform, sform_code, qform, qform_code in [
            ("sheared.nii", SHEARED, 2, moved, 1),       # shear, with a qform to place the views
            ("atlas.nii.gz", moved, 2, turned, 2),       # sform and qform 126 mm apart
            ("mni.nii", moved, 4, turned, 0),            # an sform alone
            ("qform.nii", moved, 0, turned, 1)]:         # a qform alone, left-handed
        data = nibabel_file(tmp_path / name, sform, sform_code, qform, qform_code)
        image = voluna.read(tmp_path / name)
        np.testing.assert_allclose(image.affine, nib.load(str(tmp_path / name)).affine, atol=1e-5,
                                   err_msg=name)
        np.testing.assert_array_equal(image.array, data.T)
    # Files of other formats: their geometry, in nibabel's RAS convention.
    voluna.write(tmp_path / "v.nii", volume_of(np.int16), **GEOMETRY)
    for name in ["v.nrrd", "v.mha"]:
        voluna.write(tmp_path / name, volume_of(np.int16), **GEOMETRY)
        np.testing.assert_allclose(voluna.read(tmp_path / name).affine, nib.load(str(tmp_path / "v.nii")).affine,
                                   atol=1e-5, err_msg=name)


def test_a_sheared_sform_survives_read_and_write_with_its_affine(tmp_path):
    nibabel_file(tmp_path / "tilted.nii", SHEARED, 1, np.diag([-1.0, 1.1, 2.5, 1.0]), 1)
    image = voluna.read(tmp_path / "tilted.nii")
    for name in ["out.nii", "out.nii.gz"]:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            voluna.write(tmp_path / name, voluna.filter(image.array, angle=90, samples=1, steps=1),
                         affine=image.affine)
        written = nib.load(str(tmp_path / name)).header
        np.testing.assert_array_equal(written.get_sform(), nib.load(str(tmp_path / "tilted.nii")).header.get_sform())
        assert int(written["sform_code"]) == 1
        np.testing.assert_allclose(voluna.read(tmp_path / name).affine, SHEARED, atol=1e-5)
    # Other formats hold no shear: they say so, and keep the rest.
    with pytest.warns(UserWarning, match="holds no shear"):
        voluna.write(tmp_path / "out.nrrd", image.array, affine=image.affine)
    nrrd, nifti = voluna.read(tmp_path / "out.nrrd"), voluna.read(tmp_path / "out.nii")
    for field in ["spacing", "origin", "direction"]:
        np.testing.assert_allclose(getattr(nrrd, field), getattr(nifti, field), atol=1e-5, err_msg=field)


def test_affines_that_place_no_volume_are_refused_and_write_nothing(tmp_path):
    volume = structured_volume((3, 4, 5))
    flat = np.eye(4)
    flat[2, 2] = 0
    projective = np.eye(4)
    projective[3, 0] = 0.5
    for affine, message in [(np.eye(3), "4 x 4"), (flat, "singular"), (projective, "0 0 0 1"),
                            (np.full((4, 4), np.nan), "finite"), ("diagonal", "4 x 4 matrix of numbers")]:
        with pytest.raises(ValueError, match=message):
            voluna.write(tmp_path / "out.nii", volume, affine=affine)
    with pytest.raises(ValueError, match="either affine or spacing"):
        voluna.write(tmp_path / "out.nii", volume, affine=np.eye(4), spacing=(1.0, 1.0, 1.0))
    assert os.listdir(tmp_path) == []


def test_every_mricron_atlas_reads_with_nibabels_affine():
    assert len(ATLASES) == 13, "install mricron-data (scripts/setup.sh does)"
    for atlas in ATLASES:
        np.testing.assert_array_equal(voluna.read(atlas).affine, nib.load(str(atlas)).affine, err_msg=atlas.name)
