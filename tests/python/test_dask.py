"""voluna.filter on dask arrays: lazy, and identical to the whole-array call
for any chunking, on the threaded scheduler and on a distributed cluster."""

import dask
import dask.array as da
import numpy as np
import pytest

import voluna
from conftest import structured_volume
from test_dtypes import ct_like

PARAMS = {"samples": 2, "steps": 2, "angle": 30}


@pytest.mark.parametrize("chunks", [(8, 9, 10), (3, 30, 4), (30, 30, 30), (1, 1, 31), (16, 5, 7)])
def test_any_chunking_gives_the_whole_arrays_bytes(chunks):
    volume = structured_volume((17, 19, 23), seed=2)
    expected = voluna.filter(volume, **PARAMS)
    lazy = voluna.filter(da.from_array(volume, chunks=chunks), **PARAMS)
    assert isinstance(lazy, da.Array) and lazy.dtype == np.uint8 and lazy.shape == volume.shape
    assert lazy.chunks == da.from_array(volume, chunks=chunks).chunks
    np.testing.assert_array_equal(lazy.compute(scheduler="threads"), expected)


def test_other_types_use_the_whole_arrays_range():
    volume = ct_like((14, 15, 16))
    volume[0, 0, 0] = -30000  # one extreme voxel in one chunk sets every chunk's mapping
    lazy = voluna.filter(da.from_array(volume, chunks=7), **PARAMS)
    np.testing.assert_array_equal(lazy.compute(scheduler="threads"), voluna.filter(volume, **PARAMS))
    floats = volume.astype(np.float64) / 3
    floats[5, 5, 5] = np.nan
    floats[6, 6, 6] = np.inf
    lazy = voluna.filter(da.from_array(floats, chunks=(5, 8, 16)), dtype=np.float32, **PARAMS)
    np.testing.assert_array_equal(lazy.compute(scheduler="threads"),
                                  voluna.filter(floats, dtype=np.float32, **PARAMS))
    image = ct_like((1, 20, 21))[0].astype(np.int64)
    lazy = voluna.filter(da.from_array(image, chunks=6), **PARAMS)
    assert lazy.shape == image.shape and lazy.dtype == np.int64
    np.testing.assert_array_equal(lazy.compute(scheduler="threads"), voluna.filter(image, **PARAMS))


def test_a_zarr_volume_on_disk_in_and_out(tmp_path):
    zarr = pytest.importorskip("zarr")
    volume = structured_volume((20, 21, 22), seed=8)
    zarr.save_array(str(tmp_path / "in.zarr"), volume, chunks=(8, 8, 8))
    voluna.filter(da.from_zarr(str(tmp_path / "in.zarr")), threads=1, **PARAMS).to_zarr(
        str(tmp_path / "out.zarr"))
    np.testing.assert_array_equal(zarr.open(str(tmp_path / "out.zarr"))[:],
                                  voluna.filter(volume, **PARAMS))


def test_refusals_come_before_any_chunk_runs():
    lazy = da.zeros((8, 8, 8), dtype=np.uint8, chunks=4)
    with pytest.raises(ValueError, match="angle step"):
        voluna.filter(lazy, angle=0)
    with pytest.raises(ValueError, match="backend expects"):
        voluna.filter(lazy, backend="gpu")
    with pytest.raises(ValueError, match="complex"):
        voluna.filter(lazy.astype(np.complex64))
    if not voluna._voluna.cuda_usable():
        with pytest.raises(RuntimeError, match="CUDA"):
            voluna.filter(lazy, backend="cuda")


def test_a_local_cluster_of_two_processes_gives_the_same_bytes():
    distributed = pytest.importorskip("distributed")
    volume = structured_volume((20, 18, 22), seed=6)
    expected = voluna.filter(volume, **PARAMS)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        lazy = voluna.filter(da.from_array(volume, chunks=(10, 9, 11)), **PARAMS)
        result = client.compute(lazy).result()
        assert len(client.scheduler_info()["workers"]) == 2
    np.testing.assert_array_equal(result, expected)


def test_the_brick_calls_give_their_voxels_of_the_whole_call():
    # The one-stage call serves GPU chunks; the two stages serve CPU ones.
    from voluna import _voluna
    volume = structured_volume((15, 16, 17), seed=4)
    expected = voluna.filter(volume, **PARAMS)
    args = (PARAMS["samples"], PARAMS["steps"], PARAMS["angle"], False, "cpu", 1)
    lo, hi, whole = [4, 5, 6], [9, 12, 10], list(volume.shape)
    reach = _voluna.filter_reach(PARAMS["samples"], PARAMS["steps"], PARAMS["angle"], False)

    def grown(margin):
        start = [max(0, a - margin) for a in lo]
        stop = [min(n, b + margin) for b, n in zip(hi, whole)]
        return start, np.ascontiguousarray(volume[tuple(slice(a, b) for a, b in zip(start, stop))])

    interior = expected[tuple(slice(a, b) for a, b in zip(lo, hi))]
    start, block = grown(reach)
    np.testing.assert_array_equal(
        _voluna.filter_brick(block, start, whole, lo, hi, 0.0, 255.0, *args, False), interior)
    field_lo = [max(0, a - PARAMS["steps"]) for a in lo]
    field_hi = [min(n, b + PARAMS["steps"]) for b, n in zip(hi, whole)]
    start, block = grown(PARAMS["steps"] + PARAMS["samples"] + 1)  # the field box grown by samples + 1
    field = _voluna.search_brick(block, start, whole, field_lo, field_hi, 0.0, 255.0, *args)
    assert field.dtype == np.uint16 and field.shape == tuple(b - a for a, b in zip(field_lo, field_hi))
    start, block = grown(PARAMS["steps"] + 1)
    np.testing.assert_array_equal(
        _voluna.integrate_brick(block, start, field, field_lo, whole, lo, hi, 0.0, 255.0, *args, False),
        interior)
    with pytest.raises(ValueError, match="uint16"):
        _voluna.integrate_brick(block, start, field.astype(np.int32), field_lo, whole, lo, hi, 0.0, 255.0,
                                *args, False)


def test_a_chunk_whose_gpu_run_fails_falls_back_like_a_whole_call():
    from voluna import _voluna
    volume = ct_like((12, 13, 14))
    expected = voluna.filter(volume, **PARAMS)
    lo, hi, whole = [3, 0, 5], [9, 13, 11], list(volume.shape)
    reach = _voluna.filter_reach(PARAMS["samples"], PARAMS["steps"], PARAMS["angle"], False)
    start = [max(0, a - reach) for a in lo]
    stop = [min(n, b + reach) for b, n in zip(hi, whole)]
    block = np.ascontiguousarray(volume[tuple(slice(a, b) for a, b in zip(start, stop))])
    low, high = float(volume.min()), float(volume.max())
    args = (PARAMS["samples"], PARAMS["steps"], PARAMS["angle"], False)
    _voluna._simulate_gpu_failure(True)
    try:
        with pytest.warns(RuntimeWarning, match="GPU run failed"):
            chunk = _voluna.filter_brick(block, start, whole, lo, hi, low, high, *args, "auto", 0, False)
        with pytest.raises(RuntimeError, match="GPUassert"):
            _voluna.filter_brick(block, start, whole, lo, hi, low, high, *args, "cuda", 0, False)
    finally:
        _voluna._simulate_gpu_failure(False)
    np.testing.assert_array_equal(chunk, expected[tuple(slice(a, b) for a, b in zip(lo, hi))])
