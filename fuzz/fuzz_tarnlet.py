#!/usr/bin/env python3
"""Coverage-guided fuzz target over every public function of tarnlet.

Each input is decoded into one call: a function of the five block modules or
of `tarnlet.runs` (enumerated at start-up, so new functions are picked up),
and its arguments: arrays of any dtype, shape, order, alignment and byte
order, read-only arrays, lists, scalars, strings, None, objects whose
`__float__`, `__index__` or `__array__` runs Python code (and may mutate an
earlier argument), keyword mixes and wrong argument counts; now and then the
module's `np` is replaced for the call.

Oracle: the call returns a result of the right length or raises an
Exception; no argument is modified (contents, dtype, shape, strides, flags,
data pointer, reference count), except an argument that a hook mutated on
purpose. Anything else raises FuzzFinding, which atheris reports as a crash;
native crashes and sanitizer reports end the process.

Run through tools/fuzz.sh (instrumented build, sanitizer runtime). Direct:
    python fuzz/fuzz_tarnlet.py [libFuzzer options] [corpus dirs]
Environment:
    TARNLET_FUZZ_MUTATE=0   no hooks that mutate an earlier argument
    TARNLET_FUZZ_KNOWN=0    leave out the three fault classes found first
                            (arguments mutated during a call, a misaligned
                            np.empty result, a NaN's sign or payload in a
                            run) to look for others
    TARNLET_FUZZ_NP=0       never replace a module's `np`
    TARNLET_FUZZ_VERBOSE=1  print each decoded call before making it (use
                            with a single crash file to see its reproducer)
"""
import gc
import importlib
import inspect
import math
import os
import sys
import types
import warnings

import atheris

with atheris.instrument_imports(include=["tarnlet"]):
    import tarnlet  # noqa: F401  (its pure-Python parts are instrumented)
    import tarnlet.runs as runs
    from tarnlet import _registry

import numpy as np

# TARNLET_FUZZ_KNOWN=0 leaves out the fault classes found first (arguments
# mutated during a call, a misaligned np.empty result, a NaN's sign or
# payload in a run), so that a run looks for others, even on a build that
# still has those. Inputs decode the same way either way.
KNOWN = os.environ.get("TARNLET_FUZZ_KNOWN", "1") != "0"
MUTATE = KNOWN and os.environ.get("TARNLET_FUZZ_MUTATE", "1") != "0"
REPLACE_NP = os.environ.get("TARNLET_FUZZ_NP", "1") != "0"
VERBOSE = os.environ.get("TARNLET_FUZZ_VERBOSE", "0") != "0"

# The blocks and their runs, from the block registry.
BLOCKS = {b.name: importlib.import_module(b.module) for b in _registry.blocks()}
# Entries each parameter vector's kernels read, per block.
MIN_LENGTHS = {b.name: {p: b.lengths[p] for p in b.parameters
                        if not any(c.kind in ("exact", "columns") for c in b.runs[0].checks_of(p))}
               for b in _registry.blocks()}


class FuzzFinding(AssertionError):
    pass


# ---- the surface ------------------------------------------------------------

OPTIONS = ("record", "every", "states", "last", "out", "steps", "start", "initial")  # in the order drawn
STATE_RUNS = tuple(r.name for b in _registry.blocks() if b.has_state for r in b.runs)


class Target:
    """One public function: its block, parameters and result lengths.
    kind: "block" (a block module's function), "run" (tarnlet.runs) or
    "raw" (the compiled tarnlet._runs under it, options passed by position)."""

    def __init__(self, label, fn, block, kind):
        self.label, self.fn, self.block, self.kind = label, fn, block, kind
        self.is_run = kind != "block"
        sig = inspect.signature(fn)
        kinds = inspect.Parameter
        self.positional = [p.name for p in sig.parameters.values()
                           if p.kind in (kinds.POSITIONAL_ONLY, kinds.POSITIONAL_OR_KEYWORD)]
        self.keyword_only = [p.name for p in sig.parameters.values()
                             if p.kind == kinds.KEYWORD_ONLY]
        self.data_params = [n for n in self.positional if n not in OPTIONS]
        self.option_params = [n for n in self.positional + self.keyword_only if n in OPTIONS]
        m = BLOCKS[block]
        self.nstates = getattr(m, "NSTATES", None)
        self.ninputs = getattr(m, "NINPUTS", getattr(m, "NSTATES", None))
        self.noutputs = getattr(m, "NOUTPUTS", getattr(m, "NSTATES", None))
        self.state_run = fn.__name__ in STATE_RUNS
        self.chain = "chain" in fn.__name__

    def result_length(self):
        name = self.fn.__name__
        if name in ("outputs", "compute") and self.block != "combiner":
            return self.noutputs
        return self.nstates

    def nominal(self, name, d, plan):
        """A well-formed shape for parameter `name` (sometimes off by one)."""
        off = 0 if d.int(0, 7) else d.pick((-1, 1, 2))
        if name in ("x", "xinit", "x0", "stream_a", "stream_b"):
            n = self.nstates
            if self.is_run and name != "x0":  # a series, or one vector for every step
                return (plan.steps, n + off) if d.int(0, 3) else (n + off,)
            if self.chain:
                return (plan.storages, n + off)
            return (max(n + off, 0),)
        if name == "u":
            n = self.ninputs + off
            return (plan.steps, n) if self.is_run else (max(n, 0),)
        lengths = MIN_LENGTHS[self.block]
        if name in lengths:
            n = max(lengths[name] + off + d.pick((0, 0, 0, 5)), 0)
            if name == "spar" and self.chain and d.int(0, 3) == 0:
                return (plan.storages, n)
            return (n,)
        return None


def block_of(name):
    for block in BLOCKS:
        if block in name:
            return block
    return None


def public_functions(module):
    for name, value in vars(module).items():
        if name.startswith("_") or name == "np" or isinstance(value, (type, types.ModuleType)):
            continue
        if callable(value) and getattr(value, "__module__", "").startswith("tarnlet"):
            yield name, value


def surface():
    targets = []
    for block, module in BLOCKS.items():
        for name, fn in public_functions(module):
            targets.append(Target(f"{block}.{name}", fn, block, "block"))
    for name, fn in public_functions(runs):
        if block_of(name) is not None:
            targets.append(Target(f"runs.{name}", fn, block_of(name), "run"))
    raw = sys.modules.get("tarnlet._runs")
    for name, fn in public_functions(raw) if raw is not None else ():
        if block_of(name) is not None:
            targets.append(Target(f"_runs.{name}", fn, block_of(name), "raw"))
    return targets


TARGETS = surface()


# ---- drawing from the fuzzer's bytes ----------------------------------------

class Draw:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def int(self, lo, hi):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def bool(self):
        return self.fdp.ConsumeBool()

    def pick(self, seq):
        return seq[self.fdp.ConsumeIntInRange(0, len(seq) - 1)]

    def float(self):
        if self.bool():
            return self.pick(SPECIAL)
        return self.fdp.ConsumeFloat()

    def floats(self, n):
        fill = self.int(0, 3)
        if fill == 0:
            return np.ones(n)
        if fill == 1:
            return np.full(n, self.float())
        values = np.array([self.float() for _ in range(min(n, 8))] or [0.0])
        return np.resize(values, n)


SPECIAL = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, 1e-12, 1.0,
           -1.0, 0.5, 100.0, 1e308, -1e308, 2.0 ** 53 + 1]
DTYPES = ["<f8", ">f8", "<f4", ">f4", "f2", "i1", "<i2", ">i4", "<i8", ">i8", "u1", "u8",
          "?", "<c16", ">c8", "O", "S8", "U3", "M8[s]", "m8[ns]", "V8", "g"]


class Sub(np.ndarray):
    pass


class StrSub(str):
    pass


# Mutations a hook applies to an earlier argument.
def mutation(d, victim):
    kind = d.int(0, 7)
    if kind == 0:
        shape = d.pick([(), (0,), (1,), (3,), (d.int(0, 100),), (2, 3), (100_000,)])
        return f"resize{shape}", lambda: victim.resize(shape, refcheck=False)
    if kind == 1:
        dtype = np.dtype(d.pick(["i1", "f4", "f8", ">f8", "c16", "u2"]))
        shape = d.pick([(), (0,), (1,), (d.int(0, 60),), (2, 3)])
        nbytes = int(np.prod(shape, dtype=np.int64)) * dtype.itemsize
        fortran = d.bool()
        state = (1, shape, dtype, fortran, bytes(nbytes))
        return (f"__setstate__({shape}, {dtype.str}, fortran={fortran})",
                lambda: victim.__setstate__(state))
    if kind == 2:
        dtype = d.pick(["i1", "f4", "c16", "V16"])

        def retype():
            victim.dtype = dtype
        return f"dtype={dtype}", retype
    if kind == 3:
        def reshape():
            victim.shape = (victim.size,) if victim.ndim != 1 else (1, victim.size)
        return "shape", reshape
    if kind == 4:
        def fill():
            victim[...] = np.nan
        return "fill nan", fill
    if kind == 5:
        def freeze():
            victim.flags.writeable = False
        return "read-only", freeze
    if kind == 6:
        def grow():
            victim.resize((victim.size * 4 + 1,), refcheck=False)
        return "resize(4n+1)", grow
    return "resize(0)", lambda: victim.resize((0,), refcheck=False)


class Hook:
    """Base of hostile objects: `action` runs (once or every time) when
    Python code of the object is entered."""

    def __init__(self, action, once, value, desc):
        self.action, self.once, self.value, self.desc = action, once, value, desc

    def fire(self):
        if self.action is not None:
            action = self.action
            if self.once:
                self.action = None
            action()
        if isinstance(self.value, Exception):
            # A fresh exception each time: one kept here would keep the
            # frames of its traceback, and the arguments in them, alive.
            raise type(self.value)(*self.value.args)
        return self.value

    def __repr__(self):
        return f"<{type(self).__name__} {self.desc}>"


class FloatHook(Hook):
    def __float__(self):
        return self.fire()


class IndexHook(Hook):
    def __index__(self):
        return self.fire()


class ArrayHook(Hook):
    def __array__(self, dtype=None, copy=None):
        return self.fire()


class OldArrayHook(Hook):
    def __array__(self, dtype=None):
        return self.fire()


class LyingSequence(Hook):
    def __len__(self):
        return self.value

    def __getitem__(self, i):
        if self.action is not None:
            self.fire_action()
        if not 0 <= i < self.value // 2 + 1:
            raise IndexError(i)
        return 1.0

    def fire_action(self):
        action, self.action = self.action, None
        action()


class Plan:
    """Everything decoded from one input: the call, its arguments and what
    may legitimately change."""

    def __init__(self):
        self.desc = []
        self.mutated = []   # arguments a hook may modify
        self.shared = []    # arguments sharing memory with another: never mutated
        self.replaced = set()  # names replaced in a module's `np`
        self.twisted = False   # arguments passed in a wrong way
        self.outs = []         # arrays passed as out=
        self.out = None        # the out= argument as passed
        self.record = None     # the record= argument as passed
        self.expect = None     # options the call should apply (see expected_options)
        self.steps = self.storages = 0
        self.checked = []   # objects that must be unchanged
        self.arrays = []    # ndarrays among the arguments, in order

    def note(self, text):
        self.desc.append(text)


def make_array(d, plan, shape):
    kind = d.int(0, 11)
    base = d.floats(int(np.prod(shape, dtype=np.int64)) if shape else 1).reshape(shape)
    if kind <= 3:
        a = base
        text = f"float64{shape}"
    elif kind == 4:
        dtype = d.pick(DTYPES)
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            try:
                a = base.astype(dtype)
            except (TypeError, ValueError):
                a = np.zeros(shape, dtype)
        text = f"{dtype}{shape}"
    elif kind == 5:  # misaligned view of a byte buffer
        offset = d.int(1, 7)
        dtype = np.dtype(d.pick(["<f8", ">f8", "<f4", "<i8"]))
        n = base.size
        buf = np.zeros(n * dtype.itemsize + 8, np.uint8)
        a = buf[offset:offset + n * dtype.itemsize].view(dtype).reshape(shape)
        a[...] = base.astype(dtype)
        text = f"misaligned+{offset} {dtype.str}{shape}"
    elif kind == 6:  # strided / reversed / Fortran
        how = d.int(0, 2)
        if how == 0:
            a = np.repeat(base, 2, axis=-1)[..., ::2] if base.ndim else base
            text = f"strided{shape}"
        elif how == 1:
            a = base[..., ::-1] if base.ndim else base
            text = f"reversed{shape}"
        else:
            a = np.asfortranarray(base)
            text = f"fortran{shape}"
    elif kind == 7:
        a = base.view(Sub)
        text = f"subclass{shape}"
    elif kind == 8:
        a = base.reshape(shape + (1,)) if d.bool() else base.reshape((1,) + shape)
        text = f"float64{a.shape}"
    elif kind == 9:
        a = np.zeros((0,) * max(len(shape), 1)) if d.bool() else np.float64(d.float())
        text = f"{type(a).__name__}{np.shape(a)}"
    elif kind == 10:
        a = base.copy()
        a.flags.writeable = False
        text = f"read-only{shape}"
    else:
        a = np.broadcast_to(base.ravel()[:1] if base.size else np.zeros(1), shape)
        text = f"broadcast{shape}"
    return a, text


def make_hook(d, plan, shape, victims):
    action, action_text, once = None, "", True
    if victims and d.int(0, 2):
        victim = d.pick(victims)
        action_text, action = mutation(d, victim)
        once = d.int(0, 3) > 0
        if MUTATE:
            plan.mutated.append(victim)
            action_text = f" mutating arg#{index_of(plan.arrays, victim)} by {action_text}"
        else:
            action, action_text = None, ""
    kind = d.int(0, 4)
    if kind == 0:
        value = d.pick([d.float(), 7, "1.5", None, RuntimeError("hook"), MemoryError()])
        if isinstance(value, int):
            value = float(value)
        return FloatHook(action, once, value, f"__float__->{value!r}{action_text}")
    if kind == 1:
        value = d.pick([1, 0, -1, 2 ** 70, 24, "x", ValueError("hook")])
        return IndexHook(action, once, value, f"__index__->{value!r}{action_text}")
    if kind in (2, 3):
        returned = d.int(0, 5)
        if returned <= 2 and shape is not None:
            value, text = make_array(d, plan, shape)
            plan.checked.append(value)
        elif returned == 3:
            value, text = d.pick([None, [1.0, 2.0], "s", 3.0]), "non-array"
        elif returned == 4:
            value, text = TypeError("hook"), "raise"
        else:
            value, text = np.ones(d.int(0, 60)), "float64(any)"
            plan.checked.append(value)
        cls = ArrayHook if kind == 2 else OldArrayHook
        return cls(action, once, value, f"__array__->{text}{action_text}")
    n = shape[-1] if shape else d.int(0, 30)
    return LyingSequence(action, True, n, f"sequence len {n}{action_text}")


def make_value(d, plan, shape, victims):
    kind = d.int(0, 15)
    if shape is not None and kind <= 6:
        a, text = make_array(d, plan, shape)
    elif kind <= 8:
        return make_hook(d, plan, shape, victims), None
    elif kind == 9:
        n = shape[-1] if shape else d.int(0, 30)
        a = d.floats(n).tolist()
        if len(shape or ()) == 2:
            a = [a] * shape[0]
        if d.int(0, 3) == 0 and a:
            a[-1] = d.pick(["x", None, [1.0], 1j, 2 ** 80])
        return a, f"list({len(a)})"
    elif kind == 10:
        v = d.pick([d.float(), 3, -(2 ** 70), True, 1 + 2j, np.float32(1.5), np.int64(7),
                    np.float64(d.float())])
        return v, f"scalar {v!r}"
    elif kind == 11:
        v = d.pick(["", "1.0", "nan", b"12345678", bytearray(16), None, (), [], {}, object()])
        return v, f"{v!r}"
    elif kind == 12:
        n = shape[-1] if shape else d.int(0, 30)
        m = memoryview(d.floats(n))
        if d.bool():
            m = m[::2] if n else m
        return m, f"memoryview({len(m)})"
    elif kind == 13:
        shape2 = (d.int(0, 40),) if d.bool() else (d.int(0, 5), d.int(0, 60))
        a, text = make_array(d, plan, shape2)
    elif kind == 14 and plan.arrays:
        a = d.pick(plan.arrays)
        return a, f"arg#{index_of(plan.arrays, a)} again"
    else:
        return None, "None"
    return a, text


def draw_record(d, target):
    nout = target.noutputs
    kind = d.int(0, 9)
    if kind <= 4:
        indices = sorted({d.int(0, nout - 1) for _ in range(d.int(0, min(nout, 6)))})
        if d.bool():
            indices.reverse()
        return tuple(indices) if target.kind == "raw" or d.bool() else list(indices)
    if kind == 5:
        return d.pick([(nout,), (-1,), (0, 0), (), (2 ** 63,), tuple(range(nout + 1)),
                       (np.int64(1),), (True,)])
    if kind == 6:
        return d.pick(["abc", b"x", 3, 1.5, [1.5], np.arange(3), range(3), {1: 2}, [None]])
    if kind == 7:
        return (IndexHook(None, True, d.pick([0, 1, -1, ValueError("hook")]), "index"),)
    return None


def draw_every(d):
    kind = d.int(0, 5)
    if kind <= 2:
        return d.int(1, 4)
    if kind == 3:
        return d.pick([0, -1, 2 ** 63, 2 ** 62, True, 1.5, None, "2", np.int64(2)])
    if kind == 4:
        return IndexHook(None, True, d.pick([2, 0, -5, 2 ** 70, TypeError("hook")]), "index")
    return 1


def expected_options(target, values):
    """(record, every, last) the call should apply, "invalid" where a value
    must be refused, or None where that is not simply known."""
    raw = target.kind == "raw"
    record, every = values.get("record"), values.get("every", 1)
    if record is not None:
        if isinstance(record, (str, bytes)) or (raw and type(record) is not tuple):
            return "invalid"
        try:
            items = list(record)
        except TypeError:
            return "invalid"
        if not all(type(i) is int or (not raw and isinstance(i, (np.integer, bool)))
                   for i in items):
            return None
        items = [int(i) for i in items]
        if any(not 0 <= i < target.noutputs for i in items) or len(set(items)) != len(items):
            return "invalid"
        record = tuple(items)
    if not (type(every) is int or (not raw and isinstance(every, (bool, np.integer)))):
        return None
    if every < 1:
        return "invalid"
    if values.get("steps") is not None or values.get("start", 0) != 0 or values.get("initial", True) is not True:
        return None  # the shapes follow from u and the option: not simply known
    if raw:
        last = values.get("last") is True
    else:
        states = values.get("states", "kept")
        if states not in ("kept", "last"):
            return "invalid" if isinstance(states, str) else None
        last = states == "last"
    return record, int(every), last


def result_shapes(target, plan, expect):
    record, every, last = expect if isinstance(expect, tuple) else (None, 1, False)
    steps = plan.steps
    width = target.noutputs if record is None else len(record)
    rows = -(-steps // every)
    lead = (plan.storages,) if target.chain else ()
    if not target.state_run:
        return ((rows, width),)
    state_rows = 1 if last else steps // every + 1
    return ((state_rows,) + lead + (target.nstates,), (rows,) + lead + (width,))


def draw_out(d, plan, target, expect):
    kind = d.int(0, 7)
    if kind <= 2:
        return None
    arrays = []
    for shape in result_shapes(target, plan, expect):
        if d.int(0, 4) == 0:
            shape = tuple(max(k + d.pick((1, -1, 0)), 0) for k in shape)
        how = d.int(0, 9)
        if how <= 6:
            a = np.empty(shape)
        elif how == 7:
            a, _ = make_array(d, plan, shape)
        elif how == 8:
            a = np.empty(shape, np.float32)
        else:
            a = arrays[0] if arrays and arrays[0].shape == shape else np.empty(shape)[::-1]
        arrays.append(a)
    if not target.state_run:
        return arrays[0] if kind != 7 else (arrays[0],)
    if kind == 7:
        return d.pick([arrays[0], arrays, (arrays[0],), (arrays[0], arrays[1], arrays[0])])
    return tuple(arrays)


def draw_options(d, plan, target):
    """The target's options, drawn before its data arguments so that a hook
    in those may change an out= array. A keyword-only option is left out
    now and then (its default applies)."""
    values = {}
    for name in OPTIONS:
        if name not in target.option_params:
            continue
        if target.kind == "run" and d.int(0, 2):
            continue
        if name == "record":
            values[name] = draw_record(d, target)
        elif name == "every":
            values[name] = draw_every(d)
        elif name == "states":
            values[name] = d.pick(["kept", "last", "last", "every", "first", None, b"last"])
        elif name == "last":
            values[name] = d.pick([True, False, None, 1, "last"])
        elif name == "steps":
            values[name] = d.pick([None, None, None, None, plan.steps, -1, 2 ** 63, 1.5])
        elif name == "start":
            values[name] = d.pick([0, 0, 0, 0, 0, 3, -1, 2 ** 63, None])
        elif name == "initial":
            values[name] = d.pick([True, True, True, False, None, 1])
        else:
            values[name] = plan.out = draw_out(d, plan, target, expected_options(target, values))
            outs = values[name]
            for a in (outs if isinstance(outs, (tuple, list)) else [outs]):
                if isinstance(a, np.ndarray):
                    plan.outs.append(a)
                    add_array(plan, a)
    for name, value in values.items():
        plan.note(f"{name}={value!r:.60}" if name != "out" else f"out={describe_out(value)}")
    plan.expect = expected_options(target, values)
    plan.record = values.get("record")
    return values


def describe_out(out):
    if isinstance(out, np.ndarray):
        return f"{out.dtype}{out.shape}"
    if isinstance(out, (tuple, list)):
        return type(out).__name__ + "(" + ", ".join(describe_out(a) for a in out) + ")"
    return repr(out)


def build_call(d):
    target = d.pick(TARGETS)
    plan = Plan()
    plan.steps, plan.storages = d.int(0, 8), d.int(1, 3)
    values = draw_options(d, plan, target)
    args = []
    for name in target.positional:
        if name in OPTIONS:
            args.append(values[name])
            continue
        shape = target.nominal(name, d, plan)
        if name == "dt":
            kind = d.int(0, 5)
            if kind <= 2:
                value, text = d.float(), None
            else:
                value, text = make_value(d, plan, None, victims_of(plan))
        else:
            value, text = make_value(d, plan, shape, victims_of(plan))
        if isinstance(value, np.ndarray):
            add_array(plan, value)
        plan.note(f"{name}={text or repr(value)}")
        args.append(value)
    options = {name: values[name] for name in target.keyword_only if name in values}
    return target, plan, args, options


def add_array(plan, value):
    # A hook may resize or re-type only an array that owns its memory and
    # shares it with no other argument: a resize would free memory under a
    # view (NumPy's own hazard, not the call's).
    owner = value.base is None and not any(value is a for a in plan.arrays)
    if not owner or any(np.may_share_memory(value, a) for a in plan.arrays):
        plan.shared.append(value)
        for a in plan.arrays:
            if np.may_share_memory(value, a):
                plan.shared.append(a)
    plan.arrays.append(value)


def victims_of(plan):
    return [a for a in plan.arrays
            if not any(a is m for m in plan.mutated) and not any(a is s for s in plan.shared)]


def index_of(seq, obj):
    return next(i for i, v in enumerate(seq) if v is obj)


def arrange(d, target, plan, args, options):
    """Positional and keyword arguments, sometimes a wrong mix."""
    n = len(args)
    k = d.int(0, n)
    positional = list(args[:k])
    keywords = {name: value for name, value in zip(target.positional[k:], args[k:])}
    order = list(keywords)
    if order and d.bool():
        order.reverse()
    keywords = {name: keywords[name] for name in order}
    twist = d.int(0, 9)
    if twist == 0 and keywords:
        keywords.pop(d.pick(list(keywords)))
        plan.note("(one argument left out)")
    elif twist == 1:
        positional.append(None)
        plan.note("(one positional argument too many)")
    elif twist == 2:
        keywords["bogus"] = 1.0
        plan.note("(unknown keyword)")
    elif twist == 3 and k:
        keywords[target.positional[0]] = args[0]
        plan.note("(keyword repeats a positional)")
    elif twist == 4 and keywords:
        name = d.pick(list(keywords))
        keywords = {StrSub(key) if key == name else key: value for key, value in keywords.items()}
        plan.note(f"({name} as a str subclass)")
    keywords.update(options)
    plan.twisted = twist <= 3
    plan.note(f"positional={k}")
    return positional, keywords


# ---- a replaced `np` ----------------------------------------------------------

def fake_numpy(d, plan, target):
    """A stand-in for numpy whose one function misbehaves."""
    fake = types.SimpleNamespace(**{name: getattr(np, name) for name in
                                    ("ascontiguousarray", "empty", "asarray", "float64",
                                     "ndarray", "dtype", "array", "zeros", "full")})
    victims = victims_of(plan)
    which = d.pick(["ascontiguousarray", "empty", "asarray", "float64"])
    how = d.int(0, 8)
    real = getattr(np, which)
    action = None
    if victims and d.int(0, 3) == 0:
        victim = d.pick(victims)
        text, action = mutation(d, victim)
        if MUTATE:
            plan.mutated.append(victim)
            plan.note(f"np.{which} mutates arg#{index_of(plan.arrays, victim)} by {text}")
        else:
            action = None

    def misaligned(n):
        buf = np.zeros(int(n) * 8 + 8, np.uint8)
        return buf[1:1 + int(n) * 8].view(np.float64)

    replies = {
        0: lambda *a, **k: real(*a, **k),
        1: (lambda *a, **k: misaligned(a[0] if isinstance(a[0], int) else np.size(a[0])))
        if KNOWN else (lambda *a, **k: real(*a, **k)),
        2: lambda *a, **k: np.zeros((2, 3)),
        3: lambda *a, **k: [1.0, 2.0],
        4: lambda *a, **k: None,
        5: lambda *a, **k: np.ones(3, np.float32),
        6: lambda *a, **k: np.ones(10_000)[::2],
        7: lambda *a, **k: np.ones(1000),
    }

    def raising(*a, **k):
        raise RuntimeError("replaced np")

    reply = replies.get(how, raising)

    def replacement(*a, **k):
        if action is not None:
            action()
        return reply(*a, **k)

    if which == "float64":
        fake.float64 = d.pick([np.float32, np.int8, "float64", None, np.float64])
        plan.note(f"np.float64 replaced by {fake.float64!r}")
    else:
        setattr(fake, which, replacement)
        plan.note(f"np.{which} replaced (reply {how})")
    plan.replaced.add(which)
    return fake


def modules_with_np(target):
    found = []
    for name in (target.fn.__module__, "tarnlet._runs" if target.is_run else None):
        module = sys.modules.get(name) if name else None
        if module is not None and hasattr(module, "np"):
            found.append(module)
    return found


# ---- the oracle -----------------------------------------------------------------

def snapshot(obj):
    if isinstance(obj, np.ndarray):
        try:
            content = obj.tobytes()
        except Exception:  # noqa: BLE001 (a broken array is itself a finding below)
            content = None
        return (type(obj), obj.dtype.str, obj.shape, obj.strides, obj.flags.c_contiguous,
                obj.flags.f_contiguous, obj.flags.writeable, obj.flags.aligned,
                obj.flags.owndata, obj.__array_interface__["data"][0], content)
    if isinstance(obj, (list, bytearray)):
        return (type(obj), bytes(obj) if isinstance(obj, bytearray) else [id(v) for v in obj])
    return None


def checked_objects(plan, args, options):
    """Arrays, lists and bytearrays among the arguments that must come out
    unchanged (out= arrays apart: see test_one)."""
    seen, objs = set(), []
    for obj in list(args) + list(options.values()) + plan.checked:
        if isinstance(obj, tuple):
            continue
        if id(obj) in seen or any(obj is m for m in plan.mutated + plan.outs):
            continue
        if isinstance(obj, (np.ndarray, list, bytearray)):
            seen.add(id(obj))
            objs.append(obj)
    return objs


def unmutated(plan, objs):
    return [o for o in objs if not any(o is m for m in plan.mutated)]


def check_result(target, plan, result, args, options, replaced):
    if target.is_run:
        results = check_run_result(target, plan, result, replaced)
    else:
        if not isinstance(result, np.ndarray):
            if replaced:
                return
            raise FuzzFinding(f"{target.label} returned a {type(result).__name__}")
        n = target.result_length()
        if result.shape != (n,) or result.dtype != np.float64:
            raise FuzzFinding(f"{target.label} returned {result.dtype}{result.shape}, "
                              f"expected float64({n},)")
        results = (result,)
    for r in results:
        if not isinstance(r, np.ndarray) or any(r is o for o in plan.outs):
            continue
        for a in args:
            if isinstance(a, np.ndarray) and np.may_share_memory(r, a):
                raise FuzzFinding(f"{target.label}: result shares memory with an argument")


def check_run_result(target, plan, result, replaced):
    if plan.expect == "invalid" and not replaced:
        raise FuzzFinding(f"{target.label} accepted invalid options; call: " + "; ".join(plan.desc))
    parts = result if target.state_run else (result,)
    if target.state_run and target.kind == "raw" and isinstance(parts, tuple) and len(parts) == 6:
        # the compiled layer adds the floating-point exceptions of its steps,
        # the steps taken, dt and the final state
        if not isinstance(parts[2], int) or not 0 <= parts[2] < 16:
            raise FuzzFinding(f"{target.label} returned exception flags {parts[2]!r}")
        parts = parts[:2]
    if not isinstance(parts, tuple) or len(parts) != (2 if target.state_run else 1):
        if replaced:
            return ()
        raise FuzzFinding(f"{target.label} returned a {type(result).__name__}")
    widths = [target.nstates, target.noutputs] if target.state_run else [target.noutputs]
    if plan.record is not None:  # accepted, so a sequence of output indices
        widths[-1] = len(plan.record) if hasattr(plan.record, "__len__") else None
    for part, width in zip(parts, widths):
        if not isinstance(part, np.ndarray):
            if replaced:
                continue
            raise FuzzFinding(f"{target.label} returned a {type(part).__name__}")
        if part.ndim < 2 or part.shape[-1] != (width or part.shape[-1]) \
                or part.dtype != np.float64:
            raise FuzzFinding(f"{target.label} returned an array {part.dtype}{part.shape}, "
                              f"expected rows of {width}; call: " + "; ".join(plan.desc))
    out = plan.out
    outs = out if isinstance(out, tuple) else (out,)
    if out is not None and all(isinstance(o, np.ndarray) for o in outs) \
            and not any(o is m for o in outs for m in plan.mutated) and not replaced:
        if len(outs) != len(parts) or any(p is not o for p, o in zip(parts, outs)):
            raise FuzzFinding(f"{target.label}: the out= arrays were not returned; call: "
                              + "; ".join(plan.desc))
    return parts


def plain(value):
    """Whether converting `value` runs no Python code of ours."""
    return not isinstance(value, Hook)


def as_f8(a):
    return np.ascontiguousarray(a, dtype=np.float64)


def loop(target, data):
    """What a Python loop over the block module gives for a run: outputs,
    then euler_step, every step (n storages in series for a chain)."""
    module = BLOCKS[target.block]
    names = target.data_params
    x0, u, dt = as_f8(data["x0"]), as_f8(data["u"]), float(data["dt"])
    params = [as_f8(data[n]) for n in names[2:-1]]
    # x0 is a state (for a chain, a row per storage) or rows of them, of which
    # the run takes the last
    if target.chain:
        rows = x0.reshape((-1,) + x0.shape[-2:])[-1] if x0.ndim > 2 else x0
    else:
        rows = x0.reshape(-1, target.nstates)[-1:]
    spars = params[1] if target.chain and params[1].ndim == 2 else [params[-1]] * len(rows)
    states, outputs = [rows.copy()], []
    for t in range(len(u)):
        inflow, xs, ys = u[t], [], []
        for j, x in enumerate(states[-1]):
            p = [params[0], spars[j]] if target.chain else params
            y = module.outputs(x, inflow, *p)
            xs.append(module.euler_step(x, inflow, *p, dt))
            ys.append(y)
            inflow = y
        states.append(np.array(xs))
        outputs.append(np.array(ys))
    lead = rows.shape[:-1] if target.chain else ()
    states = np.array(states).reshape((len(u) + 1,) + lead + (target.nstates,))
    outputs = np.array(outputs).reshape((len(u),) + lead + (target.noutputs,))
    return states, outputs


def stream_loop(target, data):
    """Each row of a stream run as the block's own function gives it."""
    module = BLOCKS[target.block]
    series = [as_f8(data[n]) for n in target.data_params]
    exact = [n for n in target.data_params if n in ("u", "stream_a", "stream_b")]
    steps = max([len(a) for a, n in zip(series, target.data_params) if n in exact and a.ndim == 2],
                default=1)
    rows = []
    for t in range(steps):
        call = [a[t] if n in exact and a.ndim == 2 else a for a, n in zip(series, target.data_params)]
        rows.append(module.compute(*call))
    return np.array(rows).reshape(steps, target.noutputs)


def same_bits(a, b):
    if a.shape != b.shape:
        return False
    a_bits, b_bits = a.view(np.uint64), b.view(np.uint64)
    equal = a_bits == b_bits
    if not KNOWN:  # NaNs compared by value only
        equal |= np.isnan(a) & np.isnan(b)
    return bool(equal.all())


def check_against_loop(target, plan, result, args):
    """A run with plain arguments equals the loop over its block, bit for bit,
    with the options applied to the full results."""
    if not isinstance(plan.expect, tuple) or not all(map(plain, args)):
        return
    record, every, last = plan.expect
    data = dict(zip(target.positional, args))
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        if target.state_run:
            states, outputs = loop(target, data)
            expected = (states[-1:] if last else states[::every], outputs[::every])
        else:
            expected = (stream_loop(target, data)[::every],)
    if record is not None:
        expected = expected[:-1] + (expected[-1][..., list(record)],)
    got = (result[:2] if target.state_run else (result,))
    for name, g, want in zip(("states", "outputs") if target.state_run else ("outputs",),
                             got, expected):
        if not same_bits(g, want):
            bad = (np.argwhere(g.view(np.uint64) != want.view(np.uint64))
                   if g.shape == want.shape else [])
            raise FuzzFinding(f"{target.label}: {name} differ from the loop over "
                              f"{target.block} (shapes {g.shape}, {want.shape}; first "
                              f"differing index {bad[0] if len(bad) else None}); "
                              "call: " + "; ".join(plan.desc))


def run_call(target, plan, positional, keywords, replace):
    """The call; returns (outcome, result or exception)."""
    saved = []
    try:
        for module, fake in replace:
            saved.append((module, module.np))
            module.np = fake
        try:
            return "result", target.fn(*positional, **keywords)
        except Exception as exc:  # noqa: BLE001 (any exception is an allowed outcome)
            return "raised", exc
    finally:
        for module, original in reversed(saved):
            module.np = original


def test_one(data):
    d = Draw(data)
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        target, plan, args, options = build_call(d)
    positional, keywords = arrange(d, target, plan, args, options)
    replace = []
    if REPLACE_NP and d.int(0, 15) == 0:
        for module in modules_with_np(target):
            replace.append((module, fake_numpy(d, plan, target)))
    strict_warnings = d.int(0, 3) == 0
    if VERBOSE:
        print(f"CALL {target.label}: " + "; ".join(plan.desc)
              + ("; warnings as errors" if strict_warnings else ""), flush=True)
    objs = checked_objects(plan, args, options)
    tracked = objs + unmutated(plan, plan.outs)
    before = [snapshot(o) for o in tracked]
    counts = [sys.getrefcount(o) for o in tracked]
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("error" if strict_warnings else "ignore")
        outcome, value = run_call(target, plan, positional, keywords, replace)
    for module, _ in replace:
        if module.np is not np:
            raise FuzzFinding(f"{module.__name__}.np not restored")
    compared = len(objs)  # out= arrays are written by a call that succeeds
    if outcome == "result":
        # The functions return np.asarray(result): a replaced one may return anything.
        if "asarray" not in plan.replaced:
            check_result(target, plan, value, args, options, bool(replace))
        if target.is_run and not replace and not plan.twisted and not plan.mutated:
            check_against_loop(target, plan, value, args)
    elif not isinstance(value, Exception):
        raise FuzzFinding(f"{target.label} raised {type(value).__name__}")
    else:
        compared = len(tracked)
    del value
    for i in range(compared):
        b, a = before[i], snapshot(tracked[i])
        if b != a:
            raise FuzzFinding(f"{target.label}: argument {type(tracked[i]).__name__} "
                              f"changed: {describe_change(b, a)}; call: " + "; ".join(plan.desc))
    recount = [sys.getrefcount(o) for o in tracked]
    if recount != counts:
        gc.collect()
        recount = [sys.getrefcount(o) for o in tracked]
        if recount != counts:
            raise FuzzFinding(f"{target.label}: reference counts of the arguments "
                              f"{counts} -> {recount}; call: " + "; ".join(plan.desc))


FIELDS = ("type", "dtype", "shape", "strides", "C", "F", "writeable", "aligned", "owndata",
          "data", "contents")


def describe_change(before, after):
    if before is None or after is None or len(before) != len(FIELDS):
        return f"{before!r:.200} -> {after!r:.200}"
    return ", ".join(f"{f}: {b!r:.80} -> {a!r:.80}" for f, b, a in zip(FIELDS, before, after)
                     if b != a)


def main():
    print(f"fuzz_tarnlet: {len(TARGETS)} functions: " + ", ".join(t.label for t in TARGETS),
          flush=True)
    atheris.Setup(sys.argv, test_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
