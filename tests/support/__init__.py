"""Helpers shared by the test modules (and reused by the demo)."""
