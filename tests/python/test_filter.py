"""voluna.filter on numpy arrays: the command line's bytes, every memory
layout, the float result, refusals with the command line's messages, and a
GPU that fails."""

import warnings

import numpy as np
import pytest

import voluna
from conftest import structured_volume
from voluna import _voluna


@pytest.mark.parametrize("params, args", [
    ({}, []),
    ({"samples": 3, "steps": 2, "angle": 30, "preserve_edges": True},
     ["--samples", "3", "--steps", "2", "--angle", "30", "--preserve-edges"]),
    ({"samples": 0, "steps": 7, "angle": 45, "backend": "cpu-reference", "threads": 1},
     ["--samples", "0", "--steps", "7", "--angle", "45", "--backend", "cpu-reference",
      "--threads", "1"]),
])
def test_uint8_result_is_the_command_lines_bytes(command_line_filter, params, args):
    volume = structured_volume((11, 17, 13))
    before = volume.copy()
    result = voluna.filter(volume, **params)
    assert result.dtype == np.uint8 and result.shape == volume.shape
    np.testing.assert_array_equal(result, command_line_filter(volume, *args))
    np.testing.assert_array_equal(volume, before)


def test_a_2d_array_is_one_slice(command_line_filter):
    image = structured_volume((1, 19, 23))[0]
    result = voluna.filter(image, angle=20)
    assert result.shape == image.shape
    np.testing.assert_array_equal(result, command_line_filter(image[np.newaxis], "--angle", "20")[0])
    directions = voluna.directions(image, angle=20)
    assert directions.shape == image.shape + (3,)


def test_any_memory_order_gives_the_same_result():
    base = structured_volume((14, 12, 16), seed=3)
    expected = voluna.filter(base, angle=30)
    fortran = np.asfortranarray(base)
    np.testing.assert_array_equal(voluna.filter(fortran, angle=30), expected)
    # A strided view of a larger array, and an array with its axes reversed twice.
    padded = np.zeros((28, 12, 48), np.uint8)
    padded[::2, :, 1::3] = base
    view = padded[::2, :, 1::3]
    assert not view.flags.c_contiguous
    np.testing.assert_array_equal(voluna.filter(view, angle=30), expected)
    np.testing.assert_array_equal(voluna.filter(base.T.copy().T, angle=30), expected)
    # A negative stride is a different volume: the result must follow it.
    flipped = base[:, :, ::-1]
    np.testing.assert_array_equal(voluna.filter(flipped, angle=30),
                                  voluna.filter(flipped.copy(), angle=30))


def test_float32_result_of_bytes_is_the_unrounded_result():
    volume = structured_volume((9, 10, 11), seed=5)
    scaled = voluna.filter(volume, angle=30, dtype=np.float32)
    assert scaled.dtype == np.float32
    # The byte result truncates r * 255; the float result is r * 255 itself.
    np.testing.assert_array_equal(np.floor(scaled).astype(np.uint8), voluna.filter(volume, angle=30))
    assert np.any(scaled != np.floor(scaled))
    assert voluna.filter(volume, angle=30, dtype="float32").dtype == np.float32


def test_refused_parameters_carry_the_command_lines_messages(command_line_refusal):
    volume = np.zeros((2, 2, 2), np.uint8)
    for params, args in [
        ({"samples": -1}, ["--samples", "-1"]),
        ({"samples": 1001}, ["--samples", "1001"]),
        ({"steps": -3}, ["--steps", "-3"]),
        ({"angle": 0}, ["--angle", "0"]),
        ({"angle": 181}, ["--angle", "181"]),
        ({"backend": "gpu"}, ["--backend", "gpu"]),
    ]:
        with pytest.raises(ValueError) as refused:
            voluna.filter(volume, **params)
        # The keyword is the option's name without its dashes.
        assert str(refused.value) == command_line_refusal(*args).removeprefix("--")


@pytest.mark.parametrize("call, message", [
    (lambda v: voluna.filter(v, samples=2.5), "samples expects a whole number, got 2.5"),
    (lambda v: voluna.filter(v, threads=-1), "threads must be 0"),
    (lambda v: voluna.filter(v, angle=2**40), "angle step must be 1 to 180"),
    (lambda v: voluna.filter(v, samples=-10**30), "samples must be 0 to 1000"),
    (lambda v: voluna.filter(v, backend=None), "backend expects auto"),
    (lambda v: voluna.filter(v, dtype=np.int16), "dtype must be None"),
    (lambda v: voluna.filter(v, progress="yes"), "progress must be"),
    (lambda v: voluna.filter(v[np.newaxis]), r"3D \[z, y, x\].*4 dimensions"),
    (lambda v: voluna.filter(v[0, 0]), "1 dimensions"),
    (lambda v: voluna.filter(v.astype(np.complex64)), "complex volumes are not supported"),
    (lambda v: voluna.filter(v > 0), "boolean volumes"),
    (lambda v: voluna.filter(v.astype(object)), "real numbers"),
    (lambda v: voluna.filter(np.zeros((0, 4, 4), np.uint8)), "no voxels"),
    (lambda v: voluna.directions(v, angle=0), "angle step must be 1 to 180"),
    (lambda v: voluna.directions(np.zeros((3, 3, 3, 3))), "4 dimensions"),
])
def test_bad_input_is_a_value_error(call, message):
    with pytest.raises(ValueError, match=message):
        call(np.zeros((3, 4, 5), np.uint8))


def test_an_unusable_backend_is_a_runtime_error():
    if _voluna.cuda_usable():
        pytest.skip("a CUDA device is usable here")
    with pytest.raises(RuntimeError, match="CUDA"):
        voluna.filter(np.zeros((2, 2, 2), np.uint8), backend="cuda")
    with pytest.raises(RuntimeError, match="CPU only"):
        voluna.directions(np.zeros((2, 2, 2), np.uint8), backend="cuda")


@pytest.fixture
def failing_gpu():
    """Every run that would go to a GPU fails as one out of memory does."""
    _voluna._simulate_gpu_failure(True)
    try:
        yield
    finally:
        _voluna._simulate_gpu_failure(False)


def test_a_failed_gpu_run_falls_back_under_auto_and_raises_under_cuda(failing_gpu,
                                                                      command_line_filter):
    volume = structured_volume((10, 12, 14), seed=7)
    # The command line runs in a process of its own: no simulated failure there.
    expected = command_line_filter(volume, "--angle", "30", "--backend", "cpu")
    with pytest.warns(RuntimeWarning, match="GPU run failed.*simulated") as warned:
        result = voluna.filter(volume, angle=30)
    np.testing.assert_array_equal(result, expected)
    assert len(warned) == 1 and warned[0].filename == __file__
    assert "filtering on the CPU instead" in str(warned[0].message)
    with pytest.warns(RuntimeWarning, match="GPU run failed"):
        floats = voluna.filter(volume, angle=30, dtype=np.float32)
    np.testing.assert_array_equal(np.floor(floats).astype(np.uint8), expected)

    with pytest.raises(RuntimeError, match="GPUassert: out of memory"):
        voluna.filter(volume, angle=30, backend="cuda")
    # The CPU backends never go near a GPU.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        np.testing.assert_array_equal(voluna.filter(volume, angle=30, backend="cpu"), expected)
