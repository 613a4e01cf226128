"""Pure-Python support modules shared by quillmarsh's codecs."""
