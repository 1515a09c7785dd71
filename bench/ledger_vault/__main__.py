"""python -m bench.ledger_vault [--pairs N] [--rows N]"""
from bench.ledger_vault.ledger import main

main()
