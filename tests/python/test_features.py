"""The eigenvalue features of exact shapes."""

import math
import warnings

import numpy as np
import pytest

from kesra.local_geometry import LocalGeometry, features

NAN = math.nan
LN2, LN3 = math.log(2.0), math.log(3.0)
NAMES = ["linearity", "planarity", "scattering", "omnivariance", "anisotropy", "eigenentropy", "eigenvalue_sum",
         "change_of_curvature", "verticality"]
# Eigenvalues (ascending), normal, and the features in the order of NAMES.
SHAPES = [
    ((0, 0, 2), (1, 0, 0), (1, 0, 0, 0, 1, 0, 2, 0, 1)),  # a line
    ((-1e-9, 1, 1), (0, 0, 1), (0, 1, 0, 0, 1, LN2, 2, 0, 0)),  # a plane, rounded below zero
    ((2, 2, 2), (0, 0.6, 0.8), (0, 0, 1, 1 / 3, 0, LN3, 6, 1 / 3, 0.2)),  # an isotropic blob
    ((1, 2, 4), (0, 1, 0), (0.5, 0.25, 0.25, (8 / 343) ** (1 / 3), 0.75,
                            -sum(e / 7 * math.log(e / 7) for e in (1, 2, 4)), 7, 1 / 7, 1)),
    ((0, 0, 0), (0, 0, 1), (NAN, NAN, NAN, NAN, NAN, NAN, 0, NAN, 0)),  # neighbours at one spot
    ((NAN, NAN, NAN), (NAN, NAN, NAN), (NAN,) * 9),  # too few neighbours
]


def test_features_of_exact_shapes():
    values, normals, expected = (np.array(column, dtype=float) for column in zip(*SHAPES))
    geometry = LocalGeometry(values.astype(np.float32), normals.astype(np.float32), np.full(len(SHAPES), 16))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        found = features(geometry)
    assert list(found) == NAMES
    for name, column in zip(NAMES, expected.T):
        assert found[name].dtype == np.float32
        np.testing.assert_allclose(found[name], column, rtol=1e-6, atol=1e-7, equal_nan=True, err_msg=name)
    shaped = found["linearity"][:4] + found["planarity"][:4] + found["scattering"][:4]
    np.testing.assert_allclose(shaped, 1.0, rtol=1e-6)
    with pytest.raises(ValueError, match="ascending"):
        features(geometry._replace(eigenvalues=values[:, ::-1]))
    with pytest.raises(TypeError, match="LocalGeometry"):
        features((values, normals, None))
