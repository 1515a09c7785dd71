"""Storage of the framework: connections, table schemas and transactions."""
