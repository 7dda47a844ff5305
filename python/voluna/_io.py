"""Reading and writing volumes through Voluna's own checked io."""

from __future__ import annotations

import os
import warnings
from dataclasses import dataclass, field
from typing import Any, Optional, Sequence, Tuple, Union

import numpy as np

from . import _voluna
from ._filter import _as_volume

PathLike = Union[str, "os.PathLike[str]"]


@dataclass
class Image:
    """A volume read from a file, with the geometry that places it in space.

    Attributes
    ----------
    array : numpy.ndarray
        The voxels in their own type, indexed ``[z, y, x]``.
    spacing : tuple of 3 float
        Voxel size along x, y and z (the file's axis order, as SimpleITK's
        ``GetSpacing``; napari's ``scale`` is ``spacing[::-1]``).
    origin : tuple of 3 float
        Physical position (x, y, z) of the first voxel.
    direction : numpy.ndarray
        3 x 3 direction cosines; column j is the physical direction of axis
        j (x, y, z). The position of voxel ``array[k, j, i]`` is
        ``origin + direction @ (spacing * (i, j, k))``, in ITK's LPS
        millimetres, as Voluna shows the volume.
    affine : numpy.ndarray
        4 x 4 voxel-to-world matrix in nibabel's convention: RAS+ millimetres,
        ``affine @ (i, j, k, 1)`` for voxel ``array[k, j, i]``. For a NIfTI
        file it is the file's own sform (else its qform), shear included,
        as nibabel's ``img.affine``; elsewhere the geometry above turned
        into RAS. A sheared sform has no spacing, origin and direction of
        its own: those then follow the file's qform, as ITK reads it.
    """

    array: np.ndarray
    spacing: Tuple[float, float, float] = (1.0, 1.0, 1.0)
    origin: Tuple[float, float, float] = (0.0, 0.0, 0.0)
    direction: np.ndarray = field(default_factory=lambda: np.eye(3))
    affine: np.ndarray = field(default_factory=lambda: np.diag([-1.0, -1.0, 1.0, 1.0]))


def read(path: PathLike) -> Image:
    """Read a volume with Voluna's checked loading.

    Parameters
    ----------
    path : str or os.PathLike
        NIfTI (``.nii``, ``.nii.gz``), NRRD (``.nrrd``, ``.nhdr``), MetaImage
        (``.mha``, ``.mhd``), TIFF (``.tif``, ``.tiff``, one page per slice)
        or any one file of a DICOM series (the whole series is read).

    Returns
    -------
    Image
        The voxels in their own type, ``[z, y, x]``, and their geometry.

    Raises
    ------
    OSError
        The file is missing, unreadable, broken or holds what Voluna does not
        take (4D, colour, 2^31 voxels or more); the message names the file
        and the problem, as the command line's does.

    Warns
    -----
    UserWarning
        What a person should know about the file, e.g. an unusable spacing
        read as 1.
    """
    array, spacing, origin, direction, affine, notice = _voluna.read(os.fsdecode(path))
    if notice:
        warnings.warn(notice, stacklevel=2)
    return Image(array, spacing, origin, np.array(direction, dtype=np.float64),
                 np.array(affine, dtype=np.float64))


def _three(name: str, values: Any) -> list:
    try:
        numbers = [float(v) for v in np.asarray(values, dtype=np.float64).reshape(-1)]
    except (TypeError, ValueError):
        numbers = []
    if len(numbers) != 3 or not all(np.isfinite(numbers)):
        raise ValueError("%s must be 3 finite numbers (x, y, z), got %r" % (name, values))
    return numbers


def _affine(values: Any) -> list:
    try:
        matrix = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError("affine must be a 4 x 4 matrix of numbers, got %r" % (values,)) from None
    if matrix.shape != (4, 4):
        raise ValueError("affine must be a 4 x 4 matrix, got shape %s" % (matrix.shape,))
    return [float(v) for v in matrix.reshape(-1)]


def write(path: PathLike, array: np.ndarray, *, spacing: Optional[Sequence[float]] = None,
          origin: Optional[Sequence[float]] = None, direction: Optional[Any] = None,
          affine: Optional[Any] = None) -> None:
    """Write a volume with its geometry, in the format the name's extension picks.

    Parameters
    ----------
    path : str or os.PathLike
        ``.nii``, ``.nii.gz``, ``.nrrd``, ``.mha``, ``.mhd``, ``.tif`` or
        ``.raw`` (bare voxels with a MetaImage header beside them).
    array : numpy.ndarray
        The voxels, ``[z, y, x]`` (a 2D array is one slice), written in their
        own type.
    spacing, origin : sequence of 3 float, optional
        In (x, y, z) order, as :class:`Image` holds them.
    direction : 3 x 3 array_like, optional
        Direction cosines, column j for axis j; the identity by default.
    affine : 4 x 4 array_like, optional
        Instead of spacing, origin and direction: the voxel-to-world matrix
        of :attr:`Image.affine` (RAS+, nibabel's convention). A NIfTI result
        takes it as its sform exactly, shear included, and its nearest
        rotation and scaling as its qform (both with code 1). Other formats
        hold no shear: they take that qform, with a warning.

    Raises
    ------
    ValueError
        A name Voluna does not write (``.dcm``), an array it cannot hold, a
        spacing that is not positive, a direction matrix that is singular,
        an affine given with spacing, origin or direction, or one that is
        not a 4 x 4 matrix ending in the row 0 0 0 1 or spans no volume.
    OSError
        The file cannot be written. Writing is atomic: an existing file is
        replaced only by a complete new one.

    Warns
    -----
    UserWarning
        What the format cannot keep: a sheared affine written other than as
        NIfTI.
    """
    volume, _ = _as_volume(array, exact_half=True)
    if affine is not None:
        if spacing is not None or origin is not None or direction is not None:
            raise ValueError("give either affine or spacing, origin and direction, not both: the affine holds "
                             "all three")
        notice = _voluna.write(os.fsdecode(path), volume, [], [], [], affine=_affine(affine))
    else:
        sizes = _three("spacing", (1.0, 1.0, 1.0) if spacing is None else spacing)
        if min(sizes) <= 0:
            raise ValueError("spacing must be positive, got %r" % (spacing,))
        matrix = np.eye(3) if direction is None else np.asarray(direction, dtype=np.float64)
        if matrix.shape != (3, 3):
            raise ValueError("direction must be a 3 x 3 matrix, got shape %s" % (matrix.shape,))
        # A file with axes that span no volume places its voxels nowhere.
        if not np.all(np.isfinite(matrix)) or abs(np.linalg.det(matrix)) < 1e-6:
            raise ValueError("direction must be an invertible 3 x 3 matrix of finite numbers (axis "
                             "directions in its columns), got %r" % (matrix.tolist(),))
        notice = _voluna.write(os.fsdecode(path), volume, sizes,
                               _three("origin", (0.0, 0.0, 0.0) if origin is None else origin),
                               [float(v) for v in matrix.reshape(-1)])
    if notice:
        warnings.warn(notice, stacklevel=2)
