"""Behaviour-tree toolkit: a single-tree core (``brannox.core``) and its engines."""
