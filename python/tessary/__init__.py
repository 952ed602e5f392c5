"""Command-line tools and port facts for TessaryHardwareAPI (standard library only)."""
