"""Base classes for user-defined node types."""
