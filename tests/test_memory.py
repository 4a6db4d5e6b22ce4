"""A shorter run of benchmarks/memory_soak.py: neither resident memory nor
the interpreter's allocated blocks grow over many good and bad calls."""
import importlib.util
import pathlib

SCRIPT = pathlib.Path(__file__).resolve().parents[1] / "benchmarks" / "memory_soak.py"


def load_soak():
    location = importlib.util.spec_from_file_location("memory_soak", SCRIPT)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


def test_no_growth_over_many_calls():
    soak = load_soak()
    figures = soak.soak(50_000, warmup=20_000)
    print(figures)
    assert figures["failing"] > 10_000
    assert soak.within_bounds(figures), figures
