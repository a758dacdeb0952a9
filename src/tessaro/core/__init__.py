"""Core building blocks of tessaro: the registry database and its small helpers."""
