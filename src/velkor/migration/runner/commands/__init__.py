"""The commands of ``velkor-migrate``, one module each: each reads its
options, calls the executor, the record or the class view, and prints. A
command's text and its JSON document (``json_documents``) render the same
data."""
from velkor.migration.runner.commands.apply import apply
from velkor.migration.runner.commands.baseline import baseline
from velkor.migration.runner.commands.check import check
from velkor.migration.runner.commands.graph import graph
from velkor.migration.runner.commands.history import history
from velkor.migration.runner.commands.init import init
from velkor.migration.runner.commands.new import new
from velkor.migration.runner.commands.plan import plan
from velkor.migration.runner.commands.repair import repair
from velkor.migration.runner.commands.rollback import rollback
from velkor.migration.runner.commands.schema import schema
from velkor.migration.runner.commands.show import show
from velkor.migration.runner.commands.status import status

__all__ = ["apply", "baseline", "check", "graph", "history", "init", "new", "plan", "repair", "rollback", "schema",
           "show", "status"]
