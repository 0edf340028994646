"""Reliability tools: the fuzzing strategies and targets, the fuzz runner and the leak check."""
