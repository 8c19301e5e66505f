"""Start-up of tavotools.tavo: import semantics, the one-interpreter and
re-initialisation guards, the namespace and the public function objects.

The module exists once per process, so every check that loads or re-imports it
runs in a fresh interpreter."""
import ast
import builtins
import copy
import importlib
import inspect
import json
import os
import pickle
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy import integrate

import tavotools.tavo as tavo

NAMES = ["get_PGA_cy", "get_PGV_cy", "get_Ia_cy", "get_Ia_times_cy",
         "get_CAV_cy", "get_CAVn_cy", "get_CAVstd_cy", "get_CAVdp_cy"]

# Stand-ins for NumPy 2's own modules (numpy._core._multiarray_umath); NumPy 1
# has its extension under numpy.core, where these stand-ins change nothing.
numpy_2_layout = pytest.mark.skipif(np.lib.NumpyVersion(np.__version__) < "2.0.0",
                                    reason="stands in for a module of NumPy 2")

DOCS = {
    "get_PGA_cy": "\n\tParameter\n\t=========\n\taccel: Acceleration time series. \n\n\tReturns\n\t=======\n\tPGA in same units as input.\n\t",
    "get_PGV_cy": "\n\tParameter\n\t=========\n\taccel: Acceleration time series in m/s**2.\n\tdt: Time step in s.\n\n\tReturns\n\t=======\n\tPGV in m/s.\n\t",
    "get_Ia_cy": "\n\tParameter\n\t=========\n\taccel: Acceleration time series in m/s**2.\n\tdt: Time step in s.\n\t\n\tReturns\n\t=======\n\tIa in m/s.\n\t",
    "get_Ia_times_cy": "\n\tParameter\n\t=========\n\taccel: Acceleration time series in m/s**2.\n\tdt: Time step in s.\n\tpercentages: Ia percentages at which to compute the times.\n\n\tReturns\n\t=======\n\tIa times in s.\n\t",
    "get_CAV_cy": "\n\tParameter\n\t=========\n\taccel: Acceleration time series.\n\tdt: Time step in s.\n\n\tReturns\n\t=======\n\tCAV in units consistent with input.\n\t",
    "get_CAVn_cy": "\n\tParameter\n\t=========\n\taccel: Acceleration time series.\n\tdt: Time step in s.\n\tthreshold: Acceleration threshold in same units as \"accel.\"\n\n\tReturns\n\t=======\n\tCAV_n in units consistent with input.\n\t",
    "get_CAVstd_cy": "\n\tParameter\n\t=========\n\taccel: Acceleration time series in m/s**2.\n\tdt: Time step in s.\n\n\tReturns\n\t=======\n\tCAV_n in m/s.\n\t",
    "get_CAVdp_cy": "\n\tParameter\n\t=========\n\tCAVstd_gm: Geometric average CAVstd of the two horizontal components in m/s\n\tmax_CAVstd: Maximum CAVstd of the three components in m/s\n\tmax_PSA: Maximum PSA (2 - 10 Hz) of the the three horizontal components in m/s**2\n\tmax_PSV: Maximum PSV (1 - 2 Hz) of the the three horizontal components in m/s\n\tPSV_check: Flag, to check (or not) for PSV threshold (default = 1)\n\n\tReturns\n\t=======\n\tCAVdp: Damage potential CAV in m/s\n\t",
}

SIGNATURES = {
    "get_PGA_cy": "(accel)",
    "get_PGV_cy": "(accel, dt)",
    "get_Ia_cy": "(accel, dt)",
    "get_Ia_times_cy": "(accel, dt, percentages)",
    "get_CAV_cy": "(accel, dt)",
    "get_CAVn_cy": "(accel, dt, threshold)",
    "get_CAVstd_cy": "(accel, dt)",
    "get_CAVdp_cy": "(CAVstd_gm, max_CAVstd, max_PSA, max_PSV, PSV_check=1)",
}

SO_FILE = tavo.__file__
# The directory that holds the tavotools package this process imported.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(SO_FILE)))


def run_fresh(code, *args):
    """Runs `code` in a new interpreter that imports nothing of ours first; returns its stdout
    decoded as JSON (the script's last line)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT, os.environ.get("PYTHONPATH", "")]))
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True,
                       text=True, env=env, timeout=300, cwd=ROOT)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout.splitlines()[-1])


# ---- namespace -----------------------------------------------------------------


def test_namespace_order_and_contents():
    # in a fresh process: other tests may rebind names of this one
    keys = run_fresh("import json, tavotools.tavo as t; print(json.dumps(list(vars(t))))")
    expected = ["__builtins__", "np", "integrate", "__author__", *NAMES, "__test__"]
    assert [k for k in keys if k in expected] == expected
    # names copied by the create slot come before everything the exec slot binds
    assert keys.index("__loader__") < keys.index("__file__") < keys.index("__builtins__")
    assert {k for k in keys if not k.startswith("_")} == {"np", "integrate", *NAMES}


def test_namespace_values():
    assert tavo.np is np
    assert tavo.integrate is integrate
    assert tavo.__builtins__ is builtins
    assert tavo.__author__ == "tavotools developers"
    assert type(tavo.__test__) is dict and tavo.__test__ == {}
    assert tavo.__doc__ == (" A suite of codes to compute ground motion intensity measures (TAVOs) "
                            "based on ground motion records.\n")
    assert tavo.__name__ == "tavotools.tavo"
    assert tavo.__package__ == "tavotools"
    assert tavo.__file__ == tavo.__spec__.origin
    assert not hasattr(tavo, "__path__")


def test_no_gravity_in_namespace():
    # 9.81 is an internal constant, bound to no name
    assert not [k for k, v in vars(tavo).items() if isinstance(v, float)]
    assert not any(hasattr(tavo, n) for n in ("g", "gravity", "GRAVITY"))


@pytest.mark.parametrize("name", NAMES)
def test_function_attributes(name):
    f = getattr(tavo, name)
    assert f.__name__ == name
    assert f.__qualname__ == name
    assert f.__module__ == "tavotools.tavo"
    assert f.__doc__ == DOCS[name]
    assert f.__defaults__ == ((1,) if name == "get_CAVdp_cy" else None)
    sig = inspect.signature(f)
    assert str(sig) == SIGNATURES[name]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


@pytest.mark.parametrize("name", NAMES)
def test_function_pickles_by_reference(name):
    f = getattr(tavo, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_defaults_tuple_holds_the_int_1():
    (d,) = tavo.get_CAVdp_cy.__defaults__
    assert type(d) is int and d == 1


# ---- import semantics --------------------------------------------------------


def test_reimport_returns_the_same_module_and_runs_nothing_again():
    out = run_fresh("""
        import importlib, json, sys
        import tavotools.tavo as t
        funcs = [getattr(t, n) for n in dir(t) if n.startswith("get_")]
        test_dict = t.__test__
        sentinel = object()
        t.np = t.integrate = sentinel      # a second run of the module body would rebind them
        del sys.modules["tavotools.tavo"]
        import tavotools.tavo as t2
        r = {"same": t2 is t, "np_kept": t2.np is sentinel and t2.integrate is sentinel,
             "funcs_same": [getattr(t2, f.__name__) is f for f in funcs],
             "test_same": t2.__test__ is test_dict,
             "in_modules": sys.modules["tavotools.tavo"] is t}
        r["reload_same"] = importlib.reload(t) is t and t.np is sentinel
        print(json.dumps(r))
    """)
    assert out == {"same": True, "np_kept": True, "funcs_same": [True] * 8, "test_same": True,
                   "in_modules": True, "reload_same": True}


def test_second_interpreter_is_refused():
    out = run_fresh("""
        import json, _xxsubinterpreters as interpreters
        import tavotools.tavo as t
        # a non-isolated interpreter: the import system would otherwise refuse the
        # module before its own guard runs
        i = interpreters.create(isolated=False)
        try:
            interpreters.run_string(i, "import tavotools.tavo")
            err = None
        except interpreters.RunFailedError as e:
            err = str(e)
        interpreters.destroy(i)
        print(json.dumps({"err": err, "works": t.get_CAVdp_cy(1.7, 2.0, 2.0, 0.2)}))
    """)
    assert out == {"err": "<class 'ImportError'>: Interpreter change detected - this module can "
                          "only be loaded into one interpreter per process.",
                   "works": 1.7}


def test_create_copies_spec_attributes_and_guards_reinitialisation():
    out = run_fresh("""
        import _imp, json, sys, types
        so = sys.argv[1]
        r = {}
        class PlainSpec:                      # a plain module whose loader is None
            name = "tavo"; origin = so; loader = None; parent = "pkg"
            submodule_search_locations = None
        m1 = _imp.create_dynamic(PlainSpec())
        r["m1"] = [m1.__name__, m1.__loader__ is None, m1.__file__ == so, m1.__package__,
                   hasattr(m1, "__path__"), hasattr(m1, "np")]
        locations = ["somewhere"]
        m2 = _imp.create_dynamic(types.SimpleNamespace(name="tavo", origin=so,
                                                       submodule_search_locations=locations))
        # nothing executed yet, so a second create still gives a new object
        r["m2"] = [m2 is not m1, m2.__path__ is locations]
        class BrokenSpec:
            name = "tavo"; origin = so
            @property
            def loader(self): raise LookupError("no loader today")
        try:
            _imp.create_dynamic(BrokenSpec())
        except LookupError as e:
            r["broken"] = str(e)
        _imp.exec_dynamic(m1)
        r["exec1"] = [m1.get_CAVdp_cy(1.7, 2.0, 2.0, 0.2), sys.modules["tavotools.tavo"] is m1]
        r["create_again"] = _imp.create_dynamic(PlainSpec()) is m1
        r["exec_same"] = _imp.exec_dynamic(m1)
        try:
            _imp.exec_dynamic(m2)
        except RuntimeError as e:
            r["exec2"] = str(e)
        # the loader's exec on a module object of another kind never reaches the exec slot
        r["foreign"] = _imp.exec_dynamic(types.ModuleType("tavo"))
        import importlib
        r["import"] = importlib.import_module("tavotools.tavo") is m1 and m1.get_CAVdp_cy(1.7, 2.0, 2.0, 0.1) == 0
        print(json.dumps(r))
    """, SO_FILE)
    assert out == {
        "m1": ["tavo", True, True, "pkg", False, False],
        "m2": [True, True],
        "broken": "no loader today",
        "exec1": [1.7, True],
        "create_again": True,
        "exec_same": 0,
        "exec2": "Module 'tavo' has already been imported. Re-initialisation is not supported.",
        "foreign": 0,
        "import": True,
    }


BLOCK = """
    import json, sys, traceback
    class Blocker:                            # makes the named top-level packages absent
        def find_spec(self, name, path=None, target=None):
            if name.partition(".")[0] in sys.argv[1:] or name in sys.argv[1:]:
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
    blocker = Blocker()
    sys.meta_path.insert(0, blocker)
    r = {}
    try:
        import tavotools.tavo
    except ImportError as e:
        r = {"type": type(e).__name__, "msg": str(e),
             "entries": [f.name for f in traceback.extract_tb(e.__traceback__)],
             "left_behind": "tavotools.tavo" in sys.modules}
    sys.meta_path.remove(blocker)
    import tavotools.tavo as t                # a failed start-up may be retried
    r["retry"] = t.get_CAVdp_cy(1.7, 2.0, 2.0, 0.2)
    print(json.dumps(r))
"""


def test_import_fails_without_scipy():
    out = run_fresh(BLOCK, "scipy")
    assert out["type"] == "ModuleNotFoundError"
    assert out["msg"] == "No module named 'scipy'"
    assert "init tavotools.tavo" in out["entries"]
    assert not out["left_behind"]
    assert out["retry"] == 1.7


@pytest.mark.parametrize("blocked", ["numpy", pytest.param("numpy._core._multiarray_umath",
                                                           marks=numpy_2_layout)])
def test_import_fails_without_numpy(blocked):
    out = run_fresh(BLOCK, blocked)
    assert out["type"] == "ImportError"
    assert out["msg"].startswith("numpy.core.multiarray failed to import")
    assert "init tavotools.tavo" in out["entries"]
    assert not out["left_behind"]
    assert out["retry"] == 1.7


def test_scipy_without_integrate():
    out = run_fresh("""
        import json, sys, traceback, types
        sys.modules["scipy"] = types.ModuleType("scipy")   # no integrate, not a package
        r = {}
        try:
            import tavotools.tavo
        except ImportError as e:
            r["err"] = [type(e).__name__, str(e),
                        "init tavotools.tavo" in [f.name for f in traceback.extract_tb(e.__traceback__)]]
        # the loaded submodule stands in for a missing attribute
        fake = sys.modules["scipy.integrate"] = types.ModuleType("scipy.integrate")
        import tavotools.tavo as t
        r["fallback"] = t.integrate is fake
        print(json.dumps(r))
    """)
    assert out == {"err": ["ImportError", "cannot import name integrate", True], "fallback": True}


@pytest.mark.parametrize("attr, stand_in, warnings_as, error", [
    ("ufunc", "5", "default", "TypeError"),                    # not a type object
    ("flatiter", "object", "default", "ValueError"),           # instances smaller than compiled for
    ("generic", "numpy.ndarray", "error", "RuntimeWarning"),   # larger: a warning only
    ("generic", "numpy.ndarray", "ignore", None),
])
def test_numpy_type_layout_checks(attr, stand_in, warnings_as, error):
    out = run_fresh("""
        import json, sys, traceback, warnings
        import numpy
        setattr(numpy, sys.argv[1], eval(sys.argv[2]))
        warnings.simplefilter(sys.argv[3])
        try:
            import tavotools.tavo as t
            r = {"error": None, "works": t.get_CAVdp_cy(1.7, 2.0, 2.0, 0.2)}
        except Exception as e:
            r = {"error": type(e).__name__,
                 "last": traceback.extract_tb(e.__traceback__)[-1].name}
        print(json.dumps(r))
    """, attr, stand_in, warnings_as)
    if error is None:
        assert out == {"error": None, "works": 1.7}
    else:
        assert out == {"error": error, "last": "init tavotools.tavo"}


@numpy_2_layout
@pytest.mark.parametrize("mode", ["api_module_missing", "api_not_a_capsule", "older_location"])
def test_numpy_array_api_import(mode):
    out = run_fresh("""
        import json, sys, traceback, types
        import numpy
        real = sys.modules["numpy._core._multiarray_umath"]
        mode, r = sys.argv[1], {"fallback_read": False}
        if mode == "api_not_a_capsule":
            real._ARRAY_API = 5
        else:
            sys.modules["numpy._core._multiarray_umath"] = None   # ModuleNotFoundError
        if mode == "older_location":
            class Older(types.ModuleType):
                @property
                def _ARRAY_API(self):     # restores the real module for SciPy's sake
                    r["fallback_read"] = True
                    sys.modules["numpy._core._multiarray_umath"] = real
                    return real._ARRAY_API
            sys.modules["numpy.core._multiarray_umath"] = Older("numpy.core._multiarray_umath")
        try:
            import tavotools.tavo as t
            r["works"] = t.get_CAVdp_cy(1.7, 2.0, 2.0, 0.2)
        except ImportError as e:
            r["error"] = [str(e), traceback.extract_tb(e.__traceback__)[-1].name]
        print(json.dumps(r))
    """, mode)
    if mode == "older_location":
        assert out == {"fallback_read": True, "works": 1.7}
    else:
        assert out == {"fallback_read": False,
                       "error": ["numpy.core.multiarray failed to import", "init tavotools.tavo"]}


# ---- a start-up that fails after the functions exist --------------------------------

FAILING_NUMPY = """
    import json, sys, traceback, types
    import numpy, scipy.integrate   # loaded first: only the module's own start-up sees the stand-in
    real, captured, r = numpy, [], {}

    def call(f):
        try:
            return ["ok", f(real.array([1.0, -2.0]))]
        except BaseException as e:
            return [type(e).__name__, str(e)]

    failing = sys.argv[1]

    class Failing(types.ModuleType):
        # numpy whose `zeros` or `asarray` fails when start-up reads it, after the
        # functions were bound; a function taken now must not run, then or after the failure.
        def __getattr__(self, name):   # reached for zeros and asarray only
            if name == failing:
                f = sys.modules["tavotools.tavo"].get_PGA_cy
                captured.append(f)
                r["during"] = call(f)
                raise LookupError(f"no {name} today")
            if failing == "zeros":     # asarray read after a pending error would hide the real one
                raise KeyError(f"{name} read after the first error")
            return getattr(real, name)

    stand_in = Failing("numpy")
    vars(stand_in).update({k: v for k, v in vars(real).items() if k not in ("zeros", "asarray")})
    sys.modules["numpy"] = stand_in
    try:
        import tavotools.tavo
    except BaseException as e:
        r["error"] = [type(e).__name__, str(e), [f.name for f in traceback.extract_tb(e.__traceback__)][-2:]]
    sys.modules["numpy"] = real
    r["after"] = call(captured[0])
    import tavotools.tavo as t        # a failed start-up may be retried
    r["retried"] = call(t.get_PGA_cy)
    r["stale"] = call(captured[0])    # still the function of the failed start-up
    print(json.dumps(r))
"""


def test_functions_replaced_before_the_import_are_called():
    # NumPy's and SciPy's functions replaced before the module is imported are not
    # theirs: the measures must call the replacements, as they would after the import.
    out = run_fresh("""
        import json
        import numpy as np
        from scipy import integrate
        calls = []
        def recording(owner, name):
            original = getattr(owner, name)
            def wrapper(*args, **kwargs):
                calls.append(name)
                return original(*args, **kwargs)
            setattr(owner, name, wrapper)
        for name in ("zeros", "asarray", "array", "cumsum"):
            recording(np, name)
        recording(integrate, "cumulative_trapezoid")
        import tavotools.tavo as tavo
        accel = np.array([0.1, -0.3, 0.2, 0.01, 0.5])
        out = {}
        for name, args in [("get_PGA_cy", ()), ("get_PGV_cy", (0.5,)), ("get_Ia_cy", (0.5,)),
                           ("get_Ia_times_cy", (0.5, np.array([0.5]))), ("get_CAV_cy", (0.5,)),
                           ("get_CAVn_cy", (0.5, 0.2)), ("get_CAVstd_cy", (0.5,))]:
            calls.clear()
            getattr(tavo, name)(accel.copy(), *args)
            out[name] = sorted(set(calls))
        print(json.dumps(out))
    """)
    made = ["asarray", "zeros"]                # by the kernels' result arrays
    # SciPy's own function calls NumPy too (which functions depends on its version).
    assert {"cumulative_trapezoid", *made} <= set(out.pop("get_PGV_cy"))
    assert out == {name: made for name in out}


@pytest.mark.parametrize("failing", ["zeros", "asarray"])
def test_functions_of_a_failed_start_up_refuse_to_run(failing):
    out = run_fresh(FAILING_NUMPY, failing)
    refusal = ["ImportError",
               "module tavotools.tavo is not initialised: its start-up failed or has not finished"]
    error = ["LookupError", f"no {failing} today", ["init tavotools.tavo", "__getattr__"]]
    assert out == {"during": refusal, "error": error, "after": refusal, "retried": ["ok", 2.0], "stale": refusal}


# ---- the stub files agree with the modules ----------------------------------------------

def stub_functions(module):
    """name -> [(parameter, default source or None)] of the functions in the module's .pyi."""
    stub = os.path.join(os.path.dirname(os.path.abspath(module.__file__)),
                        module.__name__.rpartition(".")[2] + ".pyi")
    with open(stub, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            a = node.args
            defaults = [None] * (len(a.args) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
            assert not (a.posonlyargs or a.kwonlyargs or a.vararg or a.kwarg), node.name
            found[node.name] = [(p.arg, d) for p, d in zip(a.args, defaults)]
    return found


@pytest.mark.parametrize("name", ["tavo", "_parse", "_spectra"])
def test_stub_files_agree_with_the_modules(name):
    # Each extension module of the typed package has its stub beside it: _spectra had
    # none, and _parse's lacked rounding_to_nearest, which the readers import.
    compiled = importlib.import_module(f"tavotools.{name}")
    module = {}
    for key, value in vars(compiled).items():
        if repr(type(value)) == f"<class '{compiled.__name__}.function'>":
            params = inspect.signature(value).parameters.values()
            module[key] = [(p.name, None if p.default is p.empty else p.default) for p in params]
    assert module
    assert stub_functions(compiled) == module


@pytest.mark.parametrize("name", ["tavo", "_spectra", "_parse"])
def test_extension_modules_export_their_init_function_alone(name):
    # The kernels' function clones (ifunc resolvers) were exported by tavo and
    # _spectra whatever -fvisibility said: loaded with RTLD_GLOBAL, another library's
    # symbol of the same name could take their place, or they another's.
    nm = shutil.which("nm")
    if nm is None or not sys.platform.startswith("linux"):
        pytest.skip("needs nm on Linux")
    path = importlib.import_module(f"tavotools.{name}").__file__
    out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True)
    exported = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert exported == [f"PyInit_{name}"]
