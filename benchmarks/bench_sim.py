"""A simulation driven from Python as users write it: a soil reservoir whose
excess and drainage flows join a chain of three sewer storages, and a
first-flush block on the last storage's outflow; `outputs` and `euler_step`
of every block in every step. Steps per second with tarnlet and with the
plain NumPy peer, and with tarnlet.runs (each block's whole series in one
call), and their final states compared.

    python -P benchmarks/bench_sim.py [--steps N] [--json FILE]
"""
import argparse
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import numpy_peer as peer  # noqa: E402
from benchjson import write_json  # noqa: E402

from tarnlet import runs  # noqa: E402
from tarnlet.brookvane import loamtank, sewer  # noqa: E402
from tarnlet.fenmoor import sedlift  # noqa: E402

DT = 1 / 1440  # one minute, in days
PARS = np.zeros(25)
PARS[19:25] = [0.75, 0.75, 0.9, 3.23, 0.6, 1.0]
SPAR = np.array([300.0, 11000.0, 0.1])
PAR = np.array([0.10, 0.02, 1.2e5, 0.12, 15000.0, 5000.0])
SSPARS = np.array([400e3, 10000.0, 6.0, 20.0])
SEWAGE = np.zeros(27)
SEWAGE[[1, 3, 9, 10, 11]] = [30.0, 16.0, 25.0, 125.0, 30.0]
FF_COMPONENTS = [9, 10, 11, 1, 3, 5]  # sewer components fed to the first flush


def scenario(steps):
    t = np.arange(steps) * DT
    dry = 4000.0 * (1 + 0.4 * np.sin(2 * np.pi * (t - 0.3)))
    rain = np.where((t % 1 > 0.6) & (t % 1 < 0.65), 0.24 * PAR[2], 0.0)
    return dry, np.column_stack([rain, np.full(steps, 50.0)])


def run(blocks, steps):
    sew, soil, ff = blocks
    dry, soil_u = scenario(steps)
    xs = [sew.initialize_state(np.r_[SEWAGE[:18] * 30.0, SEWAGE[21:26] * 30.0, 0.1])
          for _ in range(3)]
    x_soil = soil.initialize_state([0.0205])
    x_ff = ff.initialize_state(np.zeros(6))
    u = SEWAGE.copy()
    u_ff = np.empty(7)
    for k in range(steps):
        y_soil = soil.outputs(x_soil, soil_u[k], PAR)
        x_soil = soil.euler_step(x_soil, soil_u[k], PAR, DT)
        u[19] = dry[k] + y_soil[0] + y_soil[1]
        y = u
        for j in range(3):
            y_next = sew.outputs(xs[j], y, PARS, SPAR)
            xs[j] = sew.euler_step(xs[j], y, PARS, SPAR, DT)
            y = y_next
        u_ff[0] = y[19]
        u_ff[1:] = y[FF_COMPONENTS]
        ff.outputs(x_ff, u_ff, SSPARS)
        x_ff = ff.euler_step(x_ff, u_ff, SSPARS, DT)
    return np.concatenate([*xs, x_soil, x_ff])


def compiled(steps):
    """The same simulation block by block, each block's whole series in one
    call: the coupling runs one way, so the numbers are the same."""
    dry, soil_u = scenario(steps)
    x_soil, y_soil = runs.loamtank_run([0.0205], soil_u, PAR, DT)
    u = np.tile(SEWAGE, (steps, 1))
    u[:, 19] = dry + y_soil[:, 0] + y_soil[:, 1]
    x0 = np.tile(np.r_[SEWAGE[:18] * 30.0, SEWAGE[21:26] * 30.0, 0.1], (3, 1))
    x_chain, y_chain = runs.sewer_chain_run(x0, u, PARS, SPAR, DT)
    last = y_chain[:, 2]
    u_ff = np.column_stack([last[:, 19], last[:, FF_COMPONENTS]])
    x_ff, _ = runs.sedlift_run(np.zeros(6), u_ff, SSPARS, DT)
    return np.concatenate([*x_chain[-1], x_soil[-1], x_ff[-1]])


def timed(blocks, steps):
    start = time.perf_counter()
    final = run(blocks, steps)
    return steps / (time.perf_counter() - start), final


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=20_000)
    parser.add_argument("--json")
    args = parser.parse_args(argv)
    ours, final = timed((sewer, loamtank, sedlift), args.steps)
    theirs, final_peer = timed((peer.sewer, peer.loamtank, peer.sedlift), args.steps)
    start = time.perf_counter()
    final_compiled = compiled(args.steps)
    whole = args.steps / (time.perf_counter() - start)
    scale = np.maximum(np.abs(final), 1e-300)
    diff = float(np.max(np.abs(final - final_peer) / scale))
    result = {"steps": args.steps, "ours_steps_per_s": ours, "peer_steps_per_s": theirs,
              "speedup": ours / theirs, "final_states_bit_equal": final.tobytes() == final_peer.tobytes(),
              "max_relative_difference": diff, "compiled_steps_per_s": whole,
              "compiled_over_loop": whole / ours,
              "compiled_bit_equal": final_compiled.tobytes() == final.tobytes()}
    print(f"{args.steps} steps, 5 blocks: tarnlet {ours:,.0f} steps/s, NumPy peer {theirs:,.0f} "
          f"steps/s, speed-up {ours / theirs:.1f}x")
    print(f"final states bit-equal: {result['final_states_bit_equal']}, "
          f"largest relative difference {diff:.1e}")
    print(f"tarnlet.runs, whole series in one call per block: {whole:,.0f} steps/s, "
          f"{whole / ours:.0f}x the Python loop; final states bit-equal to the loop: "
          f"{result['compiled_bit_equal']}")
    if args.json:
        write_json(args.json, result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
