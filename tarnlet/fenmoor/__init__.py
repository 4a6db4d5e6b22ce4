"""Blocks for the ASM3 model family: the first-flush block `sedlift`."""
