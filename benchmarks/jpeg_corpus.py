"""JPEGs of real photographs for the recompression benchmark.

The photographs are the sample images scikit-image ships in its wheel
(``pip install 'quillmarsh[bench]'``); Pillow saves each as one kind of JPEG
(baseline or progressive, chroma 4:2:0 / 4:2:2 / 4:4:4, grey, with EXIF, XMP
and an ICC profile) at a quality from 50 to 95. The corpus is rebuilt on
every run, so it needs no files of its own: 24 JPEGs in the full profile,
a cropped eight in the quick one.
"""

from __future__ import annotations

import dataclasses
import io
from pathlib import Path
from typing import Dict, List

import numpy as np

COLOUR = ["astronaut", "chelsea", "coffee", "rocket", "hubble_deep_field", "retina",
          "immunohistochemistry"]
GREY = ["camera", "coins", "moon", "grass", "brick", "gravel"]
QUALITIES = [50, 75, 90, 60, 85, 95, 70, 80]
PER_KIND = 3  # photographs per kind of JPEG


def _metadata() -> Dict[str, object]:
    from PIL import Image, ImageCms

    exif = Image.Exif()
    exif[0x010F] = "quillmarsh bench"  # Make
    exif[0x0110] = "corpus camera"  # Model
    exif[0x0112] = 1  # Orientation: as stored
    exif[0x0131] = "Pillow"  # Software
    xmp = (b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf='
           b'"http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description '
           b'xmlns:dc="http://purl.org/dc/elements/1.1/" dc:format="image/jpeg"/>'
           b"</rdf:RDF></x:xmpmeta>")
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    return dict(exif=exif.tobytes(), xmp=xmp, icc_profile=icc)


# kind -> (photographs, Pillow's save options)
KINDS = {
    "baseline 4:2:0": (COLOUR, dict(subsampling="4:2:0")),
    "baseline 4:2:2": (COLOUR, dict(subsampling="4:2:2")),
    "baseline 4:4:4": (COLOUR, dict(subsampling="4:4:4")),
    "progressive 4:2:0": (COLOUR, dict(subsampling="4:2:0", progressive=True)),
    "progressive 4:4:4": (COLOUR, dict(subsampling="4:4:4", progressive=True)),
    "EXIF+XMP+ICC 4:2:0": (COLOUR, dict(subsampling="4:2:0", metadata=True)),
    "grey baseline": (GREY, dict()),
    "grey progressive": (GREY, dict(progressive=True)),
}


@dataclasses.dataclass(frozen=True)
class Entry:
    name: str       # e.g. "coffee-progressive-420-q85"
    kind: str       # a key of KINDS
    photo: str
    quality: int
    path: Path


def available() -> str:
    """'' when the corpus can be built, else why not."""
    try:
        import PIL  # noqa: F401
        import skimage.data  # noqa: F401
    except ImportError as exc:
        return f"{exc.name} is not installed (pip install 'quillmarsh[bench]')"
    return ""


def _photo(name: str, crop: int) -> np.ndarray:
    import skimage.data

    img = np.ascontiguousarray(getattr(skimage.data, name)())
    if crop:
        y, x = (img.shape[0] - crop) // 2, (img.shape[1] - crop) // 2
        img = np.ascontiguousarray(img[max(y, 0):max(y, 0) + crop, max(x, 0):max(x, 0) + crop])
    return img


def build(folder: Path, quick: bool = False) -> List[Entry]:
    """Write the corpus into `folder` and describe it."""
    from PIL import Image

    meta = _metadata()
    crop = 160 if quick else 0
    photos: Dict[str, np.ndarray] = {}
    entries: List[Entry] = []
    n = 0
    for k, (kind, (names, options)) in enumerate(KINDS.items()):
        for j in range(1 if quick else PER_KIND):
            photo = names[(k * PER_KIND + j) % len(names)]
            if photo not in photos:
                photos[photo] = _photo(photo, crop)
            quality = QUALITIES[n % len(QUALITIES)]
            n += 1
            opts = dict(options, quality=quality)
            if opts.pop("metadata", False):
                opts.update(meta)
            buf = io.BytesIO()
            Image.fromarray(photos[photo]).save(buf, "JPEG", **opts)
            tag = kind.lower().replace(":", "").replace(" ", "-").replace("+", "-")
            name = f"{photo}-{tag}-q{quality}"
            path = folder / f"{name}.jpg"
            path.write_bytes(buf.getvalue())
            entries.append(Entry(name, kind, photo, quality, path))
    return entries
