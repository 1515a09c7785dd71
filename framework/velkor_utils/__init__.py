"""Shared records, enumerations, configuration and helpers of the framework."""
