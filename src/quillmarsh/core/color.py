"""Colour descriptions for the JPEG XL writer.

A :class:`ColorSpec` holds libjxl's enumeration numbers (``JxlWhitePoint``,
``JxlPrimaries``, ``JxlTransferFunction``, ``JxlRenderingIntent``) so that the
codec can hand them to libjxl unchanged.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Optional, Union

__all__ = [
    "ColorSpec",
    "parse_color",
    "known_colors",
    "JXL_TF_GAMMA",
]

# libjxl's JxlWhitePoint
WP_D65 = 1
WP_CUSTOM = 2
WP_E = 10
WP_DCI = 11
# libjxl's JxlPrimaries
PRIMARIES_SRGB = 1
PRIMARIES_CUSTOM = 2
PRIMARIES_2100 = 9
PRIMARIES_P3 = 11
# libjxl's JxlTransferFunction
TF_709 = 1
TF_UNKNOWN = 2
TF_LINEAR = 8
TF_SRGB = 13
TF_PQ = 16
TF_DCI = 17
TF_HLG = 18
JXL_TF_GAMMA = 65535
# libjxl's JxlRenderingIntent
RI_PERCEPTUAL = 0
RI_RELATIVE = 1
RI_SATURATION = 2
RI_ABSOLUTE = 3


@dataclass(frozen=True)
class ColorSpec:
    """A colour encoding in libjxl's enumeration numbers.

    ``gamma`` is used only when ``transfer`` is :data:`JXL_TF_GAMMA`; it is the
    exponent libjxl stores (for example 1/2.2 for a 2.2 display gamma).
    ``is_hdr`` marks a high-dynamic-range transfer, for which the writer keeps
    the original profile and defaults the intensity target to 10000 nits.
    """

    white_point: int = WP_D65
    primaries: int = PRIMARIES_SRGB
    transfer: int = TF_SRGB
    rendering_intent: int = RI_RELATIVE
    gamma: float = 0.0
    is_hdr: bool = False

    def __post_init__(self) -> None:
        if self.transfer == JXL_TF_GAMMA and not (0.0 < float(self.gamma) <= 1.0):
            raise ValueError(
                "ColorSpec: a gamma transfer needs 0 < gamma <= 1 (libjxl stores the "
                f"encoding exponent, e.g. 1/2.2); got {self.gamma!r}"
            )


_NAMED: Dict[str, ColorSpec] = {
    "srgb": ColorSpec(WP_D65, PRIMARIES_SRGB, TF_SRGB, RI_PERCEPTUAL),
    "linear-srgb": ColorSpec(WP_D65, PRIMARIES_SRGB, TF_LINEAR, RI_RELATIVE),
    "display-p3": ColorSpec(WP_D65, PRIMARIES_P3, TF_SRGB, RI_PERCEPTUAL),
    "linear-display-p3": ColorSpec(WP_D65, PRIMARIES_P3, TF_LINEAR, RI_RELATIVE),
    "dci-p3": ColorSpec(WP_DCI, PRIMARIES_P3, TF_DCI, RI_PERCEPTUAL),
    "rec709": ColorSpec(WP_D65, PRIMARIES_SRGB, TF_709, RI_PERCEPTUAL),
    "rec2020": ColorSpec(WP_D65, PRIMARIES_2100, TF_709, RI_PERCEPTUAL),
    "linear-rec2020": ColorSpec(WP_D65, PRIMARIES_2100, TF_LINEAR, RI_RELATIVE),
    "rec2100-pq": ColorSpec(WP_D65, PRIMARIES_2100, TF_PQ, RI_RELATIVE, is_hdr=True),
    "rec2100-hlg": ColorSpec(WP_D65, PRIMARIES_2100, TF_HLG, RI_RELATIVE, is_hdr=True),
    "gamma22-srgb": ColorSpec(WP_D65, PRIMARIES_SRGB, JXL_TF_GAMMA, RI_PERCEPTUAL, gamma=1 / 2.2),
}
_ALIASES = {
    "linear": "linear-srgb",
    "p3": "display-p3",
    "bt709": "rec709",
    "bt2020": "rec2020",
    "pq": "rec2100-pq",
    "hlg": "rec2100-hlg",
    "bt2100-pq": "rec2100-pq",
    "bt2100-hlg": "rec2100-hlg",
}


def known_colors() -> "list[str]":
    """The colour names :func:`parse_color` accepts (aliases excluded)."""
    return list(_NAMED)


def parse_color(color: Union[None, str, ColorSpec]) -> Optional[ColorSpec]:
    """Turn a writer's ``color`` argument into a :class:`ColorSpec` (or None).

    None means "no colour given" (the writer then tags sRGB for uint8 and
    linear sRGB for other sample types). Names are case-insensitive; ``_`` and
    spaces count as ``-``.
    """
    if color is None or isinstance(color, ColorSpec):
        return color
    if isinstance(color, str):
        key = color.strip().lower().replace("_", "-").replace(" ", "-")
        key = _ALIASES.get(key, key)
        try:
            return _NAMED[key]
        except KeyError:
            raise ValueError(
                f"unknown color {color!r}; known names: {', '.join(_NAMED)}"
            ) from None
    raise TypeError(
        f"color must be None, a ColorSpec or a colour name; got {type(color).__name__}"
    )
