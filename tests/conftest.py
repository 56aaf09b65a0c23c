"""Fixtures of both test folders: the desk of programs and windows, servers that end with the
test, and a test authority trusted in the run's Wine prefix and by curl and urllib alone."""
import os
import subprocess
import tempfile

import pytest
import trustme

from support import ROOT, Desk, UpdateServer, private_display, trust_in_wine_prefix


@pytest.fixture
def desk():
    desk = Desk()
    yield desk
    desk.end()


@pytest.fixture
def serve():
    """Starts an UpdateServer (or another `kind` with a close()) that ends with the test."""
    servers = []

    def start(*args, kind=UpdateServer, **kwargs):
        servers.append(kind(*args, **kwargs))
        return servers[-1]
    yield start
    for server in servers:
        server.close()


@pytest.fixture(scope="session")
def authority(tmp_path_factory):
    """A throw-away authority; its certificate file is trusted by curl and urllib through the
    environment, and in the Wine prefix when a test asks (trust_in_wine_prefix)."""
    authority = trustme.CA()
    path = tmp_path_factory.mktemp("authority") / "authority.pem"
    authority.cert_pem.write_to_path(path)
    os.environ.update(SSL_CERT_FILE=str(path), CURL_CA_BUNDLE=str(path))
    return authority


@pytest.fixture(scope="session")
def trusted(authority):
    """The authority, trusted in this run's Wine prefix too."""
    trust_in_wine_prefix(authority)
    return authority


@pytest.fixture
def screen():
    """Runs what the test starts on an Xvfb screen of the size given, in a Wine prefix of its own
    (a prefix's desktop keeps the screen it first started on); yields a Desk there."""
    opened = []

    def open_screen(width, height):
        prefix = tempfile.TemporaryDirectory()
        xvfb, display = private_display(width, height)
        opened.append((xvfb, prefix))
        os.environ.update(DISPLAY=display, WINEPREFIX=prefix.name)
        subprocess.run([ROOT / "tests" / "wine_prefix.sh", "start"], check=True)
        desks.append(Desk())
        return desks[-1]
    saved, desks = dict(os.environ), []
    yield open_screen
    for desk in desks:
        desk.end()
    for xvfb, prefix in opened:
        subprocess.run([ROOT / "tests" / "wine_prefix.sh", "stop"],
                       env={**os.environ, "WINEPREFIX": prefix.name})
        xvfb.kill()
        xvfb.wait()
        prefix.cleanup()
    os.environ.clear()
    os.environ.update(saved)
