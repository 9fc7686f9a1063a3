"""Gives each e2e test a harness Session of its own (tools/wine/harness.py) in
the cached Wine prefix. A failed test's output ends with the tail of every log
of its session; all of them stay in build/host/e2e/TEST/."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "wine"))
pytest.register_assert_rewrite("harness")
import harness  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--windows-build", type=Path, default=harness.REPO / "build" / "windows")
    parser.addoption("--work", type=Path, default=harness.REPO / "build" / "host" / "e2e")


@pytest.fixture(scope="session")
def prefix(pytestconfig):
    work = pytestconfig.getoption("work")
    work.mkdir(parents=True, exist_ok=True)
    with harness.prefix(harness.REPO / "build" / "wine-prefix", work / "prefix.log") as path:
        yield path


@pytest.fixture
def s(request, prefix):
    config = request.config
    with harness.Session(config.getoption("windows_build"),
                         config.getoption("work") / request.node.name, prefix) as session:
        yield session
        print(session.report())  # pytest shows it only when the test failed
        # Every Velmora ran beside a planted copy of the double; none may load it.
        session.check_winmm_origin()
