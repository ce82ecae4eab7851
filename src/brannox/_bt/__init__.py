"""Private implementation of the single-tree core; import from ``brannox.core``."""
