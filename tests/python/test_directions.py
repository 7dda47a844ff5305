"""voluna.directions against the direction field of the C++ tests' plain
implementation, in the package's [z, y, x, (x, y, z)] layout."""

import numpy as np
import pytest

import voluna
from conftest import structured_volume


@pytest.mark.parametrize("shape, samples, angle, preserve_edges, backend", [
    ((5, 7, 9), 3, 30, False, "auto"),
    ((6, 4, 8), 2, 20, True, "cpu"),
    ((4, 6, 5), 5, 45, False, "cpu-reference"),
])
def test_field_is_the_plain_implementations(naive_field, shape, samples, angle, preserve_edges,
                                            backend):
    volume = structured_volume(shape, seed=7)
    field = voluna.directions(volume, samples, angle, preserve_edges=preserve_edges, backend=backend)
    assert field.dtype == np.float32 and field.shape == shape + (3,)
    expected = naive_field(volume.astype(np.float32) / np.float32(255), samples, angle, preserve_edges)
    np.testing.assert_array_equal(field, expected)


def test_a_volume_constant_along_x_gives_x():
    # Ramps across, constant along x: only lines along x keep one value.
    z, y = np.indices((15, 15))
    section = (10 * z + 7 * y).astype(np.uint8)
    volume = np.repeat(section[:, :, np.newaxis], 21, axis=2)
    field = voluna.directions(volume, samples=3, angle=10)
    np.testing.assert_allclose(np.linalg.norm(field, axis=-1), 1.0, rtol=1e-6)
    np.testing.assert_allclose(np.abs(field[..., 0]), 1.0, rtol=1e-6)
    # The same field whatever the memory order of the input.
    np.testing.assert_array_equal(voluna.directions(np.asfortranarray(volume), samples=3, angle=10),
                                  field)
