"""Factories of the example project."""
