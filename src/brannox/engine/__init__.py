"""Engines that drive trees built by ``brannox.core``."""
