"""Voluna: smooth 3D scalar volumes along their own structure.

Arrays are indexed ``[z, y, x]``, as in scikit-image, napari and SimpleITK.

Functions
---------
filter
    The structure-following filter, numpy array in, numpy array out.
directions
    The direction the filter follows at each voxel, a structure-orientation field.
"""

from ._filter import directions, filter

__all__ = ["directions", "filter"]
