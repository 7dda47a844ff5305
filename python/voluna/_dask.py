"""voluna.filter on dask arrays: a lazy result, filtered brick by brick.

Every output voxel depends only on input voxels within the filter's reach, so
each chunk, grown by the reach into its neighbours (map_overlap with
boundary='none': nothing is invented beyond the volume's faces), gives its
own voxels exactly as one whole-array call would.
"""

from __future__ import annotations

from typing import Any, List, Tuple

import numpy as np

from . import _voluna


def is_dask_array(volume: Any) -> bool:
    module = type(volume).__module__
    return module.startswith("dask.") and hasattr(volume, "map_blocks")


def _axis_chunks(chunks: Tuple[int, ...], reach: int) -> Tuple[int, ...]:
    """Chunks along one axis, none smaller than the reach unless one spans the axis."""
    if len(chunks) == 1 or min(chunks) >= reach:
        return chunks
    size, length = max(max(chunks), reach), sum(chunks)
    merged: List[int] = [size] * (length // size)
    rest = length - size * len(merged)
    if rest:
        if merged and rest < reach:
            merged[-1] += rest
        else:
            merged.append(rest)
    return tuple(merged)


def _finite_range(array) -> Tuple[float, float]:
    import dask.array as da

    if array.dtype.kind == "f":
        finite = da.where(da.isfinite(array), array, np.nan)
        low, high = da.compute(da.nanmin(finite), da.nanmax(finite))
        if np.isnan(low):  # nothing finite: the mapping's [0, 0]
            return 0.0, 0.0
        return float(low), float(high)
    low, high = da.compute(array.min(), array.max())
    return float(low), float(high)


def _prepared(volume, backend: str, threads: int, core_type):
    """The options checked before any chunk runs, the volume in the core's
    type, and the whole volume's range, so every chunk maps its values alike."""
    _voluna.check_options(backend, threads)
    array = volume.astype(core_type) if volume.dtype != core_type else volume
    if array.dtype == np.uint8:
        return array, 0.0, 255.0
    low, high = _finite_range(array)
    return array, low, high


def filter_dask(volume, samples: int, steps: int, angle: int, preserve_edges: bool, backend: str,
                threads: int, float_result: bool, core_type, restore_type):
    """The lazy counterpart of voluna.filter; `volume` is already 3D [z, y, x]."""
    import dask.array as da

    reach = _voluna.filter_reach(samples, steps, angle, preserve_edges)
    array, low, high = _prepared(volume, backend, threads, core_type)
    given_chunks = array.chunks
    array = array.rechunk(tuple(_axis_chunks(c, reach) for c in array.chunks))
    whole = list(array.shape)
    out_type = np.dtype(np.float32) if float_result else array.dtype

    def depth_of(margin):
        # Only axes cut into several chunks have neighbours to overlap.
        return {axis: (margin if len(c) > 1 else 0) for axis, c in enumerate(array.chunks)}

    def placed(depth, block_info):
        """Interior bounds of a chunk and the start of its grown block."""
        interior = block_info[None]["array-location"]
        start = [max(0, lo - depth[axis]) for axis, (lo, _) in enumerate(interior)]
        return ([lo for lo, _ in interior], [hi for _, hi in interior], start)

    on_cpu = backend in ("cpu", "cpu-reference") or (backend == "auto" and not _voluna.cuda_usable())
    if on_cpu:
        # Two stages, so that every voxel is searched once: the directions of
        # each chunk from the chunk grown by samples + 1, then each chunk's
        # result from its neighbours' directions (grown by steps) and the
        # volume grown by steps + 1. One stage would search each chunk grown
        # by the steps again.
        search_depth = depth_of(samples + 1)
        field_depth, volume_depth = depth_of(steps), depth_of(steps + 1)

        def search(block, block_info=None):
            lo, hi, start = placed(search_depth, block_info)
            return _voluna.search_brick(np.ascontiguousarray(block), start, whole, lo, hi, low, high,
                                        samples, steps, angle, preserve_edges, backend, threads)

        def integrate(block, field, block_info=None):
            lo, hi, start = placed(volume_depth, block_info)
            field_start = [max(0, a - field_depth[axis]) for axis, a in enumerate(lo)]
            return _voluna.integrate_brick(np.ascontiguousarray(block), start,
                                           np.ascontiguousarray(field), field_start, whole, lo, hi,
                                           low, high, samples, steps, angle, preserve_edges, backend,
                                           threads, float_result)

        field = da.map_overlap(search, array, depth=search_depth, boundary="none", trim=False,
                               dtype=np.uint16, chunks=array.chunks,
                               meta=np.empty((0, 0, 0), np.uint16))
        result = da.map_overlap(integrate, array, field, depth=[volume_depth, field_depth],
                                boundary="none", trim=False, dtype=out_type, chunks=array.chunks,
                                meta=np.empty((0, 0, 0), out_type))
    else:
        depth = depth_of(reach)

        def brick(block, block_info=None):
            lo, hi, start = placed(depth, block_info)
            return _voluna.filter_brick(np.ascontiguousarray(block), start, whole, lo, hi, low, high,
                                        samples, steps, angle, preserve_edges, backend, threads,
                                        float_result)

        result = da.map_overlap(brick, array, depth=depth, boundary="none", trim=False,
                                dtype=out_type, chunks=array.chunks,
                                meta=np.empty((0, 0, 0), out_type))
    if result.chunks != given_chunks:
        # The caller's chunks back (zarr, for one, needs regular ones).
        result = result.rechunk(given_chunks)
    if not float_result and restore_type != out_type:
        result = result.astype(restore_type)
    return result


def denoise_dask(volume, noise: float, spacing, backend: str, threads: int, float_result: bool,
                 core_type, restore_type):
    """The lazy counterpart of voluna.denoise; `volume` is already 3D [z, y, x].

    The noise is measured once over the whole volume, slab by slab, and
    every chunk takes that one estimate, so the result equals the
    whole-array call's for any chunking.
    """
    import dask.array as da

    # Runs check a box against the widest axis's reach, as streamed runs grow their bricks.
    reach = [max(_voluna.denoise_reach(list(spacing)))] * 3
    array, low, high = _prepared(volume, backend, threads, core_type)
    # Slabs of whole slices with two of context either side, as a streamed run reads them.
    slabs = _voluna.NoiseSlabs(list(array.shape), low, high)
    depth_z = max(1, array.chunks[0][0])
    for z in range(0, array.shape[0], depth_z):
        z0, z1 = max(0, z - 2), min(array.shape[0], z + depth_z + 2)
        slab = np.ascontiguousarray(array[z0:z1].compute())
        slabs.add(slab, z0, z, min(array.shape[0], z + depth_z))
    sigma, rician, floor = slabs.finish()
    given_chunks = array.chunks
    array = array.rechunk(tuple(_axis_chunks(c, r) for c, r in zip(array.chunks, reach)))
    whole = list(array.shape)
    out_type = np.dtype(np.float32) if float_result else array.dtype
    depth = {axis: (reach[axis] if len(c) > 1 else 0) for axis, c in enumerate(array.chunks)}

    def brick(block, block_info=None):
        interior = block_info[None]["array-location"]
        start = [max(0, lo - depth[axis]) for axis, (lo, _) in enumerate(interior)]
        return _voluna.denoise_brick(np.ascontiguousarray(block), start, whole,
                                     [lo for lo, _ in interior], [hi for _, hi in interior], low, high,
                                     noise, list(spacing), sigma, rician, floor, backend, threads,
                                     float_result)

    result = da.map_overlap(brick, array, depth=depth, boundary="none", trim=False, dtype=out_type,
                            chunks=array.chunks, meta=np.empty((0, 0, 0), out_type))
    if result.chunks != given_chunks:
        result = result.rechunk(given_chunks)
    if not float_result and restore_type != out_type:
        result = result.astype(restore_type)
    return result
