"""The installer's command-line grammar, help and bad-command-line exits, run as a user would.
None of these runs gets past the licence check, so the cases share one prefix."""

import winetest

USAGE = (
    "This program will install Morlune Orvidex 3.32\n"
    "on the machine it is being run on.\n"
    "\n"
    "Orvidex is an SSH2 server for Windows NT/2000/XP/2003.\n"
    "See https://www.orvidex.example/ for more information.\n"
    "\n"
    "This program must be run by a user with administrator privileges.\n"
    "If run without command line options, installation will be\n"
    "performed in interactive mode. If run with command line options,\n"
    "installation will be performed in unattended mode.\n"
    "\n"
    "Usage (unattended mode only):\n"
    " OrvidexInstaller /InstallDir <directory>\n"
    "                  [/AcceptEULA] [/Force] [/NoRollback]\n"
    "                  [/Settings <file>]\n"
)

EULA_MESSAGE = "The licence agreement must be accepted with /AcceptEULA to install unattended.\n"
DIR = "C:\\orvidex-test"


class CommandLine(winetest.SharedPrefixTestCase):
    def check(self, args, code, stdout, stderr=""):
        with self.subTest(args=args):
            r = self.prefix.installer(*args)
            self.assertEqual((r.code, r.stdout, r.stderr), (code, stdout, stderr))

    def test_help_prints_only_the_usage_text(self):
        for args in (["/?"], ["-?"], ["/h"], ["-HELP"], ["/Help"],
                     ["/InstallDir", DIR, "/help"],
                     ["/unknown", "/?"],        # unknown options wait for the leftover check
                     ["word", "-h"]):
            self.check(args, 200, USAGE)

    def test_bad_command_lines_print_the_usage_text(self):
        for args in (["/AcceptEULA"],                          # no directory
                     ["/InstallDir"],                          # directory missing
                     ["/AcceptEULA", "/InstallDir"],
                     ["/InstallDir", DIR, "word"],             # a plain word
                     ["/InstallDir", DIR, "/bogus"],           # an unknown option
                     ["/InstallDir", DIR, "/forced"],          # names match only as a whole
                     ["/InstallDir", DIR, "/force:yes"],
                     ["/"],                                    # empty name
                     ["/InstallDir", DIR, "/Settings"],        # no value: the option stays
                     ["/InstallDir", DIR, "/Settings", "a.ovs", "/Settings", "b.ovs"],
                     ["/InstallDir", DIR, "/Settings", "a.ovs", "extra"]):
            self.check(args, 201, USAGE)

    def test_missing_acceptance_goes_to_standard_error(self):
        for args in (["/InstallDir", DIR],
                     ["-installdir", DIR, "-FORCE", "-NoRollBack"],
                     ["/InstallDir", "A", "/InstallDir", DIR],
                     ["/InstallDir", DIR, "/Settings", "a.ovs"],
                     # "/Force" is taken as the directory, and there is no other option
                     ["/InstallDir", "/Force"]):
            self.check(args, 140, "", EULA_MESSAGE)

    def test_empty_argument_is_an_exception(self):
        r = self.prefix.installer("")
        self.assertEqual(r.code, 150)
        self.assertTrue(r.stdout.startswith("std::exception caught: "), r)
        self.assertEqual(r.stdout.count("\n"), 1, r)
        self.assertEqual(r.stderr, "")


if __name__ == "__main__":
    winetest.main()
