"""The filter and its direction field on numpy arrays."""

from __future__ import annotations

import operator
import warnings
from typing import Any, Callable, Optional, Sequence, Tuple

import numpy as np

from . import _voluna
from ._dask import denoise_dask, filter_dask, is_dask_array
from ._progress import ProgressArg, make_progress

# The voxel types the compiled core takes as they are.
_CORE_TYPES = frozenset(np.dtype(t) for t in (np.uint8, np.int8, np.uint16, np.int16, np.uint32,
                                              np.int32, np.float32, np.float64))
_INT32 = np.iinfo(np.int32)
_UINT32 = np.iinfo(np.uint32)


def _whole(name: str, value: Any) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise ValueError("%s expects a whole number, got %r" % (name, value)) from None
    # Far out of every parameter's range either way; the core says which range.
    return max(-2**62, min(2**62, number))


def _core_type(dtype: np.dtype, value_range: Callable[[], Tuple[int, int]],
               exact_half: bool) -> np.dtype:
    """The core type that holds every value exactly; `value_range` gives the
    smallest and largest value, asked for only for 64-bit integers."""
    dtype = dtype.newbyteorder("=")
    if dtype in _CORE_TYPES:
        return dtype
    if dtype.kind in "iu":
        # 64-bit integers: the mapping works in double precision, so values
        # within 32 bits lose nothing by the narrower type.
        low, high = value_range()
        if _INT32.min <= low and high <= _INT32.max:
            return np.dtype(np.int32)
        if 0 <= low and high <= _UINT32.max:
            return np.dtype(np.uint32)
        raise ValueError("%s volumes with values beyond 32 bits are not supported (found %d to %d); "
                         "convert with volume.astype(numpy.float64)" % (dtype, low, high))
    # float16 widens exactly (to float64 for the filter, whose mapping is in
    # double precision: one rounding back); long double narrows to what that
    # mapping can use anyway.
    if exact_half and dtype == np.float16:
        return np.dtype(np.float32)
    return np.dtype(np.float64)


def _check_type_and_shape(dtype: np.dtype, shape: Tuple[int, ...]) -> None:
    kind = dtype.kind
    if kind == "c":
        raise ValueError("complex volumes are not supported (dtype %s); pass numpy.abs(volume) or "
                         "volume.real" % dtype)
    if kind == "b":
        raise ValueError("boolean volumes are not supported; pass volume.astype(numpy.uint8) * 255")
    if kind not in "iuf":
        raise ValueError("the volume must hold real numbers, got dtype %s" % dtype)
    if len(shape) not in (2, 3):
        raise ValueError("the volume must be 3D [z, y, x], or 2D [y, x] for one slice; got %d "
                         "dimensions (shape %s)" % (len(shape), shape))


def _numpy_range(array: np.ndarray) -> Tuple[int, int]:
    return (int(array.min()), int(array.max())) if array.size else (0, 0)


def _as_volume(volume: Any, exact_half: bool = False) -> Tuple[np.ndarray, bool]:
    """The volume as a C-contiguous [z, y, x] array of a core type (no copy
    where it already is one), and whether it was a single 2D slice."""
    array = np.asarray(volume)
    _check_type_and_shape(array.dtype, array.shape)
    single_slice = array.ndim == 2
    if single_slice:
        array = array[np.newaxis]
    core = _core_type(array.dtype, lambda: _numpy_range(array), exact_half)
    return np.ascontiguousarray(array, dtype=core), single_slice


def _wants_float(dtype: Any) -> bool:
    if dtype is None:
        return False
    try:
        if np.dtype(dtype) == np.float32:
            return True
    except TypeError:
        pass
    raise ValueError("dtype must be None (the input's own type) or numpy.float32, got %r" % (dtype,))


def _run(call: Callable[..., Any], progress: ProgressArg, *args: Any, **kwargs: Any) -> Any:
    callback, close = make_progress(progress)
    try:
        return call(*args, progress=callback, **kwargs)
    finally:
        close()


def filter(volume: np.ndarray, samples: int = 5, steps: int = 5, angle: int = 5, *,
           preserve_edges: bool = False, backend: str = "auto", threads: int = 0,
           progress: ProgressArg = None, dtype: Optional[Any] = None) -> np.ndarray:
    """Smooth a volume along its own structure.

    For every voxel the filter searches a fixed set of directions for the one
    along which the volume varies least over a short line through the voxel,
    then averages the volume along the field of those directions. The same
    filter as the ``voluna-filter`` command line, with the same parameters.

    Parameters
    ----------
    volume : numpy.ndarray or dask.array.Array
        The volume, indexed ``[z, y, x]``; a 2D ``[y, x]`` array is one slice.
        Any real integer or float type, in any memory order. A C-contiguous
        uint8 or float32 array is used without a copy. A dask array gives a
        lazy dask array, filtered chunk by chunk with the chunks grown by the
        filter's reach, identical to the whole-array result; for types other
        than uint8 the whole array's value range is computed first.
    samples : int, optional
        Samples taken on each side of a voxel to score a direction, 0 to 1000.
    steps : int, optional
        Integration steps against and along the direction field, 0 to 1000.
    angle : int, optional
        Angle step of the direction set in whole degrees, 1 to 180
        (5 gives 2592 directions).
    preserve_edges : bool, optional
        Score each line against the voxel's own value, so the filter does not
        average across edges. Off by default, which reproduces the original
        filter byte for byte.
    backend : {"auto", "cpu", "cpu-reference", "cuda"}, optional
        ``"auto"`` picks CUDA when a usable device exists, else the CPU; a
        GPU run that fails (too little free GPU memory, a driver fault) is
        redone on the CPU with a ``RuntimeWarning``. ``"cuda"`` raises
        RuntimeError instead.
    threads : int, optional
        CPU threads, 0 for every core.
    progress : None, bool or callable, optional
        A callable ``progress(stage, fraction)`` is called from the calling
        thread with ``stage`` ``"vectorfield"`` or ``"filtering"`` and a
        fraction that grows to 1.0 in each stage. ``True`` draws a tqdm bar
        (a plain line on standard error without tqdm). Not used for dask
        arrays: dask's own diagnostics show their progress.
    dtype : None or numpy.float32, optional
        ``None`` returns the input's type and value range: uint8 gives exactly
        the bytes ``voluna-filter`` writes; any other type is mapped linearly
        from its value range (over finite values) onto the filter's scale and
        back, rounded to nearest (halves away from zero) and clamped for
        integers, as ``voluna-filter --output-type input`` does.
        ``numpy.float32`` returns the filter's result ``r`` on the input's
        scale without rounding: ``r * 255`` for uint8, ``min + r * (max -
        min)`` otherwise.

    Returns
    -------
    numpy.ndarray or dask.array.Array
        The filtered volume, of the input's shape.

    Raises
    ------
    ValueError
        Bad parameters, shapes (4D, empty) or types (complex, boolean).
    RuntimeError
        The backend asked for cannot run here (e.g. ``"cuda"`` without a
        GPU), or the GPU run of ``backend="cuda"`` failed.
    MemoryError
        Too little memory for the filter's arrays.

    Warns
    -----
    RuntimeWarning
        The GPU run of ``backend="auto"`` failed and the CPU did the run.
    KeyboardInterrupt
        Ctrl-C: the run stops within a second and nothing is returned.

    Notes
    -----
    The GIL is released while the filter runs.

    Examples
    --------
    >>> import numpy, voluna
    >>> noisy = numpy.random.default_rng(0).integers(0, 256, (16, 16, 16), dtype=numpy.uint8)
    >>> voluna.filter(noisy, angle=30).shape
    (16, 16, 16)
    """
    float_result = _wants_float(dtype)
    if is_dask_array(volume):
        return _filter_dask(volume, _whole("samples", samples), _whole("steps", steps),
                            _whole("angle", angle), bool(preserve_edges), _backend(backend),
                            _whole("threads", threads), float_result)
    array, single_slice = _as_volume(volume)
    result, notices = _run(_voluna.filter, progress, array, _whole("samples", samples),
                           _whole("steps", steps), _whole("angle", angle), bool(preserve_edges),
                           _backend(backend), _whole("threads", threads),
                           float_result=float_result)
    for notice in notices:
        warnings.warn(notice, RuntimeWarning, stacklevel=2)
    if not float_result:
        result = result.astype(np.asarray(volume).dtype, copy=False)
    return result[0] if single_slice else result


def denoise(volume: np.ndarray, noise: Optional[float] = None, *,
            spacing: Sequence[float] = (1.0, 1.0, 1.0), backend: str = "auto", threads: int = 0,
            progress: ProgressArg = None, dtype: Optional[Any] = None) -> np.ndarray:
    """Take the noise out of a volume, following its structure.

    Each voxel is averaged with the voxels around it and along the direction
    set's lines through it that a first, patch-wise pass finds alike. The
    same denoiser as ``voluna-filter --denoise``.

    Parameters
    ----------
    volume : numpy.ndarray or dask.array.Array
        The volume, indexed ``[z, y, x]``; a 2D ``[y, x]`` array is one slice.
        Any real integer or float type, in any memory order. A dask array
        gives a lazy dask array identical to the whole-array result: its
        noise is measured once, slab by slab, and each chunk is denoised
        grown by the denoiser's reach.
    noise : float, optional
        The noise's standard deviation in the volume's own units. ``None``
        measures it (see :func:`estimate_noise`); magnitude images with
        Rician noise are recognised and their results taken back to the
        signal either way.
    spacing : sequence of 3 floats, optional
        Distance between voxel centres along x, y and z (the order
        ``voluna.read`` gives ``Image.spacing`` in); neighbourhoods are
        measured in it, so slices 2.5 times as thick are reached 2.5 times
        less far.
    backend, threads, progress, dtype
        As in :func:`filter`.

    Returns
    -------
    numpy.ndarray
        The denoised volume, of the input's shape.

    Examples
    --------
    >>> import numpy, voluna
    >>> noisy = numpy.random.default_rng(0).normal(100, 10, (16, 16, 16)).astype(numpy.float32)
    >>> voluna.denoise(noisy, spacing=(1, 1, 2)).shape
    (16, 16, 16)
    """
    float_result = _wants_float(dtype)
    if noise is None:
        level = -1.0
    else:
        level = float(noise)
        if not np.isfinite(level) or level < 0:
            raise ValueError(f"noise must be a finite standard deviation of at least 0, got {noise!r}")
    steps = tuple(float(s) for s in spacing)
    if len(steps) != 3:
        raise ValueError(f"spacing takes 3 lengths (x, y, z), got {len(steps)}")
    if any(not np.isfinite(s) or s <= 0 for s in steps):
        raise ValueError(f"spacing takes 3 finite lengths above 0, got {tuple(spacing)!r}")
    if is_dask_array(volume):
        return _denoise_dask(volume, level, steps, _backend(backend), _whole("threads", threads), float_result)
    array, single_slice = _as_volume(volume)
    result, notices = _run(_voluna.denoise, progress, array, level, list(steps), _backend(backend),
                           _whole("threads", threads), float_result=float_result)
    for notice in notices:
        warnings.warn(notice, RuntimeWarning, stacklevel=2)
    if not float_result:
        result = result.astype(np.asarray(volume).dtype, copy=False)
    return result[0] if single_slice else result


def estimate_noise(volume: np.ndarray) -> float:
    """The standard deviation of a volume's noise, in its own units.

    Measured as :func:`denoise` measures it: the spread of each voxel's
    difference from its neighbours where the volume's local mean changes
    least, away from the floor of magnitude images, whose Rician noise
    reads low there.

    >>> import numpy, voluna
    >>> noisy = numpy.random.default_rng(0).normal(100, 10, (32, 32, 32))
    >>> round(voluna.estimate_noise(noisy))
    10
    """
    if is_dask_array(volume):
        volume = np.asarray(volume)
    array, _ = _as_volume(volume)
    sigma, _rician = _voluna.estimate_noise(array)
    return float(sigma)


def directions(volume: np.ndarray, samples: int = 5, angle: int = 5, *,
               preserve_edges: bool = False, backend: str = "auto", threads: int = 0,
               progress: ProgressArg = None) -> np.ndarray:
    """The direction the filter follows at each voxel.

    The first stage of :func:`filter` alone: at each voxel, the unit
    direction along which the volume varies least, a structure-orientation
    field of its own use (fibres, vessels). Opposite directions are the same
    line; which of the two is given follows the filter's direction table.

    Parameters
    ----------
    volume : numpy.ndarray
        The volume, indexed ``[z, y, x]``; a 2D ``[y, x]`` array is one slice.
        Any real integer or float type, in any memory order.
    samples : int, optional
        Samples taken on each side of a voxel to score a direction, 0 to 1000.
    angle : int, optional
        Angle step of the direction set in whole degrees, 1 to 180.
    preserve_edges : bool, optional
        Score each line against the voxel's own value, as in :func:`filter`.
    backend : {"auto", "cpu", "cpu-reference"}, optional
        The field is computed on the CPU; ``"cuda"`` raises RuntimeError.
    threads : int, optional
        CPU threads, 0 for every core.
    progress : None, bool or callable, optional
        As in :func:`filter`, with the one stage ``"vectorfield"``.

    Returns
    -------
    numpy.ndarray
        float32 of shape ``volume.shape + (3,)``: the unit direction
        ``(x, y, z)`` at each voxel. Note the component order: x first, while
        the array itself is indexed ``[z, y, x]``.

    Raises
    ------
    ValueError, RuntimeError, KeyboardInterrupt
        As in :func:`filter`.
    """
    array, single_slice = _as_volume(volume)
    result = _run(_voluna.directions, progress, array, _whole("samples", samples),
                  _whole("angle", angle), bool(preserve_edges), _backend(backend),
                  _whole("threads", threads))
    return result[0] if single_slice else result


def _lazily(run: Callable[..., Any], volume: Any) -> Any:
    """`run(volume3d, core_type, restore_type)` on a 2D or 3D dask array."""
    import dask

    _check_type_and_shape(volume.dtype, volume.shape)
    single_slice = volume.ndim == 2
    if single_slice:
        volume = volume[np.newaxis]
    core = _core_type(volume.dtype,
                      lambda: tuple(int(v) for v in dask.compute(volume.min(), volume.max())),
                      exact_half=False)
    result = run(volume, core, volume.dtype)
    return result[0] if single_slice else result


def _filter_dask(volume: Any, samples: int, steps: int, angle: int, preserve_edges: bool,
                 backend: str, threads: int, float_result: bool) -> Any:
    return _lazily(lambda v, core, restore: filter_dask(v, samples, steps, angle, preserve_edges, backend,
                                                        threads, float_result, core, restore), volume)


def _backend(backend: Any) -> str:
    if not isinstance(backend, str):
        raise ValueError("backend expects auto, cpu, cpu-reference or cuda, got %r" % (backend,))
    return backend


def _denoise_dask(volume: Any, noise: float, spacing: Tuple[float, float, float], backend: str,
                  threads: int, float_result: bool) -> Any:
    return _lazily(lambda v, core, restore: denoise_dask(v, noise, spacing, backend, threads, float_result,
                                                         core, restore), volume)
