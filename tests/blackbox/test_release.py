"""The release command, run in fresh clones of this repository: two folders give the same bytes,
a signed release is the unsigned one plus signatures, and a failing sign command fails it."""
import glob
import os
import pathlib
import subprocess
import tempfile
import unittest
import zipfile

from driver import Program, install_folder, uninstall

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
# Sign commands, with a throwaway certificate made for this run; the second fails for all but
# the program, as when the uninstaller's signature fails inside makensis.
SIGN = """osslsigncode sign -certs "{0}/cert.pem" -key "{0}/key.pem" -n "Ostrel Browser" \\
  -in "$1" -out "$1.signed" >/dev/null && mv "$1.signed" "$1"
"""
SIGN_PROGRAM_ONLY = 'case "$1" in */OstrelBrowser.exe) ;; *) exit 1 ;; esac\n' + SIGN


def packages(folder):
    return {path.name: path.read_bytes() for path in pathlib.Path(folder).iterdir()}


def program_in(folder):
    with zipfile.ZipFile(glob.glob(f"{folder}/*.zip")[0]) as archive:
        return archive.read("OstrelBrowser.exe")


class ReleaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        work = cls.work.name
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-keyout", f"{work}/key.pem", "-out", f"{work}/cert.pem", "-subj",
                        "/CN=Ostrel Test Signing", "-addext", "extendedKeyUsage=codeSigning"],
                       check=True, capture_output=True)
        for name, script in (("sign.sh", SIGN), ("sign-program-only.sh", SIGN_PROGRAM_ONLY)):
            with open(f"{work}/{name}", "w") as file:
                file.write(script.format(work))
        for clone in ("a", "b"):
            subprocess.run(["git", "clone", "--quiet", ROOT, f"{work}/{clone}"], check=True)
        # Unsigned in one folder; signed, then unsigned again, in the other.
        cls.unsigned = cls.release("a", "unsigned")
        cls.signed = cls.release("b", "signed", f"sh {work}/sign.sh")
        cls.unsigned_after_signed = cls.release("b", "unsigned-again")

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    @classmethod
    def release(cls, clone, out, sign_command=None):
        """Returns the release command's exit code, its output folder and what it printed."""
        env = {k: v for k, v in os.environ.items() if not k.startswith("OSTREL_")}
        if sign_command:
            env["OSTREL_SIGN_COMMAND"] = sign_command
        out = f"{cls.work.name}/{out}"
        done = subprocess.run([f"{cls.work.name}/{clone}/tools/release.sh", out], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return done.returncode, out, done.stdout

    def verify(self, path):
        done = subprocess.run(["osslsigncode", "verify", "-CAfile", f"{self.work.name}/cert.pem",
                               "-in", path], capture_output=True, text=True)
        self.assertIn("Succeeded", done.stdout, f"{path}: {done.stdout}{done.stderr}")

    def test_two_folders_give_the_same_packages_and_signing_leaves_the_build_as_it_was(self):
        for code, out, log in (self.unsigned, self.unsigned_after_signed):
            self.assertEqual(code, 0, log)
        first = packages(self.unsigned[1])
        self.assertEqual(len(first), 3)  # the ZIP, the installer and SHA256SUMS
        self.assertEqual(first, packages(self.unsigned_after_signed[1]))
        print("\n" + first["SHA256SUMS"].decode(), end="")

    def test_signed_release_is_the_unsigned_one_plus_signatures(self):
        code, out, log = self.signed
        self.assertEqual(code, 0, log)
        signed, unsigned = (pathlib.Path(self.work.name, name) for name in ("s.exe", "u.exe"))
        signed.write_bytes(program_in(out))
        self.verify(signed)
        subprocess.run(["osslsigncode", "remove-signature", "-in", signed, "-out", unsigned],
                       check=True, capture_output=True)
        self.assertEqual(unsigned.read_bytes(), program_in(self.unsigned[1]))

        # The installer is signed, and installs the same signed program and a signed uninstaller.
        installer = glob.glob(f"{out}/*.exe")[0]
        self.verify(installer)
        self.assertEqual(Program(installer, "/S").exit_code(90), 0)
        self.addCleanup(uninstall)
        installed = pathlib.Path(install_folder(), "OstrelBrowser.exe")
        self.assertEqual(installed.read_bytes(), program_in(out))
        self.verify(os.path.join(install_folder(), "Uninstall.exe"))

    def test_failing_sign_command_fails_the_release(self):
        for command in ("false", f"sh {self.work.name}/sign-program-only.sh"):
            with self.subTest(command=command):
                code, out, log = self.release("b", "failed", command)
                self.assertNotEqual(code, 0, log)
                self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    unittest.main()
