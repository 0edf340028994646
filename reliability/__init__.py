"""Reliability tools: fuzzing, the leak check and the store check, and the stand-ins for the
market data that the tests share (`reliability.standins`). Run the tools as modules from the
top of the repository (`python -m reliability.fuzz`); docs/reliability.md describes them."""
