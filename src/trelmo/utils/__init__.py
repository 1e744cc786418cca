"""Utility helpers shared by the trelmo packages."""
