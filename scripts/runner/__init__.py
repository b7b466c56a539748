"""The project's job runner: every interpreter and wheel from scripts/matrix.toml, jobs side by side."""
