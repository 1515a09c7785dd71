from velkor.migration.runner.start import main

main()
