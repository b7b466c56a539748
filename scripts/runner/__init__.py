"""The project's job runner: every interpreter and wheel of scripts/matrix.toml, side by side."""
