"""Volumes that are not 8-bit: filtered at full precision in their own type
and range, as voluna-filter does with --output-type input."""

import numpy as np
import pytest

import voluna
from conftest import structured_volume


def ct_like(shape=(10, 12, 14)):
    """int16 in Hounsfield-like units, negatives included."""
    return (structured_volume(shape, seed=4).astype(np.int16) - 128) * 16 - 3


@pytest.mark.parametrize("dtype, args", [
    (np.int16, []),
    (np.uint16, ["--preserve-edges"]),
    (np.float64, ["--samples", "3"]),
    (np.float32, []),
    (np.int8, []),
    (np.uint32, []),
])
def test_own_type_result_is_the_command_lines(command_line_filter_typed, dtype, args):
    volume = ct_like()
    if dtype == np.uint16:
        volume = (volume.astype(np.int32) + 2000).astype(np.uint16)
    elif dtype == np.int8:
        volume = (volume // 64).astype(np.int8)
    elif dtype == np.uint32:
        volume = (volume.astype(np.int64) + 70000).astype(np.uint32)
    elif dtype in (np.float32, np.float64):
        volume = volume.astype(dtype) / 7.5
    params = {"preserve_edges": "--preserve-edges" in args,
              "samples": 3 if "--samples" in args else 5}
    result = voluna.filter(volume, angle=30, **params)
    assert result.dtype == volume.dtype and result.shape == volume.shape
    np.testing.assert_array_equal(result, command_line_filter_typed(volume, "--angle", "30", *args))
    float_result = voluna.filter(volume, angle=30, dtype=np.float32, **params)
    assert float_result.dtype == np.float32
    np.testing.assert_array_equal(
        float_result, command_line_filter_typed(volume, "--angle", "30", "--output-type", "float32",
                                                *args))


def test_int16_keeps_its_range_and_more_than_256_levels():
    volume = ct_like((16, 16, 16))
    result = voluna.filter(volume, angle=30)
    assert volume.min() <= result.min() and result.max() <= volume.max()
    assert result.min() < 0
    assert len(np.unique(result)) > 256
    # Rounded to nearest from the float result.
    exact = voluna.filter(volume, angle=30, dtype=np.float32)
    assert np.all(np.abs(result - exact.astype(np.float64)) <= 0.5 + 1e-3)
    # A constant volume maps to 0 and back to its own value.
    np.testing.assert_array_equal(voluna.filter(np.full((4, 5, 6), -1000, np.int16)), -1000)


def test_wider_and_odd_types_take_the_type_that_holds_their_values():
    volume = ct_like()
    as_int32 = voluna.filter(volume.astype(np.int32), angle=30)
    int64 = voluna.filter(volume.astype(np.int64), angle=30)
    assert int64.dtype == np.int64
    np.testing.assert_array_equal(int64, as_int32)
    big = (volume.astype(np.int64) + 2**31).astype(np.uint64)
    np.testing.assert_array_equal(voluna.filter(big, angle=30),
                                  voluna.filter(big.astype(np.uint32), angle=30).astype(np.uint64))
    with pytest.raises(ValueError, match="beyond 32 bits"):
        voluna.filter(volume.astype(np.int64) * 2**33)
    half = (volume / 100).astype(np.float16)
    result = voluna.filter(half, angle=30)
    assert result.dtype == np.float16
    np.testing.assert_array_equal(result, voluna.filter(half.astype(np.float64), angle=30).astype(np.float16))
    swapped = volume.astype(">i2")
    np.testing.assert_array_equal(voluna.filter(swapped, angle=30), voluna.filter(volume, angle=30))


def test_directions_of_any_type_follow_its_unit_scale():
    volume = ct_like()
    scaled = voluna.directions(volume.astype(np.float64) * 1000 + 5, angle=30)
    np.testing.assert_array_equal(voluna.directions(volume, angle=30), scaled)
