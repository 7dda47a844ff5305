"""Voluna: smooth 3D scalar volumes along their own structure.

Arrays are indexed ``[z, y, x]``, as in scikit-image, napari and SimpleITK.

Functions
---------
filter
    The structure-following filter, numpy array in, numpy array out.
directions
    The direction the filter follows at each voxel, a structure-orientation field.
read, write
    Volumes from and to NIfTI, NRRD, MetaImage, TIFF and DICOM series, with
    their geometry, through Voluna's own checked loading and writing.
list_series
    The DICOM series of a DICOMDIR or a folder, to choose one to read.

Examples
--------
>>> import voluna
>>> image = voluna.read("ct.nii.gz")                          # doctest: +SKIP
>>> smooth = voluna.filter(image.array, preserve_edges=True)  # doctest: +SKIP
>>> voluna.write("smooth.nii.gz", smooth, spacing=image.spacing, origin=image.origin,
...              direction=image.direction)                   # doctest: +SKIP
"""

from ._filter import denoise, directions, estimate_noise, filter
from ._io import Image, Series, list_series, read, write

__all__ = ["Image", "Series", "denoise", "directions", "estimate_noise", "filter", "list_series", "read", "write"]

# help() and tracebacks name the package, not its private modules.
for _public in (Image, Series, directions, filter, list_series, read, write):
    _public.__module__ = __name__
del _public
