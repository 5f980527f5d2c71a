"""The man page and manual follow --help; `cmake --install` puts binary and man page in place."""

import os
import re
import subprocess
import sys

sys.dont_write_bytecode = True
import wpe_testlib as t  # noqa: E402

SOURCE_DIR = os.environ.get("WPE_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


def read(path):
    with open(os.path.join(SOURCE_DIR, path), encoding="utf-8") as f:
        return f.read()


class Manual(t.ScratchTestCase):
    def help_options(self):
        """(short letter or "", long name, description) of each option of --help."""
        code, out, _ = t.run_tool(["--help"])
        self.assertEqual(code, 0)
        options = []
        for line in out.splitlines()[1:]:
            # "  -b [ --binary ] arg     binary files to add", "  --version    print ..."
            found = re.match(r"^\s+(?:-(\w) \[ )?--([\w-]+)(?: \])?(?: arg)?\s+(.*)$", line)
            if found:
                options.append(list(found.groups("")))
            elif line.strip():
                options[-1][2] += " " + line.strip()  # a description that wraps
        return options

    def test_every_option_is_documented(self):
        options = self.help_options()
        self.assertEqual(len(options), 16)
        man = read("docs/winpe-customize.1").replace("\\-", "-")
        man_words = " ".join(man.split())
        manual = read("docs/manual.md")
        for short, long, description in options:
            with self.subTest(option=long):
                entry = ".BR -%s \", \" --%s" % (short, long) if short else "--" + long
                self.assertTrue(entry in man, "man page lacks " + entry)
                description = " ".join(description.split())
                self.assertTrue(description in man_words, "man page lacks: " + description)
                self.assertIn("`-%s" % short if short else "`--" + long, manual)
                self.assertIn("--%s" % long, manual)
        for hidden in ("dir", "file"):
            self.assertIn("--" + hidden, man)
            self.assertIn("--" + hidden, manual)

    def test_install_puts_binary_and_man_page_under_the_prefix(self):
        prefix = self.path("prefix")
        subprocess.run(["cmake", "--install", t.BINARY_DIR, "--prefix", prefix],
                       check=True, capture_output=True)
        self.assertTrue(os.access(os.path.join(prefix, "bin", "winpe-customize"), os.X_OK))
        self.assertTrue(os.path.isfile(os.path.join(prefix, "share", "man", "man1", "winpe-customize.1")))


if __name__ == "__main__":
    t.main()
