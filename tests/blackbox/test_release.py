"""The release command, run in fresh clones of this repository: two folders give the same bytes,
a signed release is the unsigned one plus signatures, a failing sign command fails it, and the
check of a release against its source tells a rebuild from a changed file."""
import glob
import hashlib
import os
import pathlib
import shutil
import subprocess
import tempfile
import unittest
import zipfile

from driver import ROOT, Program, install_folder, uninstall

BOOTSTRAPPER = os.environ.get("OSTREL_BOOTSTRAPPER_STAND_IN", "")
# Fails for all but the program, as when the uninstaller's signature fails inside makensis.
SIGN_PROGRAM_ONLY = 'case "$1" in */OstrelBrowser.exe) exec tools/sign-pfx.sh "$1" ;; esac\nexit 1\n'


def packages(folder):
    """Each file's hash: a difference reads at a glance, and is not diffed byte by byte."""
    return {path.name: hashlib.sha256(path.read_bytes()).hexdigest()
            for path in pathlib.Path(folder).iterdir()}


def program_in(folder):
    with zipfile.ZipFile(glob.glob(f"{folder}/*.zip")[0]) as archive:
        return archive.read("OstrelBrowser.exe")


class ReleaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        work = cls.work.name
        # The ready sign command, with a throwaway certificate made for this run.
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-keyout", f"{work}/key.pem", "-out", f"{work}/cert.pem", "-subj",
                        "/CN=Ostrel Test Signing", "-addext", "extendedKeyUsage=codeSigning"],
                       check=True, capture_output=True)
        pathlib.Path(work, "password").write_text("throwaway\n")
        subprocess.run(["openssl", "pkcs12", "-export", "-in", f"{work}/cert.pem", "-inkey",
                        f"{work}/key.pem", "-out", f"{work}/sign.pfx", "-passout",
                        f"file:{work}/password"], check=True, capture_output=True)
        pathlib.Path(work, "sign-program-only.sh").write_text(SIGN_PROGRAM_ONLY)
        # The update answers' keys: the release carries the public one.
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out",
                        f"{work}/answers.key"], check=True)
        subprocess.run(["openssl", "ec", "-in", f"{work}/answers.key", "-pubout", "-out",
                        f"{work}/answers.pem"], check=True, capture_output=True)
        pfx = dict(OSTREL_SIGN_PFX=f"{work}/sign.pfx",
                   OSTREL_SIGN_PFX_PASSWORD_FILE=f"{work}/password")
        for clone in ("a", "b"):
            subprocess.run(["git", "clone", "--quiet", ROOT, f"{work}/{clone}"], check=True)
        # Refused before anything is built: a changed working tree, a folder already in use.
        readme = pathlib.Path(work, "a", "README.md")
        readme.write_text(readme.read_text() + "changed")
        cls.changed = cls.release("a", "changed", OSTREL_ALLOW_UNSIGNED_ANSWERS="1")
        subprocess.run(["git", "-C", f"{work}/a", "checkout", "README.md"], check=True)
        pathlib.Path(work, "used").mkdir()
        pathlib.Path(work, "used", "old.zip").write_text("old")
        cls.used = cls.release("a", "used")
        # A plain-http address too, unless the publisher says so; every release below does. And
        # a release without the answers' public keys, unless the publisher says so, or with a
        # private key: the unsigned ones below do say so.
        plain = dict(OSTREL_DOWNLOAD_PAGE_URL="HTTP://127.0.0.1:9/")
        cls.plain = cls.release("a", "plain", **plain)
        cls.plain_home = cls.release("a", "plain", OSTREL_HOME_PAGE_URL="http://127.0.0.1:9/")
        cls.unkeyed = cls.release("a", "unkeyed")
        allowed = dict(plain, OSTREL_ALLOW_PLAIN_HTTP="1")
        unkeyed = dict(allowed, OSTREL_ALLOW_UNSIGNED_ANSWERS="1")
        # Unsigned in one folder; in the other, after a configure by hand with flags of its own,
        # signed with every setting, then unsigned again.
        cls.unsigned = cls.release("a", "unsigned", **unkeyed)
        cls.private = cls.release("a", "private", OSTREL_UPDATE_PUBLIC_KEY=f"{work}/answers.key",
                                  **allowed)
        subprocess.run(["cmake", "-S", f"{work}/b", "-B", f"{work}/b/build/release-command", "-G",
                        "Ninja", f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-w64-x86_64.cmake",
                        "-DCMAKE_CXX_FLAGS=-fno-inline"], check=True, capture_output=True)
        cls.signed = cls.release("b", "signed", OSTREL_SIGN_COMMAND="tools/sign-pfx.sh",
                                 OSTREL_WEBVIEW2_BOOTSTRAPPER=BOOTSTRAPPER,
                                 OSTREL_WEBVIEW2_DOWNLOAD_PAGE_URL="https://127.0.0.1:9/runtime",
                                 OSTREL_UPDATE_PUBLIC_KEY=f"{work}/answers.pem", **pfx, **allowed)
        cls.unsigned_after_signed = cls.release("b", "unsigned-again", **unkeyed)
        cls.failed = [(command, cls.release("b", "failed", OSTREL_SIGN_COMMAND=command,
                                            OSTREL_ALLOW_UNSIGNED_ANSWERS="1", **env))
                      for command, env in (("false", {}), (f"sh {work}/sign-program-only.sh", pfx),
                                           ("tools/sign-pfx.sh", {}))]

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    @classmethod
    def release(cls, clone, out, command="release.sh", **settings):
        """Returns a command's exit code, its output folder and what it printed; run in the clone,
        as a publisher would."""
        env = {k: v for k, v in os.environ.items() if not k.startswith("OSTREL_")} | settings
        out = f"{cls.work.name}/{out}"
        done = subprocess.run([f"tools/{command}", out], cwd=f"{cls.work.name}/{clone}", env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return done.returncode, out, done.stdout

    def verify(self, path):
        done = subprocess.run(["osslsigncode", "verify", "-CAfile", f"{self.work.name}/cert.pem",
                               "-in", path], capture_output=True, text=True)
        self.assertIn("Succeeded", done.stdout, f"{path}: {done.stdout}{done.stderr}")

    def test_two_folders_give_the_same_packages_and_signing_leaves_the_build_as_it_was(self):
        for code, out, log in (self.unsigned, self.unsigned_after_signed):
            self.assertEqual(code, 0, log)
            self.assertIn("warning: OSTREL_DOWNLOAD_PAGE_URL is plain http", log)
        first = packages(self.unsigned[1])
        self.assertEqual(len(first), 4)  # the ZIP, the installer, SHA256SUMS and BUILDINFO
        self.assertEqual(first, packages(self.unsigned_after_signed[1]))
        print("\n" + pathlib.Path(self.unsigned[1], "SHA256SUMS").read_text(), end="")

    def test_refused_before_anything_is_built(self):
        refusals = ((self.changed, 2, "differs from its commit"), (self.used, 2, "in use"),
                    (self.plain, 2, "set OSTREL_ALLOW_PLAIN_HTTP=1 to ship"),
                    (self.plain_home, 2, "rewrite the page"),
                    (self.unkeyed, 2, "set OSTREL_ALLOW_UNSIGNED_ANSWERS=1 to ship"),
                    (self.private, 2, "holds a private key (EC PRIVATE KEY)"))
        for (code, out, log), exit_code, says in refusals:
            self.assertEqual(code, exit_code, log)
            self.assertIn(says, " ".join(log.split()))
            self.assertFalse(os.path.exists(out) and out != self.used[1])
        # Nothing of the private key was written anywhere.
        secret = pathlib.Path(self.work.name, "answers.key").read_text().splitlines()[1]
        self.assertEqual(subprocess.run(["grep", "-rlF", secret, f"{self.work.name}/a"],
                                        capture_output=True).stdout, b"")
        self.assertEqual(os.listdir(self.used[1]), ["old.zip"])

    def test_signed_release_is_the_unsigned_one_plus_signatures(self):
        code, out, log = self.signed
        self.assertEqual(code, 0, log)
        self.assertIn("holds one key and no spare", log)
        subprocess.run(["sha256sum", "--check", "--quiet", "SHA256SUMS"], cwd=out, check=True)
        # What a rebuild needs (the check against the source reads it), and never a secret.
        info = pathlib.Path(out, "BUILDINFO").read_text()
        self.assertRegex(info, r"\nsigned=yes\n(.*\n)*toolchain\.nsis=[0-9]")
        keys = pathlib.Path(out, "update-public-keys.pem").read_bytes()
        self.assertEqual(keys, pathlib.Path(self.work.name, "answers.pem").read_bytes())
        self.assertIn(f"update-public-keys-sha256={hashlib.sha256(keys).hexdigest()}\n", info)
        self.assertLess(len(program_in(out)), 256 << 10)
        self.assertNotIn("throwaway", info)
        self.assertEqual(pathlib.Path(out, "WebView2-bootstrapper.sha256").read_text().split()[0],
                         hashlib.sha256(pathlib.Path(BOOTSTRAPPER).read_bytes()).hexdigest())
        # The installer is signed, and installs the ZIP's signed program and a signed uninstaller;
        # that they are the unsigned files plus signatures, the check against the source shows.
        installer = glob.glob(f"{out}/*.exe")[0]
        self.verify(installer)
        self.assertEqual(Program(installer, "/S").exit_code(90), 0)
        self.addCleanup(uninstall)
        installed = pathlib.Path(install_folder(), "OstrelBrowser.exe")
        self.assertEqual(installed.read_bytes(), program_in(out))
        for name in ("OstrelBrowser.exe", "Uninstall.exe"):
            self.verify(os.path.join(install_folder(), name))

    def test_failing_sign_command_fails_the_release(self):
        for command, (code, out, log) in self.failed:
            with self.subTest(command=command):
                self.assertNotEqual(code, 0, log)
                self.assertFalse(os.path.exists(out))
        self.assertIn("OSTREL_SIGN_PFX must name the PFX file", self.failed[-1][1][2])

    def test_a_release_checked_against_its_source(self):
        # Unsigned, and signed: each file the rebuild's, or a recorded signature's.
        unsigned = shutil.copytree(self.signed[1], f"{self.work.name}/no-signature")
        os.remove(f"{unsigned}/signatures/Uninstall.exe.p7s")
        tampered = shutil.copytree(self.unsigned[1], f"{self.work.name}/tampered")
        installer = pathlib.Path(glob.glob(f"{tampered}/*.exe")[0])
        data = bytearray(installer.read_bytes())
        data[len(data) // 2] ^= 1
        installer.write_bytes(data)
        checks = [self.release("a", folder, "verify-release.sh", **env)[::2] for folder, env in (
            ("unsigned", {}), ("signed", dict(OSTREL_WEBVIEW2_BOOTSTRAPPER=BOOTSTRAPPER)),
            ("tampered", {}), ("no-signature", dict(OSTREL_WEBVIEW2_BOOTSTRAPPER=BOOTSTRAPPER)))]
        self.assertEqual([code for code, _ in checks], [0, 0, 1, 2], checks)
        # Whatever the bytes, a release whose programs obey unsigned answers is named as one.
        self.assertEqual(["obey unsigned answers" in " ".join(log.split()) for _, log in checks],
                         [True, False, True, False])
        self.assertIn("signatures/Uninstall.exe.p7s, beside BUILDINFO, is missing", checks[3][1])
        self.assertIn(f"  DIFFERS  {installer.name}\n  same     OstrelBrowser-", checks[2][1])
        self.assertEqual(subprocess.run(["git", "-C", f"{self.work.name}/a", "status",
                                         "--porcelain"], capture_output=True).stdout, b"")


if __name__ == "__main__":
    unittest.main()
