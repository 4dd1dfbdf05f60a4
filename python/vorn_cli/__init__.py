"""The command's former package name, kept so that `python -m vorn_cli` still runs it."""
