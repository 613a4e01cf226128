"""Image quality metrics.

``ssimulacra2(reference, distorted)`` is the SSIMULACRA 2 score of a
distorted image against its original::

    from quillmarsh.codecs import jxl
    from quillmarsh.metrics import ssimulacra2

    decoded = jxl.decode(jxl.encode(image, distance=2.0))
    score = ssimulacra2(image, decoded)
"""

from __future__ import annotations

from typing import Optional

import numpy.typing as npt

from quillmarsh.codecs import _jxl

__all__ = ["ssimulacra2"]


def ssimulacra2(reference: npt.ArrayLike, distorted: npt.ArrayLike, *, linear: bool = False,
                numthreads: Optional[int] = None) -> float:
    """The SSIMULACRA 2 score of `distorted` against `reference`.

    100 means identical; about 90 is visually lossless at 1:1, 70 high
    quality, 50 medium, 30 low; badly distorted images score below 0. The
    score is libjxl's ``ssimulacra2`` tool's, given the same pixels as PNG
    files (see the README's "Quality metric" section for how closely).

    Both images are arrays of one shape: ``(Y, X, 3)`` RGB, or ``(Y, X)`` (or
    ``(Y, X, 1)``) grey, scored as RGB with three equal channels, as the tool
    scores a grey PNG; at least 8x8 pixels. With alpha, ``(Y, X, 4)`` or
    ``(Y, X, 2)``, the colour is blended onto a dark and a light grey
    background (0.1 and 0.9, in the samples' encoding) and the lower of the
    two scores is returned, as the tool scores PNGs with alpha. Samples are sRGB: uint8, uint16,
    or float with 0..1 nominal (float16 and float64 are converted to float32).
    ``linear=True`` takes them as linear light instead (integer codes scaled
    to 0..1).

    The work runs in the extension without the interpreter lock, on
    `numthreads` of the shared worker threads (None: one per core); the
    score is the same for any count.

    Raises ValueError for shapes that differ or are not images, sizes below
    8x8, other dtypes, and NaN or infinite samples.
    """
    return _jxl._ssimulacra2(reference, distorted, linear=linear, numthreads=numthreads)
