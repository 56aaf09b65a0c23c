"""The release command, run in fresh clones of this repository: two folders give the same bytes,
a signed release is the unsigned one plus signatures, a failing sign command fails it, and the
check of a release against its source tells a rebuild from a changed file."""
import glob
import hashlib
import os
import pathlib
import shutil
import subprocess
import zipfile

import pytest

from support import ROOT, Program, new_key, private_display, uninstall, user_folder

BOOTSTRAPPER = os.environ.get("OSTREL_BOOTSTRAPPER_STAND_IN", "")
# Fails for all but the program, as when the uninstaller's signature fails inside makensis.
ALLOWED = dict(OSTREL_DOWNLOAD_PAGE_URL="HTTP://127.0.0.1:9/", OSTREL_ALLOW_PLAIN_HTTP="1")
UNKEYED = dict(ALLOWED, OSTREL_ALLOW_UNSIGNED_ANSWERS="1")
SIGN_PROGRAM_ONLY = 'case "$1" in */OstrelBrowser.exe) exec tools/sign-pfx.sh "$1" ;; esac\nexit 1\n'


def packages(folder):
    """Each file's hash: a difference reads at a glance, and is not diffed byte by byte."""
    return {path.name: hashlib.sha256(path.read_bytes()).hexdigest()
            for path in pathlib.Path(folder).iterdir()}


def program_in(folder):
    with zipfile.ZipFile(glob.glob(f"{folder}/*.zip")[0]) as archive:
        return archive.read("OstrelBrowser.exe")


class Releases:
    """Release commands run in two clones of this repository, as a publisher runs them."""

    def __init__(self, work):
        self.work = work
        # The ready sign command, with a throw-away certificate made for this run.
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-keyout", work / "key.pem", "-out", work / "cert.pem", "-subj",
                        "/CN=Ostrel Test Signing", "-addext", "extendedKeyUsage=codeSigning"],
                       check=True, capture_output=True)
        (work / "password").write_text("throwaway\n")
        subprocess.run(["openssl", "pkcs12", "-export", "-in", work / "cert.pem", "-inkey",
                        work / "key.pem", "-out", work / "sign.pfx", "-passout",
                        f"file:{work}/password"], check=True, capture_output=True)
        (work / "sign-program-only.sh").write_text(SIGN_PROGRAM_ONLY)
        self.public = new_key(work, "answers")[1]  # the update answers' keys
        self.pfx = dict(OSTREL_SIGN_PFX=f"{work}/sign.pfx",
                        OSTREL_SIGN_PFX_PASSWORD_FILE=f"{work}/password")
        for clone in ("a", "b"):
            subprocess.run(["git", "clone", "--quiet", ROOT, work / clone], check=True)
        # Unsigned in one folder; in the other, after a configure by hand with flags of its own,
        # signed with every setting, then unsigned again.
        self.unsigned = self("a", "unsigned", **UNKEYED)
        subprocess.run(["cmake", "-S", work / "b", "-B", work / "b/build/release-command", "-G",
                        "Ninja", f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-w64-x86_64.cmake",
                        "-DCMAKE_CXX_FLAGS=-fno-inline"], check=True, capture_output=True)
        self.signed = self("b", "signed", OSTREL_SIGN_COMMAND="tools/sign-pfx.sh",
                           OSTREL_WEBVIEW2_BOOTSTRAPPER=BOOTSTRAPPER,
                           OSTREL_WEBVIEW2_DOWNLOAD_PAGE_URL="https://127.0.0.1:9/runtime",
                           OSTREL_UPDATE_PUBLIC_KEY=str(self.public), **self.pfx, **ALLOWED)
        self.again = self("b", "unsigned-again", **UNKEYED)

    def __call__(self, clone, out, command="release.sh", **settings):
        """A command's exit code, its output folder and what it printed; run in the clone."""
        env = {k: v for k, v in os.environ.items() if not k.startswith("OSTREL_")} | settings
        # Niced: the tests of the desktop run beside it, and wait on windows.
        done = subprocess.run(["nice", f"tools/{command}", self.work / out], cwd=self.work / clone,
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return done.returncode, self.work / out, done.stdout


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    # A Wine prefix and a display of its own: the release's installer closes every running copy
    # of the program in its prefix, and the tests of the desktop run beside it.
    prefix, work = tmp_path_factory.mktemp("wineprefix"), tmp_path_factory.mktemp("releases")
    script = ROOT / "tests" / "wine_prefix.sh"
    xvfb, display = private_display()
    try:
        os.environ.update(WINEPREFIX=str(prefix), DISPLAY=display)
        subprocess.run([script, "start"], check=True)
        yield Releases(work)
    finally:
        subprocess.run([script, "stop"])
        xvfb.kill()
        xvfb.wait()


def test_refused_before_anything_is_built(release):
    readme = release.work / "a" / "README.md"
    readme.write_text(readme.read_text() + "changed")
    refusals = [(release("a", "changed", **UNKEYED), "differs from its commit")]
    subprocess.run(["git", "-C", release.work / "a", "checkout", "README.md"], check=True)
    (release.work / "used").mkdir()
    (release.work / "used" / "old.zip").write_text("old")
    refusals += [
        (release("a", "used"), "in use"),
        (release("a", "plain", OSTREL_DOWNLOAD_PAGE_URL="HTTP://127.0.0.1:9/"),
         "set OSTREL_ALLOW_PLAIN_HTTP=1 to ship"),
        (release("a", "plain", OSTREL_HOME_PAGE_URL="http://127.0.0.1:9/"), "rewrite the page"),
        (release("a", "unkeyed"), "set OSTREL_ALLOW_UNSIGNED_ANSWERS=1 to ship")]
    for (code, out, log), says in refusals:
        assert code == 2 and says in " ".join(log.split()), log
        assert not out.exists() or out.name == "used"
    assert os.listdir(release.work / "used") == ["old.zip"]


def test_two_folders_give_the_same_packages_and_signing_leaves_the_build_as_it_was(release):
    for code, out, log in (release.unsigned, release.again):
        assert code == 0 and "warning: OSTREL_DOWNLOAD_PAGE_URL is plain http" in log, log
    first = packages(release.unsigned[1])
    assert len(first) == 4  # the ZIP, the installer, SHA256SUMS and BUILDINFO
    assert first == packages(release.again[1])


def test_signed_release_is_the_unsigned_one_plus_signatures(release):
    code, out, log = release.signed
    assert code == 0 and "holds one key and no spare" in log, log
    subprocess.run(["sha256sum", "--check", "--quiet", "SHA256SUMS"], cwd=out, check=True)
    # What a rebuild needs (the check against the source reads it), and never a secret.
    info = (out / "BUILDINFO").read_text()
    assert "\nsigned=yes\n" in info and "toolchain.nsis=" in info and "throwaway" not in info
    keys = (out / "update-public-keys.pem").read_bytes()
    assert keys == release.public.read_bytes()
    assert f"update-public-keys-sha256={hashlib.sha256(keys).hexdigest()}\n" in info
    assert (out / "WebView2-bootstrapper.sha256").read_text().split()[0] == hashlib.sha256(
        pathlib.Path(BOOTSTRAPPER).read_bytes()).hexdigest()
    # The installer is signed, and installs the ZIP's signed program and a signed uninstaller;
    # that they are the unsigned files plus signatures, the check against the source shows.
    installer = glob.glob(f"{out}/*.exe")[0]
    folder = user_folder("AppData", "Local", "Programs", "Ostrel Browser")
    try:
        assert Program(installer, "/S").exit_code(90) == 0
        assert (folder / "OstrelBrowser.exe").read_bytes() == program_in(out)
        for path in (installer, folder / "OstrelBrowser.exe", folder / "Uninstall.exe"):
            done = subprocess.run(["osslsigncode", "verify", "-CAfile", release.work / "cert.pem",
                                   "-in", path], capture_output=True, text=True)
            assert "Succeeded" in done.stdout, f"{path}: {done.stdout}{done.stderr}"
    finally:
        uninstall(folder)


@pytest.mark.parametrize("command, pfx", [("false", False), ("sh {work}/sign-program-only.sh", True),
                                          ("tools/sign-pfx.sh", False)])
def test_failing_sign_command_fails_the_release(release, command, pfx):
    code, out, log = release("b", "failed", OSTREL_SIGN_COMMAND=command.format(work=release.work),
                             OSTREL_ALLOW_UNSIGNED_ANSWERS="1", **(release.pfx if pfx else {}))
    assert code != 0 and not out.exists(), log
    assert command != "tools/sign-pfx.sh" or "OSTREL_SIGN_PFX must name the PFX file" in log


def test_a_release_checked_against_its_source(release):
    # Unsigned, and signed: each file the rebuild's, or a recorded signature's.
    work = release.work
    unsigned = shutil.copytree(release.signed[1], work / "no-signature")
    os.remove(unsigned / "signatures" / "Uninstall.exe.p7s")
    tampered = shutil.copytree(release.unsigned[1], work / "tampered")
    installer = pathlib.Path(glob.glob(f"{tampered}/*.exe")[0])
    data = bytearray(installer.read_bytes())
    data[len(data) // 2] ^= 1
    installer.write_bytes(data)
    checks = [release("a", folder, "verify-release.sh", **env)[::2] for folder, env in (
        ("unsigned", {}), ("signed", dict(OSTREL_WEBVIEW2_BOOTSTRAPPER=BOOTSTRAPPER)),
        ("tampered", {}), ("no-signature", dict(OSTREL_WEBVIEW2_BOOTSTRAPPER=BOOTSTRAPPER)))]
    assert [code for code, _ in checks] == [0, 0, 1, 2], checks
    # Whatever the bytes, a release whose programs obey unsigned answers is named as one.
    assert ["obey unsigned answers" in " ".join(log.split()) for _, log in checks] == [
        True, False, True, False]
    assert "signatures/Uninstall.exe.p7s, beside BUILDINFO, is missing" in checks[3][1]
    assert f"  DIFFERS  {installer.name}\n  same     OstrelBrowser-" in checks[2][1]
    assert subprocess.run(["git", "-C", work / "a", "status", "--porcelain"],
                          capture_output=True).stdout == b""
