"""The record of applied migrations, across the project's stores: the only
part of the runner that uses the framework's storage layer, and the one place
where its errors become the runner's (``failures``).

``recorder``, what the rest of the runner calls; ``ledger``, the stores;
``tables``, the runner's tables in them and how it reads and writes versions;
``repository_copy``, the repository's copy held against the ledger;
``marker``, what the stores held after the last run (``.velkor/ledger-state.json``);
``damage``, a store lost or cut back since; ``repair``; ``checksums`` of the
applied files and ``drift``, the files held against them; ``runs``, who
recorded each migration, where and how long it took; ``history``, the
versions in the lakehouse; ``interrupts``, Ctrl-C around a commit.
"""
