"""The commands of ``velkor-migrate``, one module each: each reads its
options, calls the executor, the record or the class view, and prints. A
command's text and its JSON document (``json_documents``) render the same
data. Each is imported by itself (``commands.apply.apply``): a run imports
only the command it runs (``cli``)."""

__all__ = ["apply", "baseline", "check", "graph", "history", "init", "new", "plan", "repair", "rollback", "schema",
           "show", "status"]
