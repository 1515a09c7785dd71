"""python -m bench.class_foundry [--quick]"""
from bench.class_foundry.bench_class_foundry import main

main()
