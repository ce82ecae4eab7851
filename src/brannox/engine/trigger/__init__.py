"""Engines that run many trees at once, each on a thread of its own."""
