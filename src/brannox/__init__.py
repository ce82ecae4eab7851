"""Behaviour-tree toolkit: a single-tree core (``brannox.core``) and its engines."""

__version__ = "0.1.0"
