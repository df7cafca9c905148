"""Process execution guard for agentic systems."""
