"""DICOM series in Python: voluna.list_series and voluna.read(series=) on
pydicom's disc and on folders written with pydicom, and the length unit of
microscopy volumes."""

import os
import warnings
from pathlib import Path

import numpy as np
import pytest

import voluna

pydicom = pytest.importorskip("pydicom")
from pydicom.dataset import Dataset, FileMetaDataset  # noqa: E402
from pydicom.uid import ExplicitVRLittleEndian  # noqa: E402

DISC = Path(pydicom.__file__).parent / "data" / "test_files" / "dicomdirtests"
CT_STORAGE = "1.2.840.10008.5.1.4.1.1.2"


def write_slice(path, series_uid, index, z, description, shape=(3, 4)):
    """One CT slice of a series, written by pydicom: pixel i holds 10 * index + i."""
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = CT_STORAGE
    meta.MediaStorageSOPInstanceUID = "%s.%d" % (series_uid, index)
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.SOPClassUID, ds.SOPInstanceUID = CT_STORAGE, meta.MediaStorageSOPInstanceUID
    ds.StudyInstanceUID, ds.SeriesInstanceUID = "1.2.826.0.1.3680043.2.1125.8", series_uid
    ds.Modality, ds.SeriesDescription, ds.SeriesNumber, ds.InstanceNumber = "CT", description, 3, index + 1
    ds.ImagePositionPatient = [0, 0, z]
    ds.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
    ds.PixelSpacing = [0.5, 0.5]
    ds.Rows, ds.Columns = shape
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 1
    ds.PixelData = (np.arange(shape[0] * shape[1], dtype=np.int16) + 10 * index).tobytes()
    ds.save_as(str(path), write_like_original=False)


def index_of_disc():
    """{Series Instance UID: images} as pydicom reads the disc's DICOMDIR."""
    counts, current = {}, None
    with warnings.catch_warnings():
        # pydicom 2 warns that it reads a DICOMDIR into a class of its own.
        warnings.simplefilter("ignore", DeprecationWarning)
        records = pydicom.dcmread(str(DISC / "DICOMDIR")).DirectoryRecordSequence
    for record in records:
        if record.DirectoryRecordType == "SERIES":
            current = record.SeriesInstanceUID
            counts[current] = 0
        elif record.DirectoryRecordType == "IMAGE":
            counts[current] += 1
    return counts


needs_disc = pytest.mark.skipif(not (DISC / "DICOMDIR").exists(), reason="pydicom's test files are not installed")


@needs_disc
def test_the_disc_lists_the_series_pydicom_finds():
    series = voluna.list_series(DISC / "DICOMDIR")
    assert {s.uid: s.images for s in series} == index_of_disc()
    assert all(isinstance(s, voluna.Series) and s.problem == "" for s in series)
    assert all(s.size[2] == s.images and s.size[:2] == (16, 16) for s in series)
    assert [s.uid for s in voluna.list_series(DISC)] == [s.uid for s in series]


@needs_disc
def test_series_picks_one_and_the_default_says_which():
    counts = index_of_disc()
    five = next(uid for uid, n in counts.items() if n == 5)
    image = voluna.read(DISC / "DICOMDIR", series=five)
    assert image.array.shape == (5, 16, 16)
    assert image.unit == "mm"
    # The largest series (7 images) has slices of different orientations.
    largest = max(counts, key=counts.get)
    with pytest.raises(OSError, match="series %s: belongs to a series whose slices have different" % largest):
        voluna.read(DISC / "DICOMDIR")
    with pytest.raises(OSError, match="holds no series 1.2.3"):
        voluna.read(DISC / "DICOMDIR", series="1.2.3")


def test_a_folder_of_two_series_and_a_file_that_aborts_gdcm(tmp_path):
    for k in range(2):
        write_slice(tmp_path / ("scout%d.dcm" % k), "1.2.826.0.1.3680043.2.1125.8.1", k, 4.0 * k, "Scout")
    for k in range(3):
        write_slice(tmp_path / ("axial%d.dcm" % k), "1.2.826.0.1.3680043.2.1125.8.2", k, 1.5 * k, "Axial")
    # GDCM asserts on this file; the interpreter must not go down with it.
    (tmp_path / "bad.dcm").write_bytes(b"\0" * 4 + b"\x04\0\0\0" + b"\0" * 4 + b"\x02\0\x10\0UI\x14\0"
                                       + b"1.2.840.10008.1.2.1\0" + b"\x08\0\x60\0CS\x02\0CT")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        series = voluna.list_series(tmp_path)
        image = voluna.read(tmp_path)
    assert sorted((s.description, s.images) for s in series) == [("Axial", 3), ("Scout", 2)]
    assert image.array.shape == (3, 3, 4)
    assert image.spacing == pytest.approx((0.5, 0.5, 1.5))
    np.testing.assert_array_equal(image.array[:, 0, 0], [0, 10, 20])
    messages = [str(w.message) for w in caught]
    assert any("holds 2 series; read 1.2.826.0.1.3680043.2.1125.8.2 (CT, 'Axial', 3 images)" in m for m in messages)
    assert any("bad.dcm could not be read: its reader was stopped by signal" in m for m in messages)
    scout = voluna.read(tmp_path, series="1.2.826.0.1.3680043.2.1125.8.1")
    assert scout.array.shape == (2, 3, 4)
    with pytest.raises(OSError, match="bad.dcm: could not be read: its reader was stopped by signal"):
        voluna.read(tmp_path / "bad.dcm")
    (tmp_path / "empty").mkdir()
    with pytest.raises(OSError, match="is a folder that holds no DICOM image series"):
        voluna.list_series(tmp_path / "empty")


@pytest.mark.parametrize("name", ["v.nii.gz", "v.nrrd", "v.tif"])
def test_micrometres_come_back_as_written(tmp_path, name):
    volume = (np.arange(24, dtype=np.uint16).reshape(2, 3, 4) * 7)
    voluna.write(tmp_path / name, volume, spacing=(0.25, 0.25, 2.0), unit="um")
    image = voluna.read(tmp_path / name)
    assert image.unit == "um"
    assert image.spacing == pytest.approx((0.25, 0.25, 2.0))
    np.testing.assert_array_equal(image.array, volume)


def test_an_unknown_unit_is_refused(tmp_path):
    with pytest.raises(ValueError, match="unit must be 'mm' or 'um'"):
        voluna.write(tmp_path / "v.nii", np.zeros((2, 2, 2), np.uint8), unit="furlong")
    assert os.listdir(tmp_path) == []
