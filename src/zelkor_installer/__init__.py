"""Zelkor installer: the native utility layer and a small reference front end."""

__version__ = "0.1.0"
