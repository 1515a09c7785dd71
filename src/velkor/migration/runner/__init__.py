"""The migration runner, ``velkor-migrate``: applies a project's migrations
with the class foundry and records them in the ledger.

Project
    A folder with ``velkor.toml`` (a missing file is an error here, not the
    built-in default). App migrations live in ``app/migrations/``; every folder
    ``contrib/<module>/`` that has a ``migrations/`` folder is a contrib module.
    ``init [FOLDER] [--team]`` starts one: a commented ``velkor.toml`` (the
    embedded default, or PostgreSQL and S3 to fill in), ``app/migrations/``
    and a first empty migration; it overwrites nothing.

Configuration (docs/configuration.md)
    ``--config FILE``, else ``VELKOR_CONFIG``, else the project's
    ``velkor.toml``; ``VELKOR_<CONNECTION>_URL``, ``_PATH`` and
    ``_ENDPOINT_URL`` override a connection's location (``configuration``).
    The runner reads the file and hands the result to the ledger vault.
    ``status`` names it when a flag or variable chose or changed it.

Migration file
    ``NNNN_name.json`` (four digits or more)::

        {"description": "...",                   optional
         "depends_on": ["billing:1", "2"],       optional: [module:]NUMBER, app when no module
         "schemas": [{"class_name": "Customer",
                      "schema_type": "app",      optional: the module's type
                      "schema": {...}}]}         an ObjectSchema (the list may be empty)

    A regular file (or a link to one) of at most 1 MiB, numbered within 64
    bits (``source.reading``, ``source.discovery``); its integers fit in 64
    bits and its text holds no lone surrogate.
    Unknown fields are refused, also inside a schema and its properties.
    Every type name is a core type or a model class; names that the generated
    module uses, defaults and options that do not fit their type and template
    placeholders in any text are refused (``source.validation``,
    ``source.reserved_names``). Errors name the file and the JSON line and
    column, or the field path. The whole format: docs/migration-files.md; its
    JSON Schema: ``source/schema.json`` (a ``"$schema"`` key is ignored). A
    run names every problem of every file it needs at once, up to 50 lines
    (``classes.reference_graph.ClassGraph.loaded``), misspelt names with the
    closest known one, values as JSON writes them (``errors.shown``). Two files
    of one number in a module are a problem for ``status`` and ``check``, and
    ``apply`` refuses to run with them.

Order
    Contrib modules by name, then the app; each module's migrations by number.
    ``depends_on`` must name migrations that come earlier in that order; it
    keeps ``rollback`` from withdrawing a migration that an applied one needs.

The record (docs/record.md)
    The ledger (the lakehouse, else the repository) is what is applied; the
    repository holds a copy of each record, one row per migration. A run
    stages its writes and commits them at its end, the ledger first; before
    a run changes anything it brings the copy in line with the ledger and
    stops at a store that a marker (``.velkor/ledger-state.json``) shows to
    be lost or cut back. Each applied file's checksum is kept beside the
    ledger (``record.checksums``, ``record.drift``).

apply [--to MIGRATION] [--out-of-order] [--accept-changed MIGRATION]
    Under the project lock (``.velkor/migrate.lock``, an ``flock`` on the file
    and its folder held for the whole run, so that removing the file does not
    free it; a second run waits ``--wait`` seconds, then exits with status 3).
    Refuses applied files changed since (unless accepted) and pending
    migrations numbered below an applied one of their module (unless
    ``--out-of-order``). Checks every file the run needs first, then rebuilds a registry of the
    applied classes that the pending migrations need, through the batches of
    the applied migrations in the order they were applied (the class foundry
    keeps nothing between processes), then for each pending migration in order:
    registers its batch, compiles it and records the migration (``applied_at``
    = now). A migration's batch is its own schemas and every class compiled
    before that references a class it changes, directly or through others
    (``classes.reference_graph``). All records of a run belong to one transaction,
    committed at its end. A migration that does not compile is not recorded
    and the run stops there; those before it are recorded. Ctrl-C before the
    commit records nothing. The error names the file and the class: the
    class sources are rendered one by one, a name that is not defined is looked
    for in the schemas' types, and otherwise the failing line of the generated
    module is traced back to the class whose text it is.
    ``--to`` stops after the named migration.

rollback [--steps N | --to MIGRATION] [--dry-run]
    Under the lock, withdraws the N migrations the record holds last (by the
    run that recorded them, not by any clock), in one transaction; N more
    than are applied is refused. ``--to`` withdraws every migration recorded
    after MIGRATION (which must be applied); ``--to zero`` all of them (no
    migration reference is a word). ``--dry-run`` says which, taking no lock
    and recording nothing.

baseline MIGRATION
    Under the lock, on a record that holds no migration, records every
    migration up to MIGRATION (in migration order) as applied, with its
    checksum, in one transaction, without compiling it: a project whose
    classes are in place already is adopted, and ``apply`` starts after it.

Who, where, how long
    Every migration that a run applies, withdraws or baselines gets a run
    record beside the ledger, in the same transaction (``record.runs``): the
    user, the host, the seconds spent on it and the transaction, which
    ``history`` shows beside each version (``--limit N``, ``--migration M``).

repair [--from-repository]
    Under the lock, brings the repository's rows in line with the ledger (a
    repository file that cannot be read is moved aside first), or rebuilds
    the ledger's current records from the repository's rows; then accepts
    the stores as they are.

status, history, show CLASS [--diff], check
    The applied and pending migrations (files changed since they were applied
    and migrations pending out of order marked); the versions of the
    ``Migration`` objects in the lakehouse; the generated source of a class
    as its latest batch compiles it, applied or pending (``--diff``: the
    applied source against the pending one); every file validated and
    compiled in a throwaway registry, and the record checked, nothing
    recorded.

plan [--to M] (and apply --dry-run)
    What apply would do, recording nothing and taking no lock: for each
    pending migration in order, the classes it adds or changes, each changed
    class's fields against the definition before (``classes.field_changes``), and the
    classes compiled again because they reference it; the pending batches
    are compiled in a registry of their own, so plan says where apply would
    stop (``commands.plan``).

graph [--format mermaid|dot|svg|png] [--output FILE]
    The model classes and their references as a picture, pending ones
    marked; SVG and PNG through Graphviz's ``dot`` (``classes.diagram``).

--format json (status, history, plan, check, apply, rollback, baseline, show)
    One JSON document on stdout, also for an error, with the text output's
    exit status: docs/json-output.md (``commands.json_documents``).

new NAME [--module M], schema
    The next numbered migration file of the app or of a contrib module, valid
    and empty, numbered after every file and every recorded migration of the
    module (one whose file was deleted too); the JSON Schema of a migration
    file. ``--version``; no command prints the help.

Output
    Results on stdout, notes and errors on stderr; colours only on a terminal
    and without NO_COLOR; a progress bar on a terminal when a run applies 10
    migrations or more. Faults of the project (files, configuration, storage)
    are one message and exit status 1; a bad command line exits with 2.
    Warnings name what looks like a migration but is skipped. Output into a
    pipe whose reader has gone stops quietly.
    No password is shown or written: a ``velkor.toml`` that holds one (a key
    named like a secret, or a location with a password or credentials in
    it) is refused, and every line, JSON document, marker and lock text is
    redacted (``redaction``).
    Ctrl-C at any moment ends with "error: interrupted" and what is recorded,
    exit status 130: before the command begins (``start``, the program's
    entry, handles it before any heavy import) nothing was changed.

From Python: ``load_classes(root)`` gives a registry holding the classes of
the applied migrations; ``Project``, ``commands`` and ``cli.run`` do the rest.

Layout, each layer calling only the ones below it:

    start          the program's entry: Ctrl-C handled first, then the rest imported
    cli            the command line: parse, call a command, say how it failed
    commands/      one module per command: options in, lines or a JSON document out
    executor       what a run of apply or plan will do, and doing it; rollbacks
                   and baselines do the same for withdrawing and adopting
                   migrations (they report through ``Events``, never print)
    project        a project folder: configuration, files, record, compiler
    classes/       compiling, the reference graph, field changes, diagrams
    record/        the stores: the only package that uses the framework's
                   storage layer, and where its errors become ours
    source/        finding, reading and validating migration files
    key, lock, output, redaction, errors, text, state, configuration, framework
                   the migration key; the project lock; terminal output;
                   secrets kept out of it; the errors; words and times; each
                   migration's state as status tells it; the configuration
                   in force; what the runner needs of the framework
"""
from velkor.migration.runner.errors import LockTimeout, MigrationError

__all__ = ["ChangedSinceApplied", "LockTimeout", "MigrationError", "Project", "load_classes"]


def __getattr__(name: str):
    # Loaded on first use, so that the command line's help and usage
    # errors load neither the two modules nor any storage library.
    if name in ("ChangedSinceApplied", "Project", "load_classes"):
        from velkor.migration.runner import project
        return getattr(project, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
