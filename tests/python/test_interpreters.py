"""What the module declares to interpreters that differ from the plain
GIL-holding main one: sub-interpreters (3.12+) and free-threaded builds."""

import importlib.util
import subprocess
import sys
import sysconfig
import textwrap

import pytest

REFUSAL = "module zorvat_codec does not support loading in subinterpreters"


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


# A sub-interpreter that shares the main GIL but checks its extensions: a
# module that made no declaration would load there, so only an explicit
# "not supported" refuses. Each version has its own private way to make one.
if sys.version_info >= (3, 13):
    SUBINTERPRETER_IMPORT = """
        import _interpreters
        config = _interpreters.new_config("isolated", gil="shared")
        interp = _interpreters.create(config)
        error = _interpreters.exec(interp, "import zorvat_codec")
        print(error.type.__name__ if error else "loaded", error.msg if error else "")
    """
    HELPER = "_interpreters"
else:
    SUBINTERPRETER_IMPORT = """
        import _testcapi
        status = _testcapi.run_in_subinterp_with_config(
            "import zorvat_codec", use_main_obmalloc=True, allow_fork=True, allow_exec=True,
            allow_threads=True, allow_daemon_threads=True, check_multi_interp_extensions=True,
            gil=1)  # 1: share the main interpreter's GIL
        print("loaded" if status == 0 else "failed")
    """
    HELPER = "_testcapi"


@pytest.mark.skipif(sys.version_info < (3, 12), reason="Py_mod_multiple_interpreters is new in 3.12")
def test_sub_interpreters_are_refused_and_main_keeps_working():
    if importlib.util.find_spec(HELPER) is None:
        pytest.skip(f"{HELPER} is not built into this interpreter")
    result = run_python(
        SUBINTERPRETER_IMPORT
        + """
        import zorvat_codec
        print(zorvat_codec.columnarize(b'[{"a":1}]').decode())
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    if sys.version_info >= (3, 13):
        assert lines[0] == "ImportError " + REFUSAL
    else:
        assert lines[0] == "failed"
        assert "ImportError: " + REFUSAL in result.stderr
    assert lines[1] == '{"columns":["a"],"rows":[[1]],"constants":{}}'


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build")
def test_free_threaded_build_keeps_the_gil_off():
    # The module declares that it does not need the GIL: importing it must not
    # turn it back on (which the interpreter would do, with a warning).
    result = run_python(
        """
        import sys, warnings
        warnings.simplefilter("error")
        assert not sys._is_gil_enabled()
        import zorvat_codec
        zorvat_codec.columnarize(b'[{"a":1}]')
        print(sys._is_gil_enabled())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"
