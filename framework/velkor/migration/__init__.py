"""Migration layer of the framework.

The native modules ``class_foundry`` and ``ledger_vault`` are installed into
this package next to the Python helpers (``data_classes``, ``utils``).
"""
