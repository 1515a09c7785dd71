from velkor.migration.runner.cli import main

main()
