"""Models of the example's factories."""

import math

from tessaro.modeling import model

from .devices import ring


@model(ring, settings={"radius": 10.0}, pdk_type="generic")
def ring_model(wavelength: float = 1.55, radius: float = 10.0, n_eff: float = 2.4) -> float:
    """Through-port transmission of an ideal lossless all-pass ring (a toy model)."""
    phase = 2 * math.pi * n_eff * 2 * math.pi * radius / wavelength
    return 1.0 - 0.9 * math.sin(phase / 2) ** 2
