"""Schema records and the base classes of generated model classes."""
