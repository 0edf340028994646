"""Market-data client (placeholder until the store lands)."""
