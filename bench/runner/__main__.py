"""python -m bench.runner [--count N]"""
from bench.runner.apply import main

main()
