"""The model classes that migrations compile into: which class references
which and the batches that compile them (``reference_graph``), compiling them
(``compiler``, ``diagnosis`` of a failure, ``registry``), the classes as the
applied and the pending migrations define them (``class_view``), how one
definition differs from the one before (``field_changes``), and a picture of
them (``diagram``). Nothing here reads or writes the record."""
