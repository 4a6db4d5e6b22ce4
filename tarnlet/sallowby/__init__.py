"""Blocks for the ASM2d-N2O model family: the influent fractionation `fractionation` and the
stream combiner `combiner`."""
