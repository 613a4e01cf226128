"""quillmarsh: imaging for scientists, photographers and pipelines."""

__version__ = "0.1.0"
