"""Blocks for the ASM2d model family: the sewer storage `sewer` and the soil reservoir `loamtank`."""
