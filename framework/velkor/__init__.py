"""The velkor data-modelling framework (settings, migrations)."""
